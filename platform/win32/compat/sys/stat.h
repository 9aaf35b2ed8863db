#pragma once
#include_next <sys/stat.h>

#include <sys/types.h>

// Windows keeps permissions in access lists, not mode bits: the group and other bits read as
// clear, and setting them changes nothing.
#ifndef S_IRGRP
#define S_IRGRP 0040
#define S_IWGRP 0020
#define S_IXGRP 0010
#define S_IROTH 0004
#define S_IWOTH 0002
#define S_IXOTH 0001
#define S_IRWXG 0070
#define S_IRWXO 0007
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0
#endif

#ifdef __cplusplus
extern "C" {
#endif
int fchmod(int fd, mode_t mode);
#ifdef __cplusplus
}
inline int mkdir(const char* path, mode_t)
{
    return mkdir(path);
}
inline int lstat(const char* path, struct stat* st)
{
    return stat(path, st);
}
#endif
