#pragma once
#include_next <unistd.h>

#include <sys/types.h>

#ifndef X_OK
#define X_OK 0  // Windows has no execute bit to ask for
#endif

#ifndef _SC_GETPW_R_SIZE_MAX
#define _SC_GETPW_R_SIZE_MAX 70
#endif

#ifdef __cplusplus
extern "C" {
#endif
// No limits to ask for: callers take their own default.
inline long sysconf(int)
{
    return -1;
}
// The user of this process's token, numbered as in identity.cpp.
uid_t geteuid(void);
uid_t getuid(void);
// Data reach the disk (the runtime's _commit).
inline int fsync(int fd)
{
    return _commit(fd);
}
// Files take their access from the directory they are created in: nothing to change.
int chown(const char* path, uid_t owner, gid_t group);
#ifdef __cplusplus
}
#endif
