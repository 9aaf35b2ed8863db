#include "tools/provider/db_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace provider {

namespace {

class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

std::string Octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// Takes group and other permissions away from an open file; a line in `notes` says what happened.
void Tighten(int fd, const std::string& path, std::vector<std::string>& notes)
{
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0)
        return;
    mode_t tight = st.st_mode & 0700;
    if (fchmod(fd, tight) == 0)
        notes.push_back(path + " was readable by others (" + Octal(st.st_mode) + "): now " + Octal(tight));
    else
        notes.push_back("warning: " + path + " is readable by others (" + Octal(st.st_mode) +
                        ") and this user cannot change that (" + std::strerror(errno) + ")");
}

bool Prepare(const std::string& path, std::string& error, std::vector<std::string>& notes)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    CFd dirFd(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() < 0 || name.empty()) {
        error = "cannot open the directory of " + path + ": " + (name.empty() ? "no file name" : std::strerror(errno));
        return false;
    }
    // O_EXCL: a file (or a link) already there is never replaced or followed here.
    CFd created(openat(dirFd.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (created.Get() >= 0) {
        fchmod(created.Get(), 0600);  // the umask may have taken the owner's bits too
        struct stat owner {};
        if (geteuid() == 0 && fstat(dirFd.Get(), &owner) == 0 && owner.st_uid != 0 &&
            fchown(created.Get(), owner.st_uid, owner.st_gid) != 0) {
            error = "cannot give " + path + " to the owner of its directory: " + std::strerror(errno);
            return false;
        }
    } else if (errno != EEXIST) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    } else {
        CFd existing(openat(dirFd.Get(), name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st {};
        if (existing.Get() < 0 || fstat(existing.Get(), &st) != 0) {
            error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            error = path + " is not a regular file";
            return false;
        }
        Tighten(existing.Get(), path, notes);
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        CFd side(openat(dirFd.Get(), (name + suffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (side.Get() >= 0)
            Tighten(side.Get(), path + suffix, notes);
    }
    return true;
}

}  // namespace

bool PrepareDatabaseFile(const std::string& path, std::string& error, std::vector<std::string>& notes)
{
    // Closing any descriptor of a file drops every POSIX lock this process holds on it, SQLite's own
    // included: the files are looked at before this process's first connection to them, never again.
    static std::mutex mutex;
    static std::set<std::string> done;
    std::lock_guard<std::mutex> lock(mutex);
    if (done.count(path))
        return true;
    if (!Prepare(path, error, notes))
        return false;
    if (done.size() < 1024)  // a process opens one database; a test, a few
        done.insert(path);
    return true;
}

}  // namespace provider
