#pragma once
// Winsock under the BSD socket names. Sockets are ints in the programs: the calls below take one and
// hand the SOCKET on, with the buffer types BSD uses.
#include "win32.h"

#include <sys/types.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // Windows raises no signal on a broken connection
#endif
#ifndef MSG_DONTWAIT
#define MSG_DONTWAIT 0  // callers only receive what poll() reported ready
#endif
#ifndef MSG_TRUNC
#define MSG_TRUNC 0  // an oversized datagram fails with WSAEMSGSIZE instead
#endif
#ifndef SHUT_RDWR
#define SHUT_RD SD_RECEIVE
#define SHUT_WR SD_SEND
#define SHUT_RDWR SD_BOTH
#endif
#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0  // BindLoopbackUdp makes its sockets non-inheritable
#endif

#ifdef __cplusplus
// Templates: an exact match for every argument, so they win over Winsock's own declarations.
template <class Buffer>
inline ssize_t recv(int s, Buffer* buffer, size_t size, int flags)
{
    return ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), flags);
}
template <class Buffer>
inline ssize_t recvfrom(int s, Buffer* buffer, size_t size, int flags, sockaddr* from, socklen_t* length)
{
    return ::recvfrom(static_cast<SOCKET>(s), reinterpret_cast<char*>(buffer), static_cast<int>(size), flags, from,
                      length);
}
template <class Buffer>
inline ssize_t send(int s, const Buffer* buffer, size_t size, int flags)
{
    return ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(buffer), static_cast<int>(size), flags);
}
template <class Buffer>
inline ssize_t sendto(int s, const Buffer* buffer, size_t size, int flags, const sockaddr* to, socklen_t length)
{
    return ::sendto(static_cast<SOCKET>(s), reinterpret_cast<const char*>(buffer), static_cast<int>(size), flags, to,
                    length);
}
#endif
