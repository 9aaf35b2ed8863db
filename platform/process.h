#pragma once
// Processes: enumeration, main-module names, hidden start, waiting and termination.

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

// Starts `path` with `args` (argv[1..]) detached: own session, standard streams on /dev/null,
// inherited environment and working directory, no console. Nobody waits for it and it leaves no
// zombie behind. Returns its process id, or 0 when it could not be started (including exec failure).
int StartProgramHidden(const std::string& path, const std::vector<std::string>& args);

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
