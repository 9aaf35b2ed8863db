#include "platform/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

// A directory that exists, is ours and is not open to others.
bool PrivateDirectory(const std::string& dir, bool create)
{
    if (create && mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    // Checked and narrowed through one descriptor: a link swapped in after the check is never
    // followed, so nobody else's directory gets its mode changed.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
              ((st.st_mode & 022) == 0 || fchmod(fd, st.st_mode & ~mode_t{022}) == 0);
    close(fd);
    return ok;
}

std::string RuntimeDirectory()
{
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg == '/' && PrivateDirectory(xdg, false))
        return xdg;
    std::string dir = "/tmp/morvane-" + std::to_string(geteuid());
    return PrivateDirectory(dir, true) ? dir : std::string();
}

}  // namespace

CSingleInstance::~CSingleInstance()
{
    Release();
}

std::string CSingleInstance::LockPath(const std::string& name)
{
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return {};
    std::string dir = RuntimeDirectory();
    return dir.empty() ? std::string() : dir + "/" + name + ".lock";
}

bool CSingleInstance::Acquire(const std::string& name)
{
    Release();
    m_alreadyExists = false;
    std::string path = LockPath(name);
    if (path.empty())
        return true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return true;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        bool held = errno == EWOULDBLOCK;
        ::close(fd);
        m_alreadyExists = held;
        return !held;
    }
    m_fd = fd;
    return true;
}

void CSingleInstance::Release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

}  // namespace platform
