#pragma once
#include <sys/types.h>

struct passwd {
    char* pw_name;
    uid_t pw_uid;
    gid_t pw_gid;
};

#ifdef __cplusplus
extern "C" {
#endif
// The account name of a user this process has numbered ("NT AUTHORITY\SYSTEM" for 0).
struct passwd* getpwuid(uid_t uid);
#ifdef __cplusplus
}
#endif
