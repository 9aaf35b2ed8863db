#pragma once
#include <sys/types.h>

struct group {
    char* gr_name;
    gid_t gr_gid;
};

#ifdef __cplusplus
extern "C" {
#endif
// Group 0 is the local Administrators group; there are no others.
struct group* getgrgid(gid_t gid);
#ifdef __cplusplus
}
#endif
