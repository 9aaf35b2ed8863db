// The file helpers on Windows (built into morvane_base in place of shared/base/files.cpp).
#include "shared/base/files.h"

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/win32/compat/win32.h"
#include "platform/win32/identity.h"
#include "platform/win32/text.h"

using platform::win32::ErrnoOf;
using platform::win32::Wide;

namespace files {
namespace {

// Others may read, write, rename or delete a file while we hold it, as on POSIX.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A scanner or indexer may hold a file for a moment; a replace waits that long before it fails.
constexpr int kBusyRetries = 20;
constexpr DWORD kBusyWaitMs = 25;

bool Busy(DWORD error)
{
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

}  // namespace

bool ReadAll(const std::string& path, std::string& out, size_t maxSize, mode_t* mode)
{
    // Not through a link (a reparse point) and never a device or a pipe.
    HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        CloseHandle(h);
        errno = EINVAL;
        return false;
    }
    uint64_t size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    if (size > maxSize) {
        CloseHandle(h);
        errno = EFBIG;
        return false;
    }
    out.clear();
    std::vector<char> buf(65536);
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
            errno = ErrnoOf(GetLastError());
            CloseHandle(h);
            return false;
        }
        if (n == 0)
            break;
        // A file growing while it is read is held to the same limit.
        if (out.size() + n > maxSize) {
            CloseHandle(h);
            errno = EFBIG;
            return false;
        }
        out.append(buf.data(), n);
    }
    CloseHandle(h);
    // Access lists decide on Windows; the bits say what the owner may do, as _stat would.
    if (mode)
        *mode = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0400 : 0600;
    return true;
}

// Access lists, not modes or groups, decide who may use the file: it inherits its folder's.
bool ReplaceAtomically(const std::string& path, std::string_view bytes, const ReplaceOptions& options)
{
    if (path.empty())
        return false;
    // A new file takes its access list from the directory (the installer's for the data
    // directory); the mode has no meaning here.
    static std::atomic<unsigned> counter{0};
    std::wstring tmp;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && h == INVALID_HANDLE_VALUE; ++attempt) {
        tmp = Wide(path + kTemporaryInfix + std::to_string(GetCurrentProcessId()) + "." + std::to_string(counter++));
        h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            errno = ErrnoOf(GetLastError());
            return false;
        }
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    while (ok && !bytes.empty()) {
        DWORD n = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        ok = WriteFile(h, bytes.data(), chunk, &n, nullptr) && n > 0;
        bytes.remove_prefix(n);
    }
    if (ok && options.sync)
        ok = FlushFileBuffers(h);
    DWORD error = ok ? 0 : GetLastError();
    ok = CloseHandle(h) && ok;
    // Renamed over the target in one step: readers see the old file or the new one, never a part.
    // Write-through: the rename reaches the disk after the data it names.
    if (ok) {
        const std::wstring target = Wide(path);
        for (int i = 0; i <= kBusyRetries; ++i) {
            if (MoveFileExW(tmp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
                return true;
            error = GetLastError();
            if (!Busy(error))
                break;
            Sleep(kBusyWaitMs);
        }
        // Some file systems refuse to rename over a file that is open; ReplaceFileW swaps the contents in.
        if (ReplaceFileW(target.c_str(), tmp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr))
            return true;
    }
    DeleteFileW(tmp.c_str());
    errno = ErrnoOf(error ? error : GetLastError());
    return false;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool StampOf(const std::string& path, FileStamp& stamp)
{
    stamp = FileStamp{};
    HANDLE h =
        CreateFileW(Wide(path).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    bool ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok)
        return false;
    stamp.inode = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    stamp.size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    // 100 ns units since 1601.
    uint64_t t = (uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    stamp.seconds = static_cast<int64_t>(t / 10000000u);
    stamp.nanoseconds = static_cast<int64_t>(t % 10000000u) * 100;
    uid_t owner = 0;
    if (platform::win32::OwnerOf(path, owner))
        stamp.owner = owner;
    return true;
}

std::string DirName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    if (slash == 0 || (slash == 2 && path[1] == ':'))
        return path.substr(0, slash + 1);  // "\" or "C:\"
    return path.substr(0, slash);
}

bool MakeDirectories(const std::string& path)
{
    for (size_t pos = 0; pos <= path.size();) {
        size_t slash = path.find_first_of("\\/", pos);
        if (slash == std::string::npos)
            slash = path.size();
        std::string partial = path.substr(0, slash);
        pos = slash + 1;
        // Skip the drive ("C:") and the start of a UNC path.
        if (partial.empty() || (partial.size() == 2 && partial[1] == ':') ||
            partial.find_first_not_of("\\/") == std::string::npos)
            continue;
        if (!CreateDirectoryW(Wide(partial).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            DWORD attributes = GetFileAttributesW(Wide(partial).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return false;
        }
    }
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace files
