#include "core/hook.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "core/hook_file.h"
#include "core/log.h"

extern char** environ;

namespace {

std::string Dotted(uint32_t a)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
    return buf;
}

}  // namespace

bool RunAddressHook(const std::string& programDir, uint32_t address, const std::vector<uint32_t>& hostids,
                    int timeoutMs)
{
    std::string path = AddressHookPath(programDir);
    std::string why;
    const int hookFd = OpenTrustedHook(path, why);
    if (hookFd < 0) {
        // Said once per reason, not at every address change.
        static std::string s_lastRefusal;
        if (!why.empty() && why + path != s_lastRefusal)
            LogPrint("address-change hook %s not run: %s\n", path.c_str(), why.c_str());
        s_lastRefusal = why.empty() ? std::string() : why + path;
        return false;
    }

    // Everything the children need is prepared here: after fork only async-signal-safe calls follow.
    std::string ids;
    for (uint32_t id : hostids) {
        if (!ids.empty())
            ids += ' ';
        ids += std::to_string(id);
    }
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("MORVANE_ADDRESS=", 0) != 0 && entry.rfind("MORVANE_HOSTIDS=", 0) != 0 &&
            entry.rfind("MORVANE_PROGRAM_DIR=", 0) != 0)
            env.push_back(entry);
    }
    env.push_back("MORVANE_ADDRESS=" + Dotted(address));
    env.push_back("MORVANE_HOSTIDS=" + ids);
    env.push_back("MORVANE_PROGRAM_DIR=" + programDir);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {path.data(), nullptr};

    pid_t first = fork();
    if (first < 0) {
        close(hookFd);
        return false;
    }
    if (first == 0) {
        // The watchdog: detached from the service (the first child exits at once), it starts the
        // hook in a process group of its own and ends that group when the time is up.
        if (fork() != 0)
            _exit(0);
        setsid();
        pid_t hook = fork();
        if (hook == 0) {
            setpgid(0, 0);
            int null = open("/dev/null", O_RDWR);
            if (null >= 0) {
                dup2(null, 0);
                dup2(null, 1);
                dup2(null, 2);
            }
            // The file that was checked, whatever the path names by now.
            fexecve(hookFd, argv, envp.data());
            _exit(127);
        }
        if (hook < 0)
            _exit(1);
        for (int waited = 0;; waited += 20) {
            if (waitpid(hook, nullptr, WNOHANG) == hook)
                _exit(0);
            if (waited >= timeoutMs) {
                kill(-hook, SIGKILL);
                kill(hook, SIGKILL);
                waitpid(hook, nullptr, 0);
                _exit(0);
            }
            timespec pause{0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    close(hookFd);
    waitpid(first, nullptr, 0);  // returns at once: the first child only forks
    return true;
}
