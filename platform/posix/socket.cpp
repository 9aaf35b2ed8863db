#include "platform/socket.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace platform {

int CloseSocket(int socket)
{
    return ::close(socket);
}

void StampArrivals(int socket)
{
    int on = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

ssize_t ReceiveStamped(int socket, uint8_t* bytes, size_t size, sockaddr_in& from, timespec& arrived)
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    iovec buffer{bytes, size};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    // MSG_TRUNC: the real size of an oversized datagram, so that it is seen as such.
    ssize_t got = ::recvmsg(socket, &message, MSG_TRUNC);
    for (cmsghdr* c = got >= 0 ? CMSG_FIRSTHDR(&message) : nullptr; c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
            std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
    return got;
}

bool CWakeEvent::Open()
{
    if (m_fd < 0)
        m_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return m_fd >= 0;
}

void CWakeEvent::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void CWakeEvent::Signal()
{
    if (m_fd < 0)
        return;
    uint64_t one = 1;
    ssize_t n = ::write(m_fd, &one, sizeof one);
    (void)n;  // a full counter already means "wake up"
}

void CWakeEvent::Drain()
{
    if (m_fd < 0)
        return;
    uint64_t counter;
    ssize_t n = ::read(m_fd, &counter, sizeof counter);
    (void)n;
}

}  // namespace platform
