#include "shared/base/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace files {

bool ReadAll(const std::string& path, std::string& out, size_t maxSize, mode_t* mode)
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
    if (mode)
        *mode = st.st_mode & 07777;
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

namespace {

// Closes a descriptor when it goes out of scope.
class CFd {
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Close(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    int Close()
    {
        int rc = m_fd >= 0 ? ::close(m_fd) : 0;
        m_fd = -1;
        return rc;
    }
    CFd& operator=(int fd)
    {
        Close();
        m_fd = fd;
        return *this;
    }

private:
    int m_fd;
};

}  // namespace

bool ReplaceAtomically(const std::string& path, std::string_view bytes, const ReplaceOptions& options)
{
    const size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    // Everything happens relative to the directory opened once, so the temporary file and the
    // rename are in the same directory even if a name on the way is swapped meanwhile.
    CFd dir(::open(DirName(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() < 0)
        return false;
    // Unique per process and per call, so concurrent writers never share a temporary file; created
    // exclusively and never through a symbolic link, so nobody else who may write the directory can
    // redirect the write. Owner only until group and mode are set.
    static std::atomic<unsigned> counter{0};
    std::string tmp;
    CFd fd;
    for (int attempt = 0; attempt < 16 && fd.Get() < 0; ++attempt) {
        tmp = name + kTemporaryInfix + std::to_string(::getpid()) + "." + std::to_string(counter++);
        fd = ::openat(dir.Get(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd.Get() < 0 && errno != EEXIST)
            return false;
    }
    if (fd.Get() < 0)
        return false;
    auto fail = [&] {
        int error = errno;
        fd.Close();
        ::unlinkat(dir.Get(), tmp.c_str(), 0);
        errno = error;
        return false;
    };
    struct stat dirStat;
    if (options.group == FileGroup::Directory && ::fstat(dir.Get(), &dirStat) == 0 &&
        ::fchown(fd.Get(), static_cast<uid_t>(-1), dirStat.st_gid) != 0 && errno != EPERM)
        return fail();  // EPERM: not a member of that group; the file keeps the writer's, mode unchanged
    // Exactly this mode, not narrowed by the umask of whichever program writes, nor taken from the
    // file being replaced: that may be a link to anything. Never a set-id bit.
    if (::fchmod(fd.Get(), options.mode & 0777) != 0)
        return fail();
    // Without sync the rename alone still guarantees that readers and a program that crashes see
    // either the old or the new file, and the file system orders the data before a rename that
    // replaces a file.
    if (!WriteFully(fd.Get(), bytes) || (options.sync && ::fsync(fd.Get()) != 0))
        return fail();
    if (fd.Close() != 0)  // a full disk may only show at close
        return fail();
    if (::renameat(dir.Get(), tmp.c_str(), dir.Get(), name.c_str()) != 0)
        return fail();
    return true;
}

bool Exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool StampOf(const std::string& path, FileStamp& stamp)
{
    stamp = FileStamp{};
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    stamp.inode = st.st_ino;
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.seconds = st.st_mtim.tv_sec;
    stamp.nanoseconds = st.st_mtim.tv_nsec;
    stamp.owner = st.st_uid;
    return true;
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
