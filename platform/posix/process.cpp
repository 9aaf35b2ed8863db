#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "shared/base/files.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

extern char** environ;

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
    char state = 0;
    uint64_t startTime = 0;
    return ReadProcStat(pid, state, startTime) && state != 'Z' && state != 'X';
}

bool ReadProcStat(int pid, char& state, uint64_t& startTime)
{
    std::string text;
    if (!files::ReadAll("/proc/" + std::to_string(pid) + "/stat", text))
        return false;
    // The command name may contain anything, including ')': fields resume after the last one.
    size_t paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size())
        return false;
    std::string_view rest(text.data() + paren + 2, text.size() - paren - 2);
    // rest starts at field 3 (state); start time is field 22.
    int field = 3;
    size_t pos = 0;
    while (field < 22) {
        if (field == 3)
            state = rest.empty() ? '?' : rest[0];
        size_t sp = rest.find(' ', pos);
        if (sp == std::string_view::npos)
            return false;
        pos = sp + 1;
        ++field;
    }
    size_t end = rest.find(' ', pos);
    std::string_view value = rest.substr(pos, end == std::string_view::npos ? rest.size() - pos : end - pos);
    auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), startTime);
    return ec == std::errc() && ptr == value.data() + value.size();
}

bool ProcessAlive(uint32_t pid, uint64_t startTime)
{
    if (pid == 0 || pid > static_cast<uint32_t>(INT_MAX))
        return false;
    char state = '?';
    uint64_t actualStart = 0;
    if (!ReadProcStat(static_cast<int>(pid), state, actualStart))
        return false;
    if (state == 'Z' || state == 'X' || state == 'x')
        return false;
    return startTime == 0 || startTime == actualStart;
}

namespace {

bool ReadFully(int fd, void* buffer, size_t size)
{
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Everything the detached process needs, built before fork.
struct PreparedStart {
    const char* path;
    char* const* argv;
    char* const* envp;
    const char* outputPath;  // null: /dev/null
    const char* workDir;     // null: ours
    int timeoutMs;
    int executableFd;  // >= 0: exec this open file instead of `path`
};

// Ends a watched program's process group once the time is up.
[[noreturn]] void Watch(pid_t program, int timeoutMs)
{
    for (int waited = 0;; waited += 20) {
        if (::waitpid(program, nullptr, WNOHANG) == program)
            ::_exit(0);
        if (waited >= timeoutMs) {
            ::kill(-program, SIGKILL);
            ::kill(program, SIGKILL);
            ::waitpid(program, nullptr, 0);
            ::_exit(0);
        }
        timespec pause{0, 20 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
}

[[noreturn]] void ExecProgram(const PreparedStart& start, int reportFd)
{
    if (start.executableFd >= 0)
        ::fexecve(start.executableFd, start.argv, start.envp);
    else
        ::execve(start.path, start.argv, start.envp);
    int error = errno ? errno : ENOEXEC;
    (void)!::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

// Runs in the forked child of a possibly multi-threaded process: async-signal-safe calls only.
[[noreturn]] void RunDetachedChild(const PreparedStart& start, int reportFd, int goFd)
{
    ::setsid();
    pid_t grandchild = ::fork();
    if (grandchild != 0)
        ::_exit(grandchild < 0 ? 1 : 0);
    // The grandchild is adopted by init (or the nearest subreaper), so no starter has to reap it.
    pid_t self = ::getpid();
    if (::write(reportFd, &self, sizeof self) != static_cast<ssize_t>(sizeof self))
        ::_exit(1);
    char go = 0;
    ssize_t n;
    while ((n = ::read(goFd, &go, 1)) < 0 && errno == EINTR) {
    }
    if (n != 1)
        ::_exit(0);  // the starter gave up

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        ::sigaction(sig, &dfl, nullptr);

    int in = ::open("/dev/null", O_RDONLY);
    int out = start.outputPath ? ::open(start.outputPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0644) : -1;
    if (out < 0)
        out = ::open("/dev/null", O_WRONLY);
    if (in >= 0)
        ::dup2(in, 0);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
    }
    if (start.workDir && ::chdir(start.workDir) != 0)
        ::_exit(1);
    // Nothing of the starter (its sockets, its lock files) leaks into the program.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    // Except the file to run: a script's interpreter opens it as /dev/fd/N.
    if (start.executableFd >= 0)
        ::fcntl(start.executableFd, F_SETFD, 0);
    if (start.timeoutMs < 0)
        ExecProgram(start, reportFd);
    pid_t program = ::fork();
    if (program == 0) {
        ::setpgid(0, 0);
        ExecProgram(start, reportFd);
    }
    ::close(reportFd);  // the starter hears of the exec from the program alone
    if (program < 0)
        ::_exit(1);
    Watch(program, start.timeoutMs);
}

}  // namespace

int StartDetached(const DetachedProgram& program, const std::function<bool(int pid)>& beforeRun, int* execError)
{
    if (execError)
        *execError = 0;
    std::vector<std::string> argvStore;
    argvStore.reserve(program.args.size() + 1);
    argvStore.push_back(program.path);
    argvStore.insert(argvStore.end(), program.args.begin(), program.args.end());
    std::vector<char*> argv;
    for (auto& a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    std::vector<char*> envp;
    if (program.environment) {
        envStore = *program.environment;
        for (auto& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);
    }
    const PreparedStart start{program.path.c_str(),
                              argv.data(),
                              program.environment ? envp.data() : environ,
                              program.outputPath.empty() ? nullptr : program.outputPath.c_str(),
                              program.workDir.empty() ? nullptr : program.workDir.c_str(),
                              program.timeoutMs,
                              program.executableFd};

    // The detached process reports its id, waits for the go-ahead, and reports an exec failure
    // (errno) on the same pipe; a clean exec closes it.
    int report[2];
    int go[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return 0;
    if (::pipe2(go, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return 0;
    }
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(report[0]);
        ::close(go[1]);
        RunDetachedChild(start, report[1], go[0]);
    }
    ::close(report[1]);
    ::close(go[0]);
    if (middle < 0) {
        ::close(report[0]);
        ::close(go[1]);
        return 0;
    }
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_t pid = 0;
    if (!ReadFully(report[0], &pid, sizeof pid) || pid <= 0 || (beforeRun && !beforeRun(static_cast<int>(pid)))) {
        ::close(go[1]);  // no go-ahead: the process leaves
        ::close(report[0]);
        return 0;
    }
    char goByte = 'g';
    bool told = ::write(go[1], &goByte, 1) == 1;
    ::close(go[1]);
    int error = 0;
    bool execFailed = told ? ReadFully(report[0], &error, sizeof error) : true;
    ::close(report[0]);
    if (!execFailed)
        return static_cast<int>(pid);
    if (execError)
        *execError = error ? error : EIO;
    return 0;
}

int StartProgramHidden(const std::string& path, const std::vector<std::string>& args)
{
    DetachedProgram program;
    program.path = path;
    program.args = args;
    return StartDetached(program);
}

void IgnoreBrokenPipe()
{
    ::signal(SIGPIPE, SIG_IGN);
}

void OnStopRequest(void (*handler)(int))
{
    struct sigaction sa {};
    sa.sa_handler = handler;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
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
