#include "platform/socket.h"

#include "platform/win32/compat/win32.h"

#include <cerrno>

namespace platform {
namespace {

// Winsock is started once for the process before anything uses a socket and never cleaned up.
struct CWinsock {
    CWinsock()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
} g_winsock;

}  // namespace

int CloseSocket(int socket)
{
    return ::closesocket(static_cast<SOCKET>(socket)) == 0 ? 0 : -1;
}

void StampArrivals(int)
{
    // No stamp to ask for: ReceiveStamped takes the time it receives (its thread waits for nothing else).
}

ssize_t ReceiveStamped(int socket, uint8_t* bytes, size_t size, sockaddr_in& from, timespec& arrived)
{
    int length = sizeof from;
    int got = ::recvfrom(static_cast<SOCKET>(socket), reinterpret_cast<char*>(bytes), static_cast<int>(size), 0,
                         reinterpret_cast<sockaddr*>(&from), &length);
    clock_gettime(CLOCK_REALTIME, &arrived);
    if (got == SOCKET_ERROR) {
        // A datagram larger than the buffer: cut short, as elsewhere, and seen as oversized.
        if (WSAGetLastError() == WSAEMSGSIZE)
            return static_cast<ssize_t>(size) + 1;
        errno = WSAGetLastError() == WSAEWOULDBLOCK ? EAGAIN : EIO;
        return -1;
    }
    return got;
}

// poll() waits on sockets only: the event is a loopback UDP socket that sends to itself.
bool CWakeEvent::Open()
{
    if (m_fd >= 0)
        return true;
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        return false;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof self;
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &length) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        closesocket(s);
        return false;
    }
    m_fd = static_cast<int>(s);
    return true;
}

void CWakeEvent::Close()
{
    if (m_fd >= 0)
        closesocket(static_cast<SOCKET>(m_fd));
    m_fd = -1;
}

void CWakeEvent::Signal()
{
    if (m_fd >= 0) {
        char one = 1;
        ::send(static_cast<SOCKET>(m_fd), &one, 1, 0);  // a full buffer already means "wake up"
    }
}

void CWakeEvent::Drain()
{
    if (m_fd < 0)
        return;
    char scrap[16];
    for (int i = 0; i < 1024 && ::recv(static_cast<SOCKET>(m_fd), scrap, static_cast<int>(sizeof scrap), 0) > 0; ++i) {
    }
}

}  // namespace platform
