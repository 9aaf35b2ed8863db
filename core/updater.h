#pragma once
// Supervision of the provider's updater program, which lives beside the service: finding it among
// the processes, asking it to close, starting it, and installing a new copy left in "update/".

#include <string>
#include <vector>

// File name of the updater (platform::kExeSuffix is empty here).
inline constexpr const char* kUpdaterFileName = "SkelvarCore";
// How long a window gets to answer the end-session query.
inline constexpr int kUpdaterQueryTimeoutMs = 100;
// How long the updater gets to exit after WM_CLOSE before it is terminated.
inline constexpr int kUpdaterExitWaitMs = 5000;

// Process id of a process whose executable's base name is the updater's, ignoring letter case; 0 if
// none. The overload looks only at the given process ids.
int FindUpdaterByName();
int FindUpdaterByName(const std::vector<int>& pids);

// Process id of a process whose executable path contains the updater's name (exact letter case);
// 0 if none.
int FindUpdaterByPath();
int FindUpdaterByPath(const std::vector<int>& pids);

// Asks every visible window of the process to end the session and posts WM_CLOSE to those that
// agree; then waits for the process to exit and terminates it when it does not. False, with nothing
// waited for or terminated, when a window refused or did not answer in time.
bool CloseProcessWindows(int pid, int exitWaitMs = kUpdaterExitWaitMs);

// Starts programDir + "/SkelvarCore" hidden with the arguments "-d" and selfPath. Returns its process
// id, 0 when it could not be started (callers may ignore it: the next periodic check retries).
int StartUpdater(const std::string& programDir, const std::string& selfPath);

// At service start: closes a running updater, then installs "update/SkelvarCore.bak" by way of the
// staging name "update/SkelvarCore". Does nothing while an updater keeps running.
void ReplaceUpdater(const std::string& programDir);
