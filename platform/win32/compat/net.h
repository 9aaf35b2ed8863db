#pragma once
// Winsock under the BSD socket names. Sockets are ints in the programs: the calls below take one and
// hand the SOCKET on, with the buffer types BSD uses.
#include "win32.h"

#include <sys/types.h>

#include <errno.h>

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
#ifndef SOCK_NONBLOCK
#define SOCK_NONBLOCK 0  // only the local channel asks for it, and Windows has none
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
template <class Value>
inline int setsockopt(int s, int level, int name, const Value* value, socklen_t length)
{
    return ::setsockopt(static_cast<SOCKET>(s), level, name, reinterpret_cast<const char*>(value), length);
}
// Local sockets only, which Windows does not have: see platform/local_socket.h.
inline int accept4(int, sockaddr*, socklen_t*, int)
{
    errno = ENOTSUP;
    return -1;
}
template <class Buffer>
inline ssize_t sendto(int s, const Buffer* buffer, size_t size, int flags, const sockaddr* to, socklen_t length)
{
    return ::sendto(static_cast<SOCKET>(s), reinterpret_cast<const char*>(buffer), static_cast<int>(size), flags, to,
                    length);
}
#endif
