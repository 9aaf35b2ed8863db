#pragma once
// poll() over sockets (WSAPoll): only sockets can be waited on together.
#include "win32.h"

// The programs keep sockets in ints; Winsock's pollfd holds a SOCKET. Theirs is this one.
#define pollfd morvane_pollfd
struct pollfd {
    int fd;
    short events;
    short revents;
};

typedef unsigned long nfds_t;

#ifdef __cplusplus
extern "C" {
#endif
int poll(struct pollfd* fds, nfds_t count, int timeoutMs);
#ifdef __cplusplus
}
#endif
