#include "shared/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace files {

bool ReadAll(const std::string& path, std::string& out, size_t maxSize)
{
    // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > maxSize) {
        ::close(fd);
        errno = EFBIG;
        return false;
    }
    out.clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        // A file growing while it is read is held to the same limit.
        if (out.size() + static_cast<size_t>(n) > maxSize) {
            ::close(fd);
            errno = EFBIG;
            return false;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return true;
}

static bool WriteFully(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool ReplaceAtomically(const std::string& path, std::string_view bytes, mode_t mode)
{
    if (path.empty())
        return false;
    // Unique per process and per call, so concurrent writers never share a temporary file; created
    // exclusively and never through a symbolic link, so nobody else who may write the directory can
    // redirect the write.
    static std::atomic<unsigned> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = path + kTemporaryInfix + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    // Exactly this mode, not narrowed by the umask of whichever program writes, nor taken from the
    // file being replaced: that may be a link to anything.
    ::fchmod(fd, mode & 0777);
    // No fsync: the rename alone guarantees that readers and a program that crashes see either the
    // old or the new file, and the file system orders the data before a rename that replaces a file.
    // Syncing costs about 10 ms per save here, which every request that touches a file would pay.
    bool ok = WriteFully(fd, bytes);
    ok = (::close(fd) == 0) && ok;  // a full disk may only show at close
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string DirName(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool MakeDirectories(const std::string& path)
{
    std::string partial;
    for (size_t pos = 0; pos <= path.size();) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        pos = slash + 1;
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace files
