// Service control: the backend choice, the directory database, and the dispatcher both backends
// share (under systemd it reports over the notify socket instead of the status file).
//
// Per service, named after the lower-cased service name (<stem>):
//   <stem>.service  registration, key=value lines, written by the manager side
//   <stem>.status   last reported status plus pid and process start time, written by whoever reports
//   <stem>.ctl      SOCK_SEQPACKET socket on which the running service's dispatcher takes controls
//                   (named by the digest of the stem when the name is long)
//   <stem>.log      standard output and error of the service process
// Every file is replaced atomically; check-and-change sequences (create, start, delete) run under an
// flock on the database directory.

#include "platform/scm.h"

#include "platform/posix/scm_systemd.h"
#include "shared/base/files.h"
#include "shared/base/md5.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

extern char** environ;

namespace scm {

// The status handle is the address of the process's one dispatcher record.
struct StatusHandleRecord {
    int unused = 0;
};

namespace {

thread_local Error t_lastError = kOk;

bool Fail(Error error)
{
    t_lastError = error;
    return false;
}

bool Succeed()
{
    t_lastError = kOk;
    return true;
}

constexpr const char* kEnvService = "MORVANE_SCM_SERVICE";
constexpr const char* kEnvDir = "MORVANE_SCM_DIR";
constexpr const char* kEnvArgs = "MORVANE_SCM_ARGS";
constexpr const char* kEnvBackend = "MORVANE_SCM_BACKEND";
constexpr const char* kEnvNotifySocket = "NOTIFY_SOCKET";

constexpr size_t kMaxNameLength = 200;  // keeps "<stem>.service.tmp.<pid>" under NAME_MAX
constexpr size_t kMaxDisplayNameLength = 256;
constexpr uint32_t kMagic = 0x314D5343;
constexpr off_t kMaxLogBytes = 1 << 20;
constexpr int kDefaultControlTimeoutMs = 30000;
// After kStopped, how long the dispatcher waits for ServiceMain to return before leaving it behind.
constexpr int kStopGraceMs = 5000;
// How long the dispatcher waits for a connected client to send its request.
constexpr int kRequestReadTimeoutMs = 2000;

struct Request {
    uint32_t magic;
    uint32_t control;
};

struct Reply {
    uint32_t magic;
    uint32_t error;
    uint32_t status[8];
};

// ---------------------------------------------------------------- names and text

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return false;
    }
    return true;
}

// Service names compare without regard to ASCII case; files use the lower-case form.
std::string Stem(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool SameName(const std::string& a, const std::string& b)
{
    return Stem(a) == Stem(b);
}

// Values go on one line: escape what would break the line (and, for argument lists, the separator).
std::string Escape(std::string_view value, bool escapeSpace)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c == '%' || c < 0x20 || c == 0x7f || (escapeSpace && c == ' ')) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(std::string_view value, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size())
            return false;
        int hi = HexValue(value[i + 1]);
        int lo = HexValue(value[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

using KeyValues = std::map<std::string, std::string, std::less<>>;

bool ParseKeyValues(const std::string& text, KeyValues& out)
{
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return false;
        std::string value;
        if (!Unescape(line.substr(eq + 1), value))
            return false;
        out[std::string(line.substr(0, eq))] = std::move(value);
    }
    return true;
}

template <typename T>
bool ParseNumber(const KeyValues& kv, std::string_view key, T& out)
{
    auto it = kv.find(key);
    if (it == kv.end())
        return false;
    const std::string& s = it->second;
    T value{};
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || ptr != s.data() + s.size() || s.empty())
        return false;
    out = value;
    return true;
}

void Put(std::string& out, const char* key, std::string_view value)
{
    out += key;
    out += '=';
    out += Escape(value, false);
    out += '\n';
}

void Put(std::string& out, const char* key, uint64_t value)
{
    out += key;
    out += '=';
    out += std::to_string(value);
    out += '\n';
}

// ---------------------------------------------------------------- records

struct Registration {
    Config config;
    bool deletePending = false;
};

std::string FormatRegistration(const Registration& reg)
{
    std::string out = "# service registration\n";
    Put(out, "name", reg.config.name);
    Put(out, "display_name", reg.config.displayName);
    Put(out, "binary_path", reg.config.binaryPath);
    Put(out, "type", reg.config.type);
    Put(out, "start_type", reg.config.startType);
    Put(out, "error_control", reg.config.errorControl);
    Put(out, "created_access", reg.config.access);
    Put(out, "delete_pending", reg.deletePending ? 1 : 0);
    return out;
}

bool ReadRegistration(const std::string& path, Registration& reg)
{
    std::string text;
    KeyValues kv;
    if (!files::ReadAll(path, text) || !ParseKeyValues(text, kv))
        return false;
    Registration r;
    auto name = kv.find("name");
    auto binary = kv.find("binary_path");
    if (name == kv.end() || binary == kv.end() || !ValidName(name->second))
        return false;
    r.config.name = name->second;
    r.config.binaryPath = binary->second;
    if (auto it = kv.find("display_name"); it != kv.end())
        r.config.displayName = it->second;
    ParseNumber(kv, "type", r.config.type);
    ParseNumber(kv, "start_type", r.config.startType);
    ParseNumber(kv, "error_control", r.config.errorControl);
    ParseNumber(kv, "created_access", r.config.access);
    uint32_t pending = 0;
    ParseNumber(kv, "delete_pending", pending);
    r.deletePending = pending != 0;
    reg = std::move(r);
    return true;
}

struct StatusRecord {
    Status status;
    uint32_t pid = 0;
    uint64_t startTime = 0;  // of the process `pid`, to tell it from a later process with that id
};

std::string FormatStatus(const StatusRecord& rec)
{
    std::string out;
    Put(out, "state", rec.status.state);
    Put(out, "type", rec.status.type);
    Put(out, "controls_accepted", rec.status.controlsAccepted);
    Put(out, "win32_exit_code", rec.status.win32ExitCode);
    Put(out, "service_exit_code", rec.status.serviceExitCode);
    Put(out, "check_point", rec.status.checkPoint);
    Put(out, "wait_hint", rec.status.waitHint);
    Put(out, "pid", rec.pid);
    Put(out, "start_time", rec.startTime);
    return out;
}

bool ReadStatus(const std::string& path, StatusRecord& rec)
{
    std::string text;
    KeyValues kv;
    if (!files::ReadAll(path, text) || !ParseKeyValues(text, kv))
        return false;
    StatusRecord r;
    if (!ParseNumber(kv, "state", r.status.state))
        return false;
    ParseNumber(kv, "type", r.status.type);
    ParseNumber(kv, "controls_accepted", r.status.controlsAccepted);
    ParseNumber(kv, "win32_exit_code", r.status.win32ExitCode);
    ParseNumber(kv, "service_exit_code", r.status.serviceExitCode);
    ParseNumber(kv, "check_point", r.status.checkPoint);
    ParseNumber(kv, "wait_hint", r.status.waitHint);
    ParseNumber(kv, "pid", r.pid);
    ParseNumber(kv, "start_time", r.startTime);
    rec = r;
    return true;
}

// ---------------------------------------------------------------- processes

// State letter and start time (clock ticks since boot) of a process, from /proc.
bool ReadProcStat(pid_t pid, char& state, uint64_t& startTime)
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
    if (!ReadProcStat(static_cast<pid_t>(pid), state, actualStart))
        return false;
    if (state == 'Z' || state == 'X' || state == 'x')
        return false;
    return startTime == 0 || startTime == actualStart;
}

uint64_t OwnStartTime()
{
    char state = '?';
    uint64_t start = 0;
    ReadProcStat(::getpid(), state, start);
    return start;
}

// ---------------------------------------------------------------- the database

bool MakeDirectories(const std::string& path)
{
    if (path.empty())
        return false;
    std::string partial;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        pos = slash + 1;
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Socket file of a service. A long name is replaced by its digest, and a long database path is
// reached through the directory's descriptor: socket addresses hold little more than 100 bytes.
std::string SocketFileName(const std::string& stem)
{
    if (stem.size() <= 40)
        return stem + ".ctl";
    CMD5 md5;
    md5.Digest(std::string_view(stem));
    return std::string(md5.HexDigest()) + ".ctl";
}

bool ControlAddress(const std::string& dir, int dirFd, const std::string& stem, sockaddr_un& addr,
                    socklen_t& length)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/" + SocketFileName(stem);
    if (path.size() >= sizeof addr.sun_path)
        path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + SocketFileName(stem);
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

struct Database {
    std::string dir;
    int fd = -1;

    ~Database()
    {
        if (fd >= 0)
            ::close(fd);
    }
    std::string Path(const std::string& stem, const char* suffix) const { return dir + "/" + stem + suffix; }
};

// Serialises check-and-change sequences between threads (mutex) and processes (flock).
class DatabaseLock {
public:
    explicit DatabaseLock(int fd) : m_guard(Mutex()), m_fd(fd)
    {
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DatabaseLock() { ::flock(m_fd, LOCK_UN); }
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    std::lock_guard<std::mutex> m_guard;
    int m_fd;
};

// Status as a caller should see it: a process that died without reporting kStopped is stopped.
Status EffectiveStatus(const std::string& dir, const std::string& stem)
{
    StatusRecord rec;
    if (!ReadStatus(dir + "/" + stem + ".status", rec))
        return Status{};
    Status st = rec.status;
    if (st.state != kStopped && !ProcessAlive(rec.pid, rec.startTime)) {
        st.state = kStopped;
        st.checkPoint = 0;
        st.waitHint = 0;
        if (st.win32ExitCode == 0)
            st.win32ExitCode = kProcessAborted;
    }
    st.processId = st.state == kStopped ? 0 : rec.pid;
    return st;
}

void RemoveServiceFiles(const std::string& dir, const std::string& stem)
{
    for (const char* suffix : {".service", ".status", ".log", ".log.1"})
        ::unlink((dir + "/" + stem + suffix).c_str());
    ::unlink((dir + "/" + SocketFileName(stem)).c_str());
}

// Finishes a deletion that waited for the service to stop. Caller holds the database lock.
// True when the registration is gone.
bool ReapIfDeleted(const std::string& dir, const std::string& stem)
{
    Registration reg;
    if (!ReadRegistration(dir + "/" + stem + ".service", reg))
        return false;
    if (!reg.deletePending || EffectiveStatus(dir, stem).state != kStopped)
        return false;
    RemoveServiceFiles(dir, stem);
    return true;
}

// ---------------------------------------------------------------- start

void RotateLog(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kMaxLogBytes)
        ::rename(path.c_str(), (path + ".1").c_str());
}

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

// Runs in the forked child of a possibly multi-threaded process: async-signal-safe calls only.
[[noreturn]] void RunServiceChild(int reportFd, int goFd, const char* binary, char* const* argv,
                                  char* const* envp, const char* logPath)
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
    int out = ::open(logPath, O_WRONLY | O_APPEND | O_CREAT, 0644);
    if (out < 0)
        out = ::open("/dev/null", O_WRONLY);
    if (in >= 0)
        ::dup2(in, 0);
    if (out >= 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
    }
    if (::chdir("/") != 0)
        ::_exit(1);
    // Nothing of the starter (its sockets, its lock files) leaks into the service.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execve(binary, argv, envp);
    int error = errno;
    (void)!::write(reportFd, &error, sizeof error);
    ::_exit(127);
}

std::string EncodeArgs(const std::vector<std::string>& args)
{
    std::string out = std::to_string(args.size());
    for (const std::string& a : args) {
        out += ' ';
        out += Escape(a, true);
    }
    return out;
}

bool DecodeArgs(const char* text, std::vector<std::string>& args)
{
    args.clear();
    if (!text || !*text)
        return true;
    std::string_view s(text);
    size_t sp = s.find(' ');
    std::string_view countText = s.substr(0, sp);
    size_t count = 0;
    auto [ptr, ec] = std::from_chars(countText.data(), countText.data() + countText.size(), count);
    if (ec != std::errc() || ptr != countText.data() + countText.size())
        return false;
    size_t pos = sp == std::string_view::npos ? s.size() : sp + 1;
    for (size_t i = 0; i < count; ++i) {
        if (pos > s.size())
            return false;
        size_t end = s.find(' ', pos);
        if (end == std::string_view::npos)
            end = s.size();
        std::string arg;
        if (!Unescape(s.substr(pos, end - pos), arg))
            return false;
        args.push_back(std::move(arg));
        pos = end + 1;
    }
    return true;
}

// Spawns the service program detached. Caller holds the database lock.
bool SpawnService(const Database& db, const std::string& stem, const Registration& reg,
                  const std::vector<std::string>& args)
{
    // Everything the child needs is built before fork.
    const std::string binary = reg.config.binaryPath;
    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.starts_with("MORVANE_SCM_SERVICE=") || entry.starts_with("MORVANE_SCM_DIR=") ||
            entry.starts_with("MORVANE_SCM_ARGS="))
            continue;
        envStrings.emplace_back(entry);
    }
    envStrings.push_back(std::string(kEnvService) + "=" + reg.config.name);
    envStrings.push_back(std::string(kEnvDir) + "=" + db.dir);
    envStrings.push_back(std::string(kEnvArgs) + "=" + EncodeArgs(args));
    std::vector<char*> envp;
    for (std::string& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string argv0 = binary;
    char* argv[] = {argv0.data(), nullptr};
    const std::string logPath = db.Path(stem, ".log");
    RotateLog(logPath);

    int report[2];
    int go[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return Fail(kIoError);
    if (::pipe2(go, O_CLOEXEC) != 0) {
        ::close(report[0]);
        ::close(report[1]);
        return Fail(kIoError);
    }
    pid_t middle = ::fork();
    if (middle == 0) {
        ::close(report[0]);
        ::close(go[1]);
        RunServiceChild(report[1], go[0], binary.c_str(), argv, envp.data(), logPath.c_str());
    }
    ::close(report[1]);
    ::close(go[0]);
    if (middle < 0) {
        ::close(report[0]);
        ::close(go[1]);
        return Fail(kIoError);
    }
    while (::waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }

    pid_t pid = 0;
    if (!ReadFully(report[0], &pid, sizeof pid)) {
        ::close(report[0]);
        ::close(go[1]);
        return Fail(kIoError);
    }
    // Record the process before it may run: its own reports must come after this one, never be
    // overwritten by it.
    StatusRecord rec;
    rec.status.state = kStartPending;
    rec.pid = static_cast<uint32_t>(pid);
    char state = '?';
    ReadProcStat(pid, state, rec.startTime);
    const std::string statusPath = db.Path(stem, ".status");
    if (!files::ReplaceAtomically(statusPath, FormatStatus(rec))) {
        ::close(go[1]);  // the child sees no go-ahead and leaves
        ::close(report[0]);
        return Fail(kIoError);
    }
    char goByte = 'g';
    bool told = ::write(go[1], &goByte, 1) == 1;
    ::close(go[1]);
    int execError = 0;
    bool execFailed = told ? ReadFully(report[0], &execError, sizeof execError) : true;
    ::close(report[0]);
    if (!execFailed)
        return Succeed();

    rec.status.state = kStopped;
    rec.status.win32ExitCode = execError == EACCES ? kAccessDenied : kFileNotFound;
    rec.pid = 0;
    rec.startTime = 0;
    files::ReplaceAtomically(statusPath, FormatStatus(rec));
    return Fail(execError == EACCES ? kAccessDenied : kFileNotFound);
}

// ---------------------------------------------------------------- manager side

class CDirService final : public Service {
public:
    CDirService(std::shared_ptr<Database> db, std::string name, uint32_t access)
        : m_db(std::move(db)), m_name(std::move(name)), m_stem(Stem(m_name)), m_access(access)
    {
    }

    const std::string& Name() const override { return m_name; }

    bool Start(const std::vector<std::string>& args) override
    {
        if (!(m_access & kStart))
            return Fail(kAccessDenied);
        DatabaseLock lock(m_db->fd);
        Registration reg;
        if (!ReadRegistration(m_db->Path(m_stem, ".service"), reg))
            return Fail(kServiceDoesNotExist);
        if (reg.deletePending)
            return Fail(kServiceMarkedForDelete);
        if (reg.config.startType == kDisabled)
            return Fail(kServiceDisabled);
        if (EffectiveStatus(m_db->dir, m_stem).state != kStopped)
            return Fail(kServiceAlreadyRunning);
        return SpawnService(*m_db, m_stem, reg, args);
    }

    bool Control(uint32_t code, Status& status) override
    {
        uint32_t needed = 0;
        if (Error invalid = detail::ControlRight(code, needed); invalid != kOk)
            return Fail(invalid);
        if (!(m_access & needed))
            return Fail(kAccessDenied);
        status = EffectiveStatus(m_db->dir, m_stem);
        if (status.state == kStopped)
            return Fail(kServiceNotActive);

        int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (sock < 0)
            return Fail(kIoError);
        sockaddr_un addr;
        socklen_t length = 0;
        if (!ControlAddress(m_db->dir, m_db->fd, m_stem, addr, length) ||
            ::connect(sock, reinterpret_cast<sockaddr*>(&addr), length) != 0) {
            ::close(sock);
            // Alive but not listening: still starting, or already on its way out.
            status = EffectiveStatus(m_db->dir, m_stem);
            return Fail(status.state == kStopped ? kServiceNotActive : kServiceCannotAcceptCtrl);
        }
        Request req{kMagic, code};
        if (::send(sock, &req, sizeof req, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof req)) {
            ::close(sock);
            return Fail(kServiceCannotAcceptCtrl);
        }
        Reply reply;
        ssize_t n = -1;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_controlTimeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd pfd{sock, POLLIN, 0};
            int r = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            n = ::recv(sock, &reply, sizeof reply, 0);
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        ::close(sock);
        if (n < 0) {
            status = EffectiveStatus(m_db->dir, m_stem);
            return Fail(kServiceRequestTimeout);
        }
        if (n != static_cast<ssize_t>(sizeof reply) || reply.magic != kMagic) {
            status = EffectiveStatus(m_db->dir, m_stem);
            return Fail(kServiceCannotAcceptCtrl);
        }
        status.type = reply.status[0];
        status.state = reply.status[1];
        status.controlsAccepted = reply.status[2];
        status.win32ExitCode = reply.status[3];
        status.serviceExitCode = reply.status[4];
        status.checkPoint = reply.status[5];
        status.waitHint = reply.status[6];
        status.processId = status.state == kStopped ? 0 : reply.status[7];
        if (reply.error != kOk)
            return Fail(static_cast<Error>(reply.error));
        return Succeed();
    }

    bool Query(Status& status) override
    {
        if (!(m_access & kQueryStatus))
            return Fail(kAccessDenied);
        status = EffectiveStatus(m_db->dir, m_stem);
        return Succeed();
    }

    bool QueryConfig(Config& config) override
    {
        if (!(m_access & kQueryConfig))
            return Fail(kAccessDenied);
        Registration reg;
        if (!ReadRegistration(m_db->Path(m_stem, ".service"), reg))
            return Fail(kServiceDoesNotExist);
        config = reg.config;
        config.access = m_access;
        return Succeed();
    }

    bool Delete() override
    {
        if (!(m_access & kDelete))
            return Fail(kAccessDenied);
        DatabaseLock lock(m_db->fd);
        const std::string path = m_db->Path(m_stem, ".service");
        Registration reg;
        if (!ReadRegistration(path, reg))
            return Fail(kServiceDoesNotExist);
        if (reg.deletePending)
            return Fail(kServiceMarkedForDelete);
        if (EffectiveStatus(m_db->dir, m_stem).state == kStopped) {
            RemoveServiceFiles(m_db->dir, m_stem);
            return Succeed();
        }
        // Running: the dispatcher (or the next look at the database) removes it once stopped.
        reg.deletePending = true;
        if (!files::ReplaceAtomically(path, FormatRegistration(reg)))
            return Fail(kIoError);
        return Succeed();
    }

    void SetControlTimeout(int milliseconds) override { m_controlTimeoutMs = std::max(0, milliseconds); }

private:
    std::shared_ptr<Database> m_db;
    std::string m_name;
    std::string m_stem;
    uint32_t m_access;
    int m_controlTimeoutMs = kDefaultControlTimeoutMs;
};

class CDirManager final : public Manager {
public:
    CDirManager(std::shared_ptr<Database> db, uint32_t access) : m_db(std::move(db)), m_access(access) {}

    std::unique_ptr<Service> Open(const std::string& name, uint32_t access) override
    {
        if (!(m_access & kManagerConnect)) {
            Fail(kAccessDenied);
            return nullptr;
        }
        if (!ValidName(name)) {
            Fail(kInvalidName);
            return nullptr;
        }
        const std::string stem = Stem(name);
        Registration reg;
        {
            DatabaseLock lock(m_db->fd);
            if (ReapIfDeleted(m_db->dir, stem) || !ReadRegistration(m_db->Path(stem, ".service"), reg)) {
                Fail(kServiceDoesNotExist);
                return nullptr;
            }
        }
        Succeed();
        return std::make_unique<CDirService>(m_db, reg.config.name, access);
    }

    std::unique_ptr<Service> Create(const Config& config) override
    {
        if (!(m_access & kManagerCreateService)) {
            Fail(kAccessDenied);
            return nullptr;
        }
        if (!ValidName(config.name)) {
            Fail(kInvalidName);
            return nullptr;
        }
        uint32_t baseType = config.type & ~0x100u;  // the "interactive" bit is accepted and kept
        if (config.binaryPath.empty() || config.binaryPath.find('\0') != std::string::npos ||
            config.displayName.size() > kMaxDisplayNameLength ||
            config.displayName.find('\0') != std::string::npos ||
            (baseType != kOwnProcess && baseType != kShareProcess) || config.startType > kDisabled ||
            config.errorControl > kErrorCritical) {
            Fail(kInvalidParameter);
            return nullptr;
        }
        const std::string stem = Stem(config.name);
        const std::string path = m_db->Path(stem, ".service");
        {
            DatabaseLock lock(m_db->fd);
            ReapIfDeleted(m_db->dir, stem);
            Registration existing;
            if (ReadRegistration(path, existing)) {
                Fail(existing.deletePending ? kServiceMarkedForDelete : kServiceExists);
                return nullptr;
            }
            Registration reg;
            reg.config = config;
            if (reg.config.displayName.empty())
                reg.config.displayName = config.name;
            if (!files::ReplaceAtomically(path, FormatRegistration(reg))) {
                Fail(kIoError);
                return nullptr;
            }
            // A status left by an earlier registration of that name must not show through.
            if (EffectiveStatus(m_db->dir, stem).state == kStopped)
                ::unlink(m_db->Path(stem, ".status").c_str());
        }
        Succeed();
        return std::make_unique<CDirService>(m_db, config.name, config.access);
    }

    std::string Location() const override { return m_db->dir; }

private:
    std::shared_ptr<Database> m_db;
    uint32_t m_access;
};

// ---------------------------------------------------------------- service side

struct DispatcherState {
    std::mutex mutex;
    bool active = false;
    bool systemd = false;      // started by systemd: reports go to notifySocket, no control socket
    std::string notifySocket;
    std::string name;
    std::string stem;
    std::string dir;
    int dirFd = -1;
    uint64_t startTime = 0;

    int listenFd = -1;
    std::string socketPath;
    dev_t socketDev = 0;
    ino_t socketIno = 0;
    bool socketLinked = false;

    CtrlHandler handler;
    bool hasHandler = false;
    Status status;
    bool stopReported = false;
    // Controls wait until the service has reported something past kStartPending: before that,
    // the handler might run before ServiceMain has even stored its status handle.
    bool accepting = false;
    bool mainEnded = false;
    int wake[2] = {-1, -1};
    // Descriptors held back for a process that has run out: given up to accept a control (a stop)
    // and write the status it reports. Without them accept fails at once on every poll: a spin.
    int reserve[2] = {-1, -1};
    std::chrono::steady_clock::time_point acceptPausedUntil{};

    std::vector<std::string> args;
    std::vector<char*> argv;
    StatusHandleRecord record;
};

// Never destroyed: a ServiceMain that outlives the dispatcher may still call in at exit.
DispatcherState& Dispatcher()
{
    static DispatcherState* state = new DispatcherState;
    return *state;
}

std::atomic<int> g_sigtermWrite{-1};  // lock-free, so safe to read in the signal handler

void OnSigterm(int)
{
    int saved = errno;
    char c = 't';
    int fd = g_sigtermWrite.load();
    if (fd >= 0)
        (void)!::write(fd, &c, 1);
    errno = saved;
}

void WakeLocked(DispatcherState& d)
{
    if (d.wake[1] >= 0) {
        char c = 'w';
        (void)!::write(d.wake[1], &c, 1);
    }
}

void Drain(int fd)
{
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

// Removes the socket's name, unless a newer instance has already put its own in its place.
void UnlinkSocketLocked(DispatcherState& d)
{
    if (!d.socketLinked)
        return;
    struct stat st;
    if (::stat(d.socketPath.c_str(), &st) == 0 && st.st_dev == d.socketDev && st.st_ino == d.socketIno)
        ::unlink(d.socketPath.c_str());
    d.socketLinked = false;
}

// What systemd is told for each reported state.
std::string NotifyMessage(uint32_t state)
{
    switch (state) {
    case kStartPending: return "STATUS=Starting";
    case kRunning: return "READY=1\nSTATUS=Running";
    case kStopPending: return "STOPPING=1\nSTATUS=Stopping";
    case kStopped: return "STOPPING=1\nSTATUS=Stopped";
    case kPaused: return "STATUS=Paused";
    default: return "STATUS=Changing state";
    }
}

bool WriteStatusLocked(DispatcherState& d, const Status& status)
{
    bool written;
    if (d.systemd) {
        written = systemd::Notify(d.notifySocket, NotifyMessage(status.state));
    } else {
        if (status.state == kStopped)
            UnlinkSocketLocked(d);  // before kStopped is visible, so that a restart can bind afresh
        StatusRecord rec;
        rec.status = status;
        rec.status.processId = 0;
        rec.pid = static_cast<uint32_t>(::getpid());
        rec.startTime = d.startTime;
        written = files::ReplaceAtomically(d.dir + "/" + d.stem + ".status", FormatStatus(rec));
    }
    if (written) {
        d.status = status;
        if (status.state != kStartPending && !d.accepting) {
            d.accepting = true;
            WakeLocked(d);
        }
    }
    if (status.state == kStopped) {
        // Even when the file could not be written the service is done: once the process has
        // gone, readers see it stopped.
        d.status = status;
        d.stopReported = true;
        WakeLocked(d);
    }
    return written;
}

void KeepReserve(DispatcherState& d)
{
    for (int& fd : d.reserve) {
        if (fd < 0)
            fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void ReleaseReserve(DispatcherState& d)
{
    for (int& fd : d.reserve) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void ServeAcceptedRequest(DispatcherState& d, int conn);

void ServeOneRequest(DispatcherState& d)
{
    int conn = ::accept4(d.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0 && (errno == EMFILE || errno == ENFILE)) {
        ReleaseReserve(d);
        conn = ::accept4(d.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0 && (errno == EMFILE || errno == ENFILE)) {
            // Still none: wait a little before trying again (signals and wake-ups still come).
            d.acceptPausedUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        }
    }
    if (conn >= 0)
        ServeAcceptedRequest(d, conn);
    KeepReserve(d);
}

void ServeAcceptedRequest(DispatcherState& d, int conn)
{
    Reply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.magic = kMagic;
    ucred cred;
    socklen_t credLength = sizeof cred;
    bool allowed = ::getsockopt(conn, SOL_SOCKET, SO_PEERCRED, &cred, &credLength) == 0 &&
                   (cred.uid == 0 || cred.uid == ::geteuid());
    timeval tv{kRequestReadTimeoutMs / 1000, (kRequestReadTimeoutMs % 1000) * 1000};
    ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Request req;
    ssize_t n;
    while ((n = ::recv(conn, &req, sizeof req, 0)) < 0 && errno == EINTR) {
    }
    if (n != static_cast<ssize_t>(sizeof req) || req.magic != kMagic) {
        ::close(conn);
        return;
    }
    CtrlHandler handler;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (!allowed)
            reply.error = kAccessDenied;
        else if (d.stopReported)
            reply.error = kServiceNotActive;
        else if (!d.hasHandler || !d.accepting)
            reply.error = kServiceCannotAcceptCtrl;
        else
            handler = d.handler;
    }
    // The handler runs on this (the dispatcher's) thread, without our lock: it reports through
    // SetStatus.
    if (handler)
        handler(req.control);
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        const Status& s = d.status;
        uint32_t values[8] = {s.type,       s.state,    s.controlsAccepted, s.win32ExitCode, s.serviceExitCode,
                              s.checkPoint, s.waitHint, static_cast<uint32_t>(::getpid())};
        std::memcpy(reply.status, values, sizeof values);
    }
    ::send(conn, &reply, sizeof reply, MSG_NOSIGNAL);
    ::close(conn);
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Sets up the control socket and pipes. Caller holds the dispatcher lock.
bool OpenDispatcherLocked(DispatcherState& d, int sigterm[2])
{
    if (d.systemd) {
        // Controls come as signals from systemd; only the pipes are needed.
        if (::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(sigterm, O_CLOEXEC | O_NONBLOCK) != 0)
            return Fail(kIoError);
        return true;
    }
    d.dirFd = ::open(d.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (d.dirFd < 0)
        return Fail(kFailedServiceControllerConnect);
    if (::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0 || ::pipe2(sigterm, O_CLOEXEC | O_NONBLOCK) != 0)
        return Fail(kIoError);
    d.listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr;
    socklen_t length = 0;
    if (d.listenFd < 0 || !ControlAddress(d.dir, d.dirFd, d.stem, addr, length))
        return Fail(kIoError);
    d.socketPath = addr.sun_path;
    ::unlink(d.socketPath.c_str());  // left by an instance that did not get to clean up
    if (::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), length) != 0)
        return Fail(kIoError);
    ::chmod(d.socketPath.c_str(), 0600);
    struct stat st;
    if (::stat(d.socketPath.c_str(), &st) == 0) {
        d.socketDev = st.st_dev;
        d.socketIno = st.st_ino;
        d.socketLinked = true;
    }
    if (::listen(d.listenFd, 16) != 0)
        return Fail(kIoError);
    KeepReserve(d);
    return true;
}

void CloseDispatcherLocked(DispatcherState& d, int sigterm[2])
{
    UnlinkSocketLocked(d);
    ReleaseReserve(d);
    CloseFd(d.listenFd);
    CloseFd(d.wake[0]);
    CloseFd(d.wake[1]);
    CloseFd(sigterm[0]);
    CloseFd(sigterm[1]);
    CloseFd(d.dirFd);
}

// The backend in use, chosen here and nowhere else: a database directory named in the environment
// always wins (the tests rely on it); then an explicit choice; then systemd when it runs as init.
enum class Backend { kDirectory, kSystemd };

Backend ActiveBackend()
{
    const char* dir = std::getenv(kEnvDir);
    if (dir && *dir)
        return Backend::kDirectory;
    const char* chosen = std::getenv(kEnvBackend);
    if (chosen && std::strcmp(chosen, "systemd") == 0)
        return Backend::kSystemd;
    if (chosen && std::strcmp(chosen, "directory") == 0)
        return Backend::kDirectory;
    return systemd::Booted() ? Backend::kSystemd : Backend::kDirectory;
}

}  // namespace

namespace detail {
bool SetLastError(Error error)
{
    t_lastError = error;
    return error == kOk;
}
}  // namespace detail

Error LastError()
{
    return t_lastError;
}

std::string DatabaseDirectory()
{
    const char* dir = std::getenv(kEnvDir);
    if (dir && *dir)
        return dir;
    if (::geteuid() == 0)
        return "/var/lib/morvane/services";
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/morvane/services";
    const char* home = std::getenv("HOME");
    std::string homeDir = home && *home ? home : "";
    if (homeDir.empty()) {
        if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir)
            homeDir = pw->pw_dir;
    }
    if (homeDir.empty())
        return {};
    return homeDir + "/.local/state/morvane/services";
}

std::unique_ptr<Manager> OpenManager(uint32_t access)
{
    if (ActiveBackend() == Backend::kSystemd)
        return systemd::OpenManager(access);
    std::string dir = DatabaseDirectory();
    if (dir.empty() || !MakeDirectories(dir)) {
        Fail(kAccessDenied);
        return nullptr;
    }
    char resolved[PATH_MAX];
    if (!::realpath(dir.c_str(), resolved) || ::access(resolved, W_OK | X_OK) != 0) {
        Fail(kAccessDenied);
        return nullptr;
    }
    auto db = std::make_shared<Database>();
    db->dir = resolved;
    db->fd = ::open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (db->fd < 0) {
        Fail(kAccessDenied);
        return nullptr;
    }
    Succeed();
    return std::make_unique<CDirManager>(std::move(db), access);
}

bool RunDispatcher(const std::string& name, ServiceMainFn serviceMain)
{
    // Started as the service means: our unit (or our starter) named this service, and the manager
    // that started it left its way back (the database directory, or systemd's notify socket).
    const bool underSystemd = ActiveBackend() == Backend::kSystemd;
    const char* service = std::getenv(kEnvService);
    const char* dir = underSystemd ? std::getenv(kEnvNotifySocket) : std::getenv(kEnvDir);
    if (!service || !dir || !*dir || !serviceMain || !SameName(service, name))
        return Fail(kFailedServiceControllerConnect);

    DispatcherState& d = Dispatcher();
    int sigterm[2] = {-1, -1};
    struct sigaction previous;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.active || d.stopReported)
            return Fail(kServiceAlreadyRunning);  // one dispatcher per process lifetime
        d.name = service;
        d.stem = Stem(service);
        d.systemd = underSystemd;
        d.notifySocket = underSystemd ? dir : "";
        d.dir = underSystemd ? "" : dir;
        d.startTime = OwnStartTime();
        d.argv.clear();
        if (!DecodeArgs(std::getenv(kEnvArgs), d.args))
            d.args.clear();
        d.args.insert(d.args.begin(), d.name);
        for (std::string& a : d.args)
            d.argv.push_back(a.data());
        d.argv.push_back(nullptr);
        if (!OpenDispatcherLocked(d, sigterm)) {
            Error error = t_lastError;
            CloseDispatcherLocked(d, sigterm);
            return Fail(error);
        }
        // Processes the service starts are not themselves "started as this service".
        ::unsetenv(kEnvService);
        ::unsetenv(kEnvArgs);
        if (underSystemd)
            ::unsetenv(kEnvNotifySocket);
        g_sigtermWrite = sigterm[1];
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = OnSigterm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &action, &previous);
        d.active = true;
    }

    std::thread mainThread([&d, serviceMain = std::move(serviceMain)] {
        serviceMain(static_cast<int>(d.argv.size() - 1), d.argv.data());
        std::lock_guard<std::mutex> lock(d.mutex);
        d.mainEnded = true;
        WakeLocked(d);
    });

    bool stopRequested = false;  // by SIGTERM, maybe before a handler was registered
    for (;;) {
        CtrlHandler deliver;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            if (d.stopReported)
                break;
            if (d.mainEnded && !d.hasHandler) {
                // ServiceMain gave up before it could take controls: nothing can stop it later.
                Status stopped = d.status;
                stopped.state = kStopped;
                WriteStatusLocked(d, stopped);
                break;
            }
            if (stopRequested && d.hasHandler && (d.accepting || d.mainEnded)) {
                deliver = d.handler;
                stopRequested = false;
            }
        }
        if (deliver) {
            deliver(kStop);
            continue;
        }
        // While out of descriptors the control socket is left alone for a moment (poll ignores -1).
        int timeoutMs = -1;
        const auto now = std::chrono::steady_clock::now();
        const bool paused = now < d.acceptPausedUntil;
        if (paused)
            timeoutMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(d.acceptPausedUntil - now).count() + 1);
        pollfd fds[3] = {{paused ? -1 : d.listenFd, POLLIN, 0}, {sigterm[0], POLLIN, 0}, {d.wake[0], POLLIN, 0}};
        if (::poll(fds, 3, timeoutMs) < 0)
            continue;
        if (fds[1].revents & POLLIN) {
            Drain(sigterm[0]);
            stopRequested = true;
        }
        if (fds[2].revents & POLLIN)
            Drain(d.wake[0]);
        if (fds[0].revents & POLLIN)
            ServeOneRequest(d);
    }

    // Give ServiceMain a moment to return after the stop; a main that hangs is left behind.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            if (d.mainEnded)
                break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{d.wake[0], POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) > 0)
            Drain(d.wake[0]);
    }
    bool ended;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        ended = d.mainEnded;
    }
    if (ended)
        mainThread.join();
    else
        mainThread.detach();

    {
        std::lock_guard<std::mutex> lock(d.mutex);
        ::sigaction(SIGTERM, &previous, nullptr);
        g_sigtermWrite = -1;
        d.active = false;
        d.hasHandler = false;
        if (d.dirFd >= 0) {
            DatabaseLock dbLock(d.dirFd);
            ReapIfDeleted(d.dir, d.stem);
        }
        CloseDispatcherLocked(d, sigterm);
    }
    return Succeed();
}

StatusHandle RegisterCtrlHandler(const std::string& name, CtrlHandler handler)
{
    DispatcherState& d = Dispatcher();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (!d.active || !handler || !SameName(name, d.name)) {
        Fail(kServiceDoesNotExist);
        return nullptr;
    }
    d.handler = std::move(handler);
    d.hasHandler = true;
    WakeLocked(d);
    Succeed();
    return &d.record;
}

bool SetStatus(StatusHandle handle, const Status& status)
{
    DispatcherState& d = Dispatcher();
    if (!handle || handle != &d.record)
        return Fail(kInvalidHandle);
    if (status.state < kStopped || status.state > kPaused)
        return Fail(kInvalidParameter);
    std::lock_guard<std::mutex> lock(d.mutex);
    // After kStopped the handle is spent: a lingering process must not overwrite the status of a
    // new instance.
    if (!d.active || d.stopReported)
        return Fail(kInvalidHandle);
    if (!WriteStatusLocked(d, status))
        return Fail(kIoError);
    return Succeed();
}

}  // namespace scm
