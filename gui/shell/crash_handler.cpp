// The signal handler runs in a process that may be thoroughly broken (heap corrupted, locks held by
// the faulting code), so it only uses system calls on buffers prepared at install time. backtrace()
// is the one library call; it is run once at install so that its unwinder is already loaded.

#include "gui/shell/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/program.h"
#include "platform/version.h"

extern char** environ;

namespace gui {

namespace {

constexpr size_t kPathBuffer = 260;
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kAltStackSize = 64 * 1024;

struct CrashState {
    char module[kPathBuffer] = {};
    char dump[kPathBuffer + 8] = {};
    char uploader[kPathBuffer] = {};
    char labels[2][kPathBuffer] = {};
    std::atomic<int> label{0};
    char version[32] = "0.0.0.0";
    char pid[24] = {};
    char* argv[12] = {};
    bool installed = false;
    std::atomic<long> owner{0};  // thread writing the report
    alignas(16) char altStack[kAltStackSize];
};

CrashState g_crash;

// Copies at most kCrashTextMax bytes, not splitting a UTF-8 sequence.
void CopyCut(char* to, const std::string& from)
{
    size_t n = from.size();
    if (n > kCrashTextMax) {
        n = kCrashTextMax;
        while (n > 0 && (static_cast<unsigned char>(from[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

// ---- async-signal-safe output ----

class CWriter {
public:
    explicit CWriter(int fd) : m_fd(fd) {}
    ~CWriter() { Flush(); }
    CWriter& Put(const char* text)
    {
        while (*text) {
            if (m_used == sizeof m_buf)
                Flush();
            m_buf[m_used++] = *text++;
        }
        return *this;
    }
    CWriter& Dec(uint64_t v)
    {
        char digits[24];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        char text[24];
        for (size_t i = 0; i < n; ++i)
            text[i] = digits[n - 1 - i];
        text[n] = '\0';
        return Put(text);
    }
    CWriter& Hex(uint64_t v)
    {
        char text[19] = "0x";
        for (int i = 0; i < 16; ++i)
            text[2 + i] = "0123456789abcdef"[(v >> (60 - 4 * i)) & 0xF];
        text[18] = '\0';
        return Put(text);
    }
    void Flush()
    {
        size_t done = 0;
        while (done < m_used) {
            ssize_t n = ::write(m_fd, m_buf + done, m_used - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        m_used = 0;
    }

private:
    int m_fd;
    char m_buf[512];
    size_t m_used = 0;
};

const char* SignalName(int sig)
{
    switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "?";
    }
}

void WriteRegisters(CWriter& out, const void* context)
{
    if (!context)
        return;
    const auto* uc = static_cast<const ucontext_t*>(context);
    out.Put("registers:\n");
#if defined(__x86_64__)
    static const struct {
        const char* name;
        int index;
    } regs[] = {{"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP},    {"rax", REG_RAX}, {"rbx", REG_RBX},
                {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},    {"rdi", REG_RDI}, {"r8", REG_R8},
                {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},    {"r12", REG_R12}, {"r13", REG_R13},
                {"r14", REG_R14}, {"r15", REG_R15}, {"eflags", REG_EFL}, {"err", REG_ERR}, {"trapno", REG_TRAPNO}};
    for (const auto& r : regs)
        out.Put("  ").Put(r.name).Put(" ").Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[r.index])).Put("\n");
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i)
        out.Put("  x").Dec(static_cast<uint64_t>(i)).Put(" ").Hex(uc->uc_mcontext.regs[i]).Put("\n");
    out.Put("  sp ").Hex(uc->uc_mcontext.sp).Put("\n");
    out.Put("  pc ").Hex(uc->uc_mcontext.pc).Put("\n");
    out.Put("  pstate ").Hex(uc->uc_mcontext.pstate).Put("\n");
#else
    out.Put("  (not recorded on this architecture)\n");
#endif
}

void CopyFile(CWriter& out, int to, const char* path)
{
    out.Flush();
    int from = ::open(path, O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(from, buf, sizeof buf)) > 0) {
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
            if (w <= 0)
                break;
            done += w;
        }
    }
    ::close(from);
}

void WriteReport(int sig, const siginfo_t* info, const void* context, pid_t pid, long tid, const char* account)
{
    int fd = ::open(g_crash.dump, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    {
        CWriter out(fd);
        out.Put("Morvane crash report\n");
        out.Put("program: ").Put(g_crash.module).Put("\n");
        out.Put("version: ").Put(g_crash.version).Put("\n");
        out.Put("account: ").Put(account).Put("\n");
        out.Put("pid: ").Dec(static_cast<uint64_t>(pid)).Put("\n");
        out.Put("thread: ").Dec(static_cast<uint64_t>(tid)).Put("\n");
        out.Put("signal: ").Dec(static_cast<uint64_t>(sig)).Put(" (").Put(SignalName(sig)).Put(")\n");
        if (info) {
            out.Put("code: ").Dec(static_cast<uint64_t>(static_cast<uint32_t>(info->si_code))).Put("\n");
            out.Put("address: ").Hex(reinterpret_cast<uintptr_t>(info->si_addr)).Put("\n");
        }
        WriteRegisters(out, context);
        out.Put("backtrace:\n");
        out.Flush();
        void* frames[64];
        int n = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, n, fd);
        out.Put("maps:\n");
        CopyFile(out, fd, "/proc/self/maps");
    }
    ::fsync(fd);
    ::close(fd);
}

void FormatPid(char* to, pid_t pid)
{
    char digits[24];
    size_t n = 0;
    auto v = static_cast<unsigned long>(pid);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; ++i)
        to[i] = digits[n - 1 - i];
    to[n] = '\0';
}

// fork() would run the atfork handlers (malloc's take its locks); a bare clone does not, and the
// child does nothing but exec.
void StartUploader(const char* account)
{
    if (g_crash.uploader[0] == '\0')
        return;
    g_crash.argv[8] = const_cast<char*>(account);
    long child = ::syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
    if (child != 0)
        return;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
    }
    ::execve(g_crash.uploader, g_crash.argv, environ);
    ::_exit(127);
}

void OnFatalSignal(int sig, siginfo_t* info, void* context)
{
    const long tid = ::syscall(SYS_gettid);
    long expected = 0;
    if (!g_crash.owner.compare_exchange_strong(expected, tid)) {
        if (expected == tid) {
            // The handler itself failed: just end.
            ::signal(sig, SIG_DFL);
            ::raise(sig);
            return;
        }
        // Another thread is writing the report; it ends the process when done.
        for (;;)
            ::pause();
    }
    const pid_t pid = ::getpid();
    const char* account = g_crash.labels[g_crash.label.load(std::memory_order_acquire)];
    FormatPid(g_crash.pid, pid);
    WriteReport(sig, info, context, pid, tid, account);
    StartUploader(account);

    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    ::raise(sig);  // delivered when the handler returns (the signal is blocked until then)
}

}  // namespace

std::string CrashDumpPath(const std::string& modulePath)
{
    // Only a dot in the file name counts: "/opt/a.b/Morvane" has no extension.
    size_t slash = modulePath.rfind(platform::kPathSeparator);
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = modulePath.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        return modulePath + ".dmp";
    return modulePath.substr(0, dot) + ".dmp";
}

bool InstallCrashHandlerFor(const std::string& modulePath, const std::string& uploaderPath, const std::string& label)
{
    if (modulePath.empty()) {
        std::printf("(%d): can't get filename\n", 588);
        std::fflush(stdout);
        return false;
    }
    const std::string dump = CrashDumpPath(modulePath);
    if (modulePath.size() >= kPathBuffer || dump.size() >= sizeof g_crash.dump) {
        std::printf("(%d): path too long: %s\n", 591, modulePath.c_str());
        std::fflush(stdout);
        return false;
    }
    // A cut path would start some other program: no upload rather than the wrong one.
    if (uploaderPath.size() <= kCrashTextMax)
        std::memcpy(g_crash.uploader, uploaderPath.c_str(), uploaderPath.size() + 1);
    else
        g_crash.uploader[0] = '\0';
    const int next = 1 - g_crash.label.load();
    CopyCut(g_crash.labels[next], label);
    g_crash.label.store(next, std::memory_order_release);
    std::memcpy(g_crash.module, modulePath.c_str(), modulePath.size() + 1);
    std::memcpy(g_crash.dump, dump.c_str(), dump.size() + 1);

    uint16_t parts[4];
    platform::FileVersionOf(modulePath, parts);
    std::snprintf(g_crash.version, sizeof g_crash.version, "%u.%u.%u.%u", parts[0], parts[1], parts[2], parts[3]);

    static char f[] = "-f", t[] = "-t", v[] = "-v", a[] = "-a";
    char** argv = g_crash.argv;
    argv[0] = g_crash.uploader;
    argv[1] = f;
    argv[2] = g_crash.dump;
    argv[3] = t;
    argv[4] = g_crash.module;
    argv[5] = v;
    argv[6] = g_crash.version;
    argv[7] = a;
    argv[8] = nullptr;  // the account label current at crash time
    argv[9] = g_crash.pid;
    argv[10] = nullptr;

    void* warm[4];
    ::backtrace(warm, 4);  // loads the unwinder now, not in the handler

    stack_t stack{};
    stack.ss_sp = g_crash.altStack;
    stack.ss_size = sizeof g_crash.altStack;
    ::sigaltstack(&stack, nullptr);

    for (size_t i = 0; i < kSignalCount; ++i) {
        struct sigaction action {};
        action.sa_sigaction = OnFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        ::sigaction(kSignals[i], &action, nullptr);
    }
    g_crash.installed = true;
    return true;
}

bool InstallCrashHandler(const std::string& uploaderPath, const std::string& label)
{
    return InstallCrashHandlerFor(platform::ProgramPath(), uploaderPath, label);
}

void SetCrashAccount(const std::string& name)
{
    const int next = 1 - g_crash.label.load();
    CopyCut(g_crash.labels[next], name);
    g_crash.label.store(next, std::memory_order_release);
}

std::string CrashReportPath()
{
    return g_crash.dump;
}

std::string CrashAccount()
{
    return g_crash.labels[g_crash.label.load()];
}

}  // namespace gui
