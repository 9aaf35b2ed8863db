#pragma once
#include_next <signal.h>

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif
// Signal 0 only: whether the process exists (EPERM when it does but may not be opened).
int kill(pid_t pid, int signal);
#ifdef __cplusplus
}
#endif
