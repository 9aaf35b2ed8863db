#include "platform/local_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/data_dir.h"

namespace platform {

namespace {

void SplitPath(const std::string& path, std::string& directory, std::string& name)
{
    size_t slash = path.rfind('/');
    directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// The address of `name` in the directory open as `directory`. A path too long for sun_path (108
// bytes: a deep build tree) is reached through the directory's descriptor instead.
bool Address(const std::string& path, int directory, const std::string& name, sockaddr_un& address)
{
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return true;
    }
    int n = std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", directory, name.c_str());
    if (directory < 0 || n < 0 || size_t(n) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

int OpenDirectory(const std::string& directory)
{
    return ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int Connect(const sockaddr_un& address)
{
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A listener whose queue of waiting connections is full holds connect() up; not for long.
    timeval timeout{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

std::string ChannelSocketPath(const std::string& dataDirectory)
{
    std::string dir = dataDirectory;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir == kInstalledDataDirectory)
        dir = kInstalledRuntimeDirectory;
    return dir + "/" + kChannelSocketName;
}

bool UdpChannelWanted()
{
    const char* value = std::getenv(kUdpChannelVariable);
    return value && std::strcmp(value, "1") == 0;
}

bool CLocalListener::Listen(const std::string& path, int backlog, mode_t mode, gid_t group)
{
    Close();
    std::string directory;
    SplitPath(path, directory, m_name);
    m_path = path;
    m_directory = OpenDirectory(directory);
    sockaddr_un address;
    if (m_directory < 0 || m_name.empty() || !Address(path, m_directory, m_name, address)) {
        int error = m_name.empty() ? EINVAL : errno;
        Close();
        errno = error;
        return false;
    }
    m_fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // The file bind creates takes its mode from the socket, narrowed by the umask: never wider than
    // `mode`, even before the exact mode is set below.
    if (m_fd < 0 || ::fchmod(m_fd, mode) != 0) {
        int error = errno;
        Close();
        errno = error;
        return false;
    }
    bool bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!bound && errno == EADDRINUSE) {
        // Left behind by a process that is gone (a crash), or another process's live socket.
        struct stat st {};
        if (::fstatat(m_directory, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISSOCK(st.st_mode)) {
            errno = EEXIST;
        } else {
            int probe = Connect(address);
            if (probe >= 0) {
                ::close(probe);
                errno = EADDRINUSE;
            } else if (errno == ECONNREFUSED && ::unlinkat(m_directory, m_name.c_str(), 0) == 0) {
                bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            }
        }
    }
    struct stat st {};
    bool ok = bound && ::fchmodat(m_directory, m_name.c_str(), mode, AT_SYMLINK_NOFOLLOW) == 0 &&
              ::fstatat(m_directory, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && ::listen(m_fd, backlog) == 0;
    if (!ok) {
        int error = errno;
        if (bound)
            ::unlinkat(m_directory, m_name.c_str(), 0);
        Close();
        errno = error;
        return false;
    }
    m_device = st.st_dev;
    m_inode = st.st_ino;
    // The group may fail (a user who is not a member of it): the mode still keeps others out.
    if (group != static_cast<gid_t>(-1) && st.st_gid != group)
        (void)::fchownat(m_directory, m_name.c_str(), static_cast<uid_t>(-1), group, AT_SYMLINK_NOFOLLOW);
    return true;
}

void CLocalListener::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    if (m_directory >= 0) {
        // Only our own socket: a service started since may already have replaced it.
        struct stat st {};
        if (m_inode != 0 && ::fstatat(m_directory, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_dev == m_device && st.st_ino == m_inode)
            ::unlinkat(m_directory, m_name.c_str(), 0);
        ::close(m_directory);
    }
    m_directory = -1;
    m_inode = 0;
}

int ConnectLocal(const std::string& path)
{
    std::string directory, name;
    SplitPath(path, directory, name);
    int dir = -1;
    if (path.size() >= sizeof(sockaddr_un::sun_path) && (dir = OpenDirectory(directory)) < 0)
        return -1;
    sockaddr_un address;
    int fd = -1;
    if (Address(path, dir, name, address))
        fd = Connect(address);
    int error = errno;
    if (dir >= 0)
        ::close(dir);
    errno = error;
    return fd;
}

bool LocalPeer(int socket, uid_t& uid)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
        return false;
    uid = credentials.uid;
    return true;
}

}  // namespace platform
