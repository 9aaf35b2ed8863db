#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace platform {

namespace {

int PidfdOpen(int pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

int PidfdSendSignal(int pidfd, int sig)
{
#ifdef SYS_pidfd_send_signal
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
#else
    (void)pidfd;
    (void)sig;
    errno = ENOSYS;
    return -1;
#endif
}

// Process state letter from /proc/<pid>/stat; 0 when unreadable.
char ProcessState(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line))
        return 0;
    // The command name may hold spaces and parentheses: the state follows the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos || close + 2 >= line.size())
        return 0;
    return line[close + 2];
}

}  // namespace

std::vector<int> EnumProcesses()
{
    std::vector<int> pids;
    DIR* dir = opendir("/proc");
    if (!dir)
        return pids;
    while (dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long v = std::strtol(e->d_name, &end, 10);
        if (end != e->d_name && *end == '\0' && v > 0)
            pids.push_back(static_cast<int>(v));
    }
    closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool ProcessImagePath(int pid, std::string& path)
{
    if (pid <= 0)
        return false;
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::string buf(256, '\0');
    for (;;) {
        const ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
        if (n < 0)
            return false;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            break;
        }
        buf.resize(buf.size() * 2);
    }
    static constexpr const char kDeleted[] = " (deleted)";
    constexpr size_t kDeletedLen = sizeof kDeleted - 1;
    if (buf.size() > kDeletedLen && buf.compare(buf.size() - kDeletedLen, kDeletedLen, kDeleted) == 0)
        buf.resize(buf.size() - kDeletedLen);
    path = std::move(buf);
    return true;
}

bool ProcessBaseName(int pid, std::string& name)
{
    std::string path;
    if (!ProcessImagePath(pid, path))
        return false;
    const auto slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

bool ProcessAlive(int pid)
{
    if (pid <= 0)
        return false;
    if (kill(pid, 0) != 0 && errno != EPERM)
        return false;
    const char state = ProcessState(pid);
    return state != 0 && state != 'Z' && state != 'X';
}

int StartProgramHidden(const std::string& path, const std::vector<std::string>& args)
{
    // Everything the children need is prepared before fork: between fork and exec only
    // async-signal-safe calls are made.
    std::vector<std::string> argvStore;
    argvStore.reserve(args.size() + 1);
    argvStore.push_back(path);
    argvStore.insert(argvStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    // The intermediate child reports the grandchild's pid, then the grandchild reports an exec
    // failure (errno) on the same pipe; a clean exec closes it.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return 0;

    const pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return 0;
    }
    if (child == 0) {
        close(fds[0]);
        setsid();
        const pid_t grandchild = fork();
        if (grandchild != 0) {
            const int reported = grandchild > 0 ? static_cast<int>(grandchild) : 0;
            ssize_t w = write(fds[1], &reported, sizeof reported);
            (void)w;
            _exit(0);
        }
        const int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            if (devnull > 2)
                close(devnull);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        const int err = errno ? errno : ENOEXEC;
        ssize_t w = write(fds[1], &err, sizeof err);
        (void)w;
        _exit(127);
    }
    close(fds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int pid = 0;
    int execErr = 0;
    ssize_t n;
    while ((n = read(fds[0], &pid, sizeof pid)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof pid))
        pid = 0;
    if (pid > 0) {
        while ((n = read(fds[0], &execErr, sizeof execErr)) < 0 && errno == EINTR) {
        }
        if (n == static_cast<ssize_t>(sizeof execErr))
            pid = 0;  // exec failed; the grandchild has exited
    }
    close(fds[0]);
    return pid;
}

CProcessHandle::~CProcessHandle()
{
    Close();
}

bool CProcessHandle::Open(int pid)
{
    Close();
    if (!ProcessAlive(pid))
        return false;
    m_pid = pid;
    m_pidfd = PidfdOpen(pid);  // -1 on old kernels: fall back to the pid
    return true;
}

void CProcessHandle::Close()
{
    if (m_pidfd >= 0)
        close(m_pidfd);
    m_pidfd = -1;
    m_pid = 0;
}

bool CProcessHandle::Wait(int timeoutMs)
{
    if (m_pid <= 0)
        return true;
    if (m_pidfd >= 0) {
        pollfd p{m_pidfd, POLLIN, 0};
        for (;;) {
            const int r = poll(&p, 1, timeoutMs);
            if (r > 0)
                return true;
            if (r == 0)
                return false;
            if (errno != EINTR)
                break;  // poll on the pidfd failed: fall through to polling
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (!ProcessAlive(m_pid))
            return true;
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool CProcessHandle::Terminate()
{
    if (m_pid <= 0)
        return false;
    if (m_pidfd >= 0) {
        if (PidfdSendSignal(m_pidfd, SIGKILL) == 0)
            return true;
        if (errno == ESRCH)
            return true;  // already gone
        if (errno != ENOSYS)
            return false;
    }
    if (!ProcessAlive(m_pid))
        return true;
    return kill(m_pid, SIGKILL) == 0;
}

}  // namespace platform
