#pragma once
// Processes: enumeration, main-module names, hidden start, waiting and termination.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// Ids of all running processes, ascending. Empty when the process table cannot be read.
std::vector<int> EnumProcesses();

// Full path of the executable a process runs. False for processes we may not inspect (other
// users' processes without privilege, kernel threads, zombies). A running program whose file was
// replaced or deleted keeps its old path; the kernel's " (deleted)" mark is removed.
bool ProcessImagePath(int pid, std::string& path);

// Last path component of ProcessImagePath.
bool ProcessBaseName(int pid, std::string& name);

// True while the process exists and has not ended (a zombie has ended).
bool ProcessAlive(int pid);

// State letter and start time (clock ticks since boot) of a process, from /proc.
bool ReadProcStat(int pid, char& state, uint64_t& startTime);

// True while the process exists, has not ended, and (unless `startTime` is 0) is the process that
// started at that time rather than a later one that got the same id.
bool ProcessAlive(uint32_t pid, uint64_t startTime);

// A program to start detached.
struct DetachedProgram {
    std::string path;
    std::vector<std::string> args;                        // argv[1..]
    std::optional<std::vector<std::string>> environment;  // the whole environment; none = ours
    std::string outputPath;                               // standard output and error appended here; empty = /dev/null
    std::string workDir;                                  // empty = ours
    // >= 0: the program runs in a process group of its own under a watchdog that ends the group
    // after this long; the returned id is then the watchdog's.
    int timeoutMs = -1;
    // >= 0: the program is started from this open file (fexecve), not looked up by `path` again, so
    // that what was checked is what runs. It stays open in the program (without close-on-exec) for a
    // script's interpreter, which reads the script through /dev/fd. The caller closes it afterwards.
    int executableFd = -1;
};

// Starts a program detached: double fork (init adopts it, nobody has to reap it), own session,
// signal mask and dispositions reset, descriptors above 2 closed, standard input on /dev/null.
// `beforeRun`, when given, gets the process id before the program may run; when it returns false
// the program is not run. Returns the process id, or 0 when nothing was started or the exec failed
// (`execError`, when given, gets the exec's errno; 0 otherwise).
int StartDetached(const DetachedProgram& program, const std::function<bool(int pid)>& beforeRun = {},
                  int* execError = nullptr);

// Starts `path` with `args` (argv[1..]) detached: own session, standard streams on /dev/null,
// inherited environment and working directory, no console. Nobody waits for it and it leaves no
// zombie behind. Returns its process id, or 0 when it could not be started (including exec failure).
int StartProgramHidden(const std::string& path, const std::vector<std::string>& args);

// Writes to a peer that has gone fail with EPIPE instead of ending this process.
void IgnoreBrokenPipe();

// Calls `handler` (async-signal-safe code only) when this process is asked to stop: interrupted
// from the terminal or terminated.
void OnStopRequest(void (*handler)(int));

// A handle on one process, immune to pid reuse where the system offers pidfds.
class CProcessHandle {
public:
    CProcessHandle() = default;
    ~CProcessHandle();
    CProcessHandle(const CProcessHandle&) = delete;
    CProcessHandle& operator=(const CProcessHandle&) = delete;

    // False when the process does not exist (or has already ended).
    bool Open(int pid);
    void Close();
    bool IsOpen() const { return m_pid > 0; }
    int Pid() const { return m_pid; }

    // Waits up to timeoutMs (negative = forever) for the process to end. True when it has ended.
    bool Wait(int timeoutMs);
    // Ends the process at once (SIGKILL). True when the signal was delivered or it had already ended.
    bool Terminate();

private:
    int m_pid = 0;
    int m_pidfd = -1;
};

}  // namespace platform
