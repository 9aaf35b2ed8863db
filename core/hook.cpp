#include "core/hook.h"

#include "core/hook_file.h"
#include "core/log.h"
#include "platform/process.h"
#include "shared/base/ipv4.h"

#include <unistd.h>

#include <cstring>
#include <string>

extern char** environ;

bool RunAddressHook(const std::string& programDir, uint32_t address, const std::string& address6,
                    const std::vector<uint32_t>& hostids, int timeoutMs)
{
    platform::DetachedProgram hook;
    hook.path = AddressHookPath(programDir);
    std::string why;
    // Checked on the open file and started from it: replacing the file afterwards starts nothing else.
    hook.executableFd = OpenTrustedHook(hook.path, why);
    if (hook.executableFd < 0) {
        // Said once per reason, not at every address change.
        static std::string s_lastRefusal;
        if (!why.empty() && why + hook.path != s_lastRefusal)
            JournalPrint(kJournalWarning, "address-change hook %s not run: %s", hook.path.c_str(), why.c_str());
        s_lastRefusal = why.empty() ? std::string() : why + hook.path;
        return false;
    }

    std::string ids;
    for (uint32_t id : hostids) {
        if (!ids.empty())
            ids += ' ';
        ids += std::to_string(id);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("MORVANE_ADDRESS=", 0) != 0 && entry.rfind("MORVANE_ADDRESS6=", 0) != 0 &&
            entry.rfind("MORVANE_HOSTIDS=", 0) != 0 && entry.rfind("MORVANE_PROGRAM_DIR=", 0) != 0)
            env.push_back(entry);
    }
    const std::string shown = address ? FormatIPv4(address) : std::string();
    env.push_back("MORVANE_ADDRESS=" + shown);
    env.push_back("MORVANE_ADDRESS6=" + address6);
    env.push_back("MORVANE_HOSTIDS=" + ids);
    env.push_back("MORVANE_PROGRAM_DIR=" + programDir);
    hook.environment = std::move(env);
    // A watchdog ends the hook (and whatever it started in its process group) when the time is up.
    hook.timeoutMs = timeoutMs < 0 ? 0 : timeoutMs;

    int execError = 0;
    const int pid = platform::StartDetached(hook, {}, &execError);
    ::close(hook.executableFd);
    if (pid == 0) {
        // A file that passed the checks but cannot run (a missing interpreter, a binary for another
        // machine, no memory) is a failure to report, never a start.
        JournalPrint(kJournalWarning, "address-change hook %s could not be started: %s", hook.path.c_str(),
                     execError ? std::strerror(execError) : "no process could be made");
        return false;
    }
    JournalPrint(kJournalInfo, "address-change hook %s started for %s (pid %d)", hook.path.c_str(),
                 shown.empty() || address6.empty() ? (shown + address6).c_str() : (shown + " and " + address6).c_str(),
                 pid);
    return true;
}
