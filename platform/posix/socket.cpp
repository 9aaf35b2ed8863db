#include "platform/socket.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace platform {

int CloseSocket(int socket)
{
    return ::close(socket);
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
