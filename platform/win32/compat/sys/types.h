#pragma once
#include_next <sys/types.h>

#include <stdint.h>

// Users and groups are Windows security identifiers; each process numbers those it meets
// (identity.cpp): 0 is LocalSystem, the group 0 the local Administrators.
typedef uint32_t uid_t;
typedef uint32_t gid_t;
