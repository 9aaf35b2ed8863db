#include "platform/data_dir.h"

#include <unistd.h>

#include <cstdlib>

#include "platform/program.h"
#include "shared/base/files.h"

namespace platform {

std::string DataDirectoryFor(const std::string& programDirectory)
{
    if (programDirectory.empty())
        return {};
    const std::string dir = programDirectory;
    if (files::Exists(dir + "/" + kPortableMarker) || files::Exists(dir + "/" + kBuildTreeMarker))
        return dir;
    // Installed by a package or cmake --install: the program directory belongs to the system even
    // where root could write it.
    if (dir.starts_with("/usr/") || dir.starts_with("/opt/"))
        return kInstalledDataDirectory;
    if (::access(dir.c_str(), W_OK | X_OK) == 0)
        return dir;
    return kInstalledDataDirectory;
}

std::string DataDirectory(bool trailingSeparator)
{
    std::string dir;
    const char* configured = std::getenv("MORVANE_DATA_DIR");
    if (configured && configured[0] == '/') {
        dir = configured;
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
    } else {
        dir = DataDirectoryFor(ProgramDirectory(false));
    }
    if (dir.empty())
        return dir;
    if (trailingSeparator && dir.back() != kPathSeparator)
        dir += kPathSeparator;
    return dir;
}

}  // namespace platform
