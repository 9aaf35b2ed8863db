#include "platform/data_dir.h"

#include <shlobj.h>

#include <cstdlib>

#include "platform/program.h"
#include "platform/win32/compat/win32.h"
#include "platform/win32/text.h"
#include "shared/base/files.h"

namespace platform {
namespace {

std::string KnownFolder(REFKNOWNFOLDERID id, const char* fallback)
{
    PWSTR path = nullptr;
    std::string text;
    if (SHGetKnownFolderPath(id, KF_FLAG_DEFAULT, nullptr, &path) == S_OK)
        text = win32::Utf8(path);
    CoTaskMemFree(path);
    return text.empty() ? fallback : text;
}

const std::string& InstalledDirectory()
{
    static const std::string dir = KnownFolder(FOLDERID_ProgramData, "C:\\ProgramData") + "\\Morvane";
    return dir;
}

bool StartsWithFolder(const std::string& dir, const std::string& folder)
{
    return !folder.empty() && dir.size() > folder.size() &&
           _strnicmp(dir.c_str(), folder.c_str(), folder.size()) == 0 &&
           (dir[folder.size()] == '\\' || dir[folder.size()] == '/');
}

bool Writable(const std::string& dir)
{
    // Access lists decide, not mode bits: try what the programs will do, a file made and removed.
    std::wstring probe = win32::Wide(dir + "\\.morvane-write-test." + std::to_string(GetCurrentProcessId()));
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

}  // namespace

const char* const kInstalledDataDirectory = InstalledDirectory().c_str();
const char* const kInstalledConfigDirectory = InstalledDirectory().c_str();

std::string DataDirectoryFor(const std::string& programDirectory)
{
    if (programDirectory.empty())
        return {};
    const std::string& dir = programDirectory;
    if (files::Exists(dir + "\\" + kPortableMarker) || files::Exists(dir + "\\" + kBuildTreeMarker))
        return dir;
    // Installed: Program Files belongs to the system even where an administrator could write it.
    if (files::Exists(dir + "\\installed") || StartsWithFolder(dir, KnownFolder(FOLDERID_ProgramFiles, "")) ||
        StartsWithFolder(dir, KnownFolder(FOLDERID_ProgramFilesX86, "")))
        return InstalledDirectory();
    if (Writable(dir))
        return dir;
    return InstalledDirectory();
}

std::string DataDirectory(bool trailingSeparator)
{
    std::string dir;
    const char* configured = std::getenv("MORVANE_DATA_DIR");
    // Absolute: a drive ("C:\...") or a UNC path.
    if (configured && ((configured[0] && configured[1] == ':' && (configured[2] == '\\' || configured[2] == '/')) ||
                       (configured[0] == '\\' && configured[1] == '\\'))) {
        dir = configured;
        while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/'))
            dir.pop_back();
    } else {
        dir = DataDirectoryFor(ProgramDirectory(false));
    }
    if (dir.empty())
        return dir;
    if (trailingSeparator && dir.back() != '\\' && dir.back() != '/')
        dir += kPathSeparator;
    return dir;
}

}  // namespace platform
