// Windows has no local sockets that name their peer's user: the channel is the loopback UDP one.
#include "platform/local_socket.h"

#include <cerrno>

namespace platform {

std::string ChannelSocketPath(const std::string& dataDirectory)
{
    return dataDirectory + "/" + kChannelSocketName;
}

bool UdpChannelWanted()
{
    return true;
}

bool CLocalListener::Listen(const std::string& path, int, mode_t, gid_t)
{
    m_path = path;
    errno = ENOTSUP;
    return false;
}

void CLocalListener::Close()
{
    m_fd = -1;
}

int ConnectLocal(const std::string&)
{
    errno = ENOTSUP;
    return -1;
}

bool LocalPeer(int, uid_t&)
{
    errno = ENOTSUP;
    return false;
}

}  // namespace platform
