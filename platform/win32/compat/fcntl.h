#pragma once
#include_next <fcntl.h>

// Windows does not follow symbolic links of its own accord in the calls made here, and a file
// descriptor opened without inheritance is what close-on-exec is for.
#ifndef O_NOFOLLOW
#define O_NOFOLLOW 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
// A console is never made a process's controlling terminal by opening it.
#ifndef O_NOCTTY
#define O_NOCTTY 0
#endif
// Files and FIFOs never block an open or read on Windows.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#define F_GETFL 3
#define F_SETFL 4

#ifdef __cplusplus
extern "C" {
#endif
// Only F_GETFL and F_SETFL, which keep nothing: 0.
int fcntl(int fd, int command, ...);
#ifdef __cplusplus
}
#endif
