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

#ifdef __cplusplus
#include <errno.h>
#include <string.h>

// getpwuid's answer with the name copied into `buffer`.
inline int getpwuid_r(uid_t uid, struct passwd* entry, char* buffer, size_t size, struct passwd** result)
{
    *result = nullptr;
    struct passwd* found = getpwuid(uid);
    if (!found)
        return 0;
    size_t length = strlen(found->pw_name) + 1;
    if (length > size)
        return ERANGE;
    memcpy(buffer, found->pw_name, length);
    *entry = *found;
    entry->pw_name = buffer;
    *result = entry;
    return 0;
}
// Service accounts of the Linux packages (morvane-provider) do not exist on Windows: never found.
inline int getpwnam_r(const char*, struct passwd*, char*, size_t, struct passwd** result)
{
    *result = nullptr;
    return 0;
}
#endif
