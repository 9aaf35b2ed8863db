// The control channel's sockets on Windows (built into morvane_base in place of shared/base/udp.cpp).
#include "shared/base/udp.h"

#include "platform/win32/compat/win32.h"

#include <mswsock.h>

int BindLoopbackUdp(uint16_t firstPort, int tries, uint16_t& port)
{
    // Started once per process, before the first socket; never cleaned up.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    (void)started;
    for (int i = 0; i < tries; ++i) {
        uint16_t candidate = static_cast<uint16_t>(firstPort + i);
        SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
        if (s == INVALID_SOCKET)
            continue;
        // Only this socket may have the port: no other program can bind it as well and take our datagrams.
        BOOL exclusive = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
        // A datagram sent to a client that has gone would otherwise make the next receive fail
        // (WSAECONNRESET) instead of just being lost, as it is elsewhere.
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(candidate);
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            port = candidate;
            return static_cast<int>(s);
        }
        closesocket(s);
    }
    return -1;
}
