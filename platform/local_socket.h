#pragma once
// Local (AF_UNIX) sequenced-packet sockets named by a path of any length, and who is at the other end
// as the kernel recorded it. The control channel runs over them: message boundaries are kept, and
// each end learns the other's user from the kernel, not from anything the other end says.

#include <sys/types.h>

#include <string>

namespace platform {

// The channel's socket for the data directory `dataDirectory`: "channel" in the runtime directory
// of an installed copy (/run/morvane, made by the unit) when that is the installed data directory,
// else beside the data files.
inline constexpr const char* kInstalledRuntimeDirectory = "/run/morvane";
inline constexpr const char* kChannelSocketName = "channel";
std::string ChannelSocketPath(const std::string& dataDirectory);

// Whether the system has such sockets with the peer's user. Windows has not: there the channel is
// the loopback UDP one only, and the functions below fail (ENOTSUP).
#ifdef _WIN32
inline constexpr bool kLocalChannel = false;
#else
inline constexpr bool kLocalChannel = true;
#endif

// The service also listens on the loopback UDP channel, and a client uses it instead of the socket,
// when its environment holds MORVANE_UDP_CHANNEL=1 (always where there is no local channel).
inline constexpr const char* kUdpChannelVariable = "MORVANE_UDP_CHANNEL";
bool UdpChannelWanted();

// A listening socket at `path`, removed again when the object goes (unless something else has
// taken the name meanwhile).
class CLocalListener {
public:
    CLocalListener() = default;
    ~CLocalListener() { Close(); }
    CLocalListener(const CLocalListener&) = delete;
    CLocalListener& operator=(const CLocalListener&) = delete;

    // Binds and listens (non-blocking, close-on-exec). The socket file gets `mode` whatever the
    // umask, and group `group` unless that is (gid_t)-1 or cannot be given; a link in its place is
    // never followed. A socket file nobody serves any more is replaced; one a live process serves
    // is not (errno EADDRINUSE), nor anything that is not a socket (EEXIST).
    bool Listen(const std::string& path, int backlog, mode_t mode, gid_t group);
    void Close();
    int Fd() const { return m_fd; }
    const std::string& Path() const { return m_path; }

private:
    int m_fd = -1;
    int m_directory = -1;  // O_PATH descriptor of the socket's directory
    std::string m_path, m_name;
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

// Connects a close-on-exec socket to `path`; -1 with errno when it cannot (ENOENT or ECONNREFUSED:
// nobody serves there, EACCES: no permission).
int ConnectLocal(const std::string& path);

// The user at the other end of a connected local socket: who connected (seen by the listener), or
// who listened (seen by the connecting end), as the kernel recorded it then.
bool LocalPeer(int socket, uid_t& uid);

}  // namespace platform
