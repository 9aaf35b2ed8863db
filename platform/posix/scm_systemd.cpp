// Service control through systemd.
//
// A service "NAME" is the unit "name.service". Create writes the unit into the unit directory
// ($MORVANE_SYSTEMD_UNIT_DIR, else /etc/systemd/system for root and ~/.config/systemd/user for
// other users), reloads the manager and enables it for automatic start. Start, stop and queries go
// through systemctl ($MORVANE_SYSTEMCTL, else the system's). The unit is Type=notify: the service's
// dispatcher reports readiness and stopping on $NOTIFY_SOCKET, and SIGTERM is its stop control.

#include "platform/posix/scm_systemd.h"

#include "shared/base/files.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

extern char** environ;

namespace scm::systemd {
namespace {

using detail::SetLastError;

constexpr const char* kEnvSystemctl = "MORVANE_SYSTEMCTL";
constexpr const char* kEnvUnitDir = "MORVANE_SYSTEMD_UNIT_DIR";
constexpr int kDefaultControlTimeoutMs = 30000;
constexpr int kPollIntervalMs = 50;

struct Context {
    std::string systemctl;
    std::string unitDir;  // where this manager writes units
    bool userScope = false;
};

// ---------------------------------------------------------------- running systemctl

struct RunResult {
    int exitCode = -1;  // -1: could not run, or killed
    std::string out;
    std::string err;
};

RunResult RunSystemctl(const Context& ctx, bool userScope, const std::vector<std::string>& args)
{
    RunResult result;
    std::vector<std::string> argvStrings = {ctx.systemctl};
    if (userScope)
        argvStrings.push_back("--user");
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argvStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(outPipe[0]);
        ::close(outPipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    pid_t pid = 0;
    int spawned = ::posix_spawn(&pid, ctx.systemctl.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        return result;
    }
    // Both streams at once: a child blocked on a full stderr pipe would never finish stdout.
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0)
            ::close(p.fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return result;
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    return result;
}

bool Contains(const std::string& text, const char* what)
{
    return text.find(what) != std::string::npos;
}

// Why systemctl refused, as the caller's error.
Error ErrorFromRun(const RunResult& run, Error otherwise)
{
    if (run.exitCode < 0)
        return kFailedServiceControllerConnect;
    if (Contains(run.err, "Access denied") || Contains(run.err, "authentication required") ||
        Contains(run.err, "Permission denied"))
        return kAccessDenied;
    if (Contains(run.err, "not found") || Contains(run.err, "not loaded"))
        return kServiceDoesNotExist;
    if (Contains(run.err, "masked"))
        return kServiceDisabled;
    if (Contains(run.err, "Failed to connect to bus") || Contains(run.err, "System has not been booted"))
        return kFailedServiceControllerConnect;
    return otherwise;
}

// ---------------------------------------------------------------- unit state

using Properties = std::map<std::string, std::string, std::less<>>;

constexpr const char* kProperties =
    "--property=LoadState,ActiveState,SubState,MainPID,ExecMainStatus,Result,UnitFileState,FragmentPath,Description";

bool Show(const Context& ctx, bool userScope, const std::string& unit, Properties& out)
{
    out.clear();
    RunResult run = RunSystemctl(ctx, userScope, {"show", kProperties, "--", unit});
    if (run.exitCode != 0) {
        SetLastError(ErrorFromRun(run, kFailedServiceControllerConnect));
        return false;
    }
    size_t pos = 0;
    while (pos < run.out.size()) {
        size_t end = run.out.find('\n', pos);
        if (end == std::string::npos)
            end = run.out.size();
        std::string_view line(run.out.data() + pos, end - pos);
        pos = end + 1;
        size_t eq = line.find('=');
        if (eq != std::string_view::npos)
            out[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    return true;
}

std::string Get(const Properties& p, std::string_view key)
{
    auto it = p.find(key);
    return it == p.end() ? std::string() : it->second;
}

bool Loaded(const Properties& p)
{
    std::string load = Get(p, "LoadState");
    // A unit whose file was removed while it ran still shows as "not-found" but active.
    return !load.empty() && load != "not-found";
}

bool Masked(const Properties& p)
{
    return Get(p, "LoadState") == "masked" || Get(p, "UnitFileState").starts_with("masked");
}

uint32_t ParseU32(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(value);
}

Status StatusFrom(const Properties& p)
{
    Status status;
    std::string active = Get(p, "ActiveState");
    if (active == "active" || active == "reloading")
        status.state = kRunning;
    else if (active == "activating")
        status.state = kStartPending;
    else if (active == "deactivating")
        status.state = kStopPending;
    else
        status.state = kStopped;
    if (status.state != kStopped)
        status.processId = ParseU32(Get(p, "MainPID"));
    std::string result = Get(p, "Result");
    if (status.state == kStopped && !result.empty() && result != "success") {
        // 203 is systemd's "could not execute the program".
        status.win32ExitCode = Get(p, "ExecMainStatus") == "203" ? kFileNotFound : kProcessAborted;
        status.serviceExitCode = ParseU32(Get(p, "ExecMainStatus"));
    }
    return status;
}

// ---------------------------------------------------------------- paths

std::string UserConfigHome()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return config;
    const char* home = std::getenv("HOME");
    if (home && *home)
        return std::string(home) + "/.config";
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir)
        return std::string(pw->pw_dir) + "/.config";
    return {};
}

std::string FindSystemctl()
{
    const char* configured = std::getenv(kEnvSystemctl);
    if (configured && *configured)
        return ::access(configured, X_OK) == 0 ? configured : "";
    for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"}) {
        if (::access(candidate, X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string Resolved(const std::string& path)
{
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

// ---------------------------------------------------------------- unit text

bool HasControlCharacter(std::string_view text)
{
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

// A path as one quoted word of a command line: quotes and backslashes escaped, and the
// specifier and variable signs doubled so that systemd takes them literally.
std::string QuoteCommandWord(const std::string& path)
{
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out += '\\';
        else if (c == '%' || c == '$')
            out += c;
        out += c;
    }
    out += '"';
    return out;
}

std::string EscapeSpecifiers(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '%')
            out += '%';
        out += c;
    }
    return out;
}

std::shared_ptr<Context> MakeContext()
{
    auto ctx = std::make_shared<Context>();
    ctx->systemctl = FindSystemctl();
    ctx->userScope = ::geteuid() != 0;
    const char* unitDir = std::getenv(kEnvUnitDir);
    if (unitDir && *unitDir)
        ctx->unitDir = unitDir;
    else if (!ctx->userScope)
        ctx->unitDir = "/etc/systemd/system";
    else if (std::string config = UserConfigHome(); !config.empty())
        ctx->unitDir = config + "/systemd/user";
    return ctx;
}

// ---------------------------------------------------------------- handles

class CSystemdService final : public detail::ServiceBackend {
public:
    CSystemdService(std::shared_ptr<Context> ctx, bool userScope, std::string name)
        : m_ctx(std::move(ctx)), m_user(userScope), m_name(std::move(name)), m_unit(UnitName(m_name))
    {}

    const std::string& Name() const override { return m_name; }

    // systemd starts the program as the unit says: start arguments cannot reach it and are ignored.
    bool Start(const std::vector<std::string>&) override
    {
        Properties p;
        if (!Show(*m_ctx, m_user, m_unit, p))
            return false;
        if (!Loaded(p))
            return SetLastError(kServiceDoesNotExist);
        if (Masked(p))
            return SetLastError(kServiceDisabled);
        if (StatusFrom(p).state != kStopped)
            return SetLastError(kServiceAlreadyRunning);
        // Waits for the job: with Type=notify that is the service's readiness report, or its failure.
        RunResult run = RunSystemctl(*m_ctx, m_user, {"start", "--", m_unit});
        if (run.exitCode == 0)
            return SetLastError(kOk);
        Error error = ErrorFromRun(run, kProcessAborted);
        if (error == kProcessAborted && Show(*m_ctx, m_user, m_unit, p) && StatusFrom(p).win32ExitCode == kFileNotFound)
            error = kFileNotFound;
        return SetLastError(error);
    }

    bool Control(uint32_t code, Status& status) override
    {
        Properties p;
        if (!Show(*m_ctx, m_user, m_unit, p))
            return false;
        status = StatusFrom(p);
        if (status.state == kStopped)
            return SetLastError(kServiceNotActive);
        if (code == kInterrogate)
            return SetLastError(kOk);
        if (code != kStop)
            return SetLastError(kInvalidServiceControl);  // the service accepts stop only

        // Queue the stop and watch for its end ourselves, so that the wait has our time-out.
        RunResult run = RunSystemctl(*m_ctx, m_user, {"stop", "--no-block", "--", m_unit});
        if (run.exitCode != 0)
            return SetLastError(ErrorFromRun(run, kServiceCannotAcceptCtrl));
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_controlTimeoutMs);
        for (;;) {
            if (!Show(*m_ctx, m_user, m_unit, p))
                return false;
            status = StatusFrom(p);
            if (status.state == kStopped)
                return SetLastError(kOk);
            if (std::chrono::steady_clock::now() >= deadline)
                return SetLastError(kServiceRequestTimeout);
            std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        }
    }

    bool Query(Status& status) override
    {
        Properties p;
        if (!Show(*m_ctx, m_user, m_unit, p))
            return false;
        status = StatusFrom(p);
        return SetLastError(kOk);
    }

    bool QueryConfig(Config& config) override
    {
        Properties p;
        if (!Show(*m_ctx, m_user, m_unit, p))
            return false;
        std::string text;
        if (!Loaded(p) || !files::ReadAll(Get(p, "FragmentPath"), text))
            return SetLastError(kServiceDoesNotExist);
        Config c;
        c.name = m_name;
        c.displayName = Get(p, "Description");
        c.binaryPath = UnitExecPath(text);
        c.type = kOwnProcess;
        std::string enabled = Get(p, "UnitFileState");
        if (Masked(p))
            c.startType = kDisabled;
        else if (enabled.starts_with("enabled") || enabled == "linked")
            c.startType = kAutoStart;
        else
            c.startType = kDemandStart;
        c.errorControl = kErrorIgnore;
        config = std::move(c);
        return SetLastError(kOk);
    }

    // Removes a unit this layer wrote. A unit from elsewhere (a package's) is not ours to delete.
    bool Delete() override
    {
        Properties p;
        if (!Show(*m_ctx, m_user, m_unit, p))
            return false;
        if (!Loaded(p))
            return SetLastError(kServiceDoesNotExist);
        std::string fragment = Get(p, "FragmentPath");
        std::string ownDir = Resolved(m_ctx->unitDir);
        if (m_user != m_ctx->userScope || ownDir.empty() || files::DirName(Resolved(fragment)) != ownDir)
            return SetLastError(kAccessDenied);
        RunSystemctl(*m_ctx, m_user, {"disable", "--", m_unit});
        if (::unlink(fragment.c_str()) != 0 && errno != ENOENT)
            return SetLastError(errno == EACCES || errno == EPERM ? kAccessDenied : kIoError);
        // A running service keeps running until stopped, as a deleted registration does.
        RunSystemctl(*m_ctx, m_user, {"daemon-reload"});
        return SetLastError(kOk);
    }

    void SetControlTimeout(int milliseconds) override { m_controlTimeoutMs = std::max(0, milliseconds); }

private:
    std::shared_ptr<Context> m_ctx;
    bool m_user;
    std::string m_name;
    std::string m_unit;
    int m_controlTimeoutMs = kDefaultControlTimeoutMs;
};

class CSystemdManager final : public detail::ManagerBackend {
public:
    explicit CSystemdManager(std::shared_ptr<Context> ctx) : m_ctx(std::move(ctx)) {}

    std::unique_ptr<detail::ServiceBackend> Open(const std::string& name) override
    {
        std::string unit = UnitName(name);
        if (unit.empty()) {
            SetLastError(kInvalidName);
            return nullptr;
        }
        // The system's unit (installed by the package) first, then a user's own.
        Properties p;
        if (!Show(*m_ctx, false, unit, p))
            return nullptr;
        if (Loaded(p)) {
            SetLastError(kOk);
            return std::make_unique<CSystemdService>(m_ctx, false, name);
        }
        // A user without a running user instance simply has no units of their own.
        if (m_ctx->userScope && Show(*m_ctx, true, unit, p) && Loaded(p)) {
            SetLastError(kOk);
            return std::make_unique<CSystemdService>(m_ctx, true, name);
        }
        SetLastError(kServiceDoesNotExist);
        return nullptr;
    }

    std::unique_ptr<detail::ServiceBackend> Create(const Config& config) override
    {
        std::string unit = UnitName(config.name);
        if (unit.empty()) {
            SetLastError(kInvalidName);
            return nullptr;
        }
        std::string text = UnitText(config, m_ctx->userScope);
        if (text.empty())
            return nullptr;
        if (Open(config.name)) {
            SetLastError(kServiceExists);
            return nullptr;
        }
        if (LastError() != kServiceDoesNotExist)
            return nullptr;
        if (m_ctx->unitDir.empty() || !files::MakeDirectories(m_ctx->unitDir)) {
            SetLastError(kAccessDenied);
            return nullptr;
        }
        const std::string path = m_ctx->unitDir + "/" + unit;
        if (files::Exists(path)) {
            // On disk but not loaded: left by an earlier run that did not get to reload. Not
            // ours to overwrite blindly either; the manager will pick it up on reload.
            SetLastError(kServiceExists);
            RunSystemctl(*m_ctx, m_ctx->userScope, {"daemon-reload"});
            return nullptr;
        }
        // systemd wants units readable by all; the mode is set on the new file itself.
        if (!files::ReplaceAtomically(path, text, 0644)) {
            SetLastError(errno == EACCES || errno == EPERM || errno == EROFS ? kAccessDenied : kIoError);
            return nullptr;
        }
        // The manager reads unit files only when told to.
        RunResult reload = RunSystemctl(*m_ctx, m_ctx->userScope, {"daemon-reload"});
        if (reload.exitCode != 0) {
            ::unlink(path.c_str());
            SetLastError(ErrorFromRun(reload, kFailedServiceControllerConnect));
            return nullptr;
        }
        if (config.startType == kAutoStart || config.startType == kBootStart || config.startType == kSystemStart) {
            RunResult enable = RunSystemctl(*m_ctx, m_ctx->userScope, {"enable", "--", unit});
            if (enable.exitCode != 0) {
                ::unlink(path.c_str());
                RunSystemctl(*m_ctx, m_ctx->userScope, {"daemon-reload"});
                SetLastError(ErrorFromRun(enable, kIoError));
                return nullptr;
            }
        } else if (config.startType == kDisabled) {
            RunSystemctl(*m_ctx, m_ctx->userScope, {"mask", "--", unit});
        }
        SetLastError(kOk);
        return std::make_unique<CSystemdService>(m_ctx, m_ctx->userScope, config.name);
    }

    std::string Location() const override
    {
        return std::string(m_ctx->userScope ? "systemd (user): " : "systemd: ") + m_ctx->unitDir;
    }

private:
    std::shared_ptr<Context> m_ctx;
};

}  // namespace

bool Booted()
{
    struct stat st;
    return ::lstat("/run/systemd/system/", &st) == 0 && S_ISDIR(st.st_mode);
}

std::unique_ptr<detail::ManagerBackend> OpenManager()
{
    std::shared_ptr<Context> ctx = MakeContext();
    if (ctx->systemctl.empty()) {
        SetLastError(kAccessDenied);
        return nullptr;
    }
    SetLastError(kOk);
    return std::make_unique<CSystemdManager>(std::move(ctx));
}

std::string UnitName(const std::string& serviceName)
{
    // Unit names allow few characters; a name outside them would need escaping that callers
    // could not predict, so it is refused.
    if (serviceName.empty() || serviceName.size() > 200)
        return {};
    std::string out;
    for (char c : serviceName) {
        if (c >= 'A' && c <= 'Z')
            out += static_cast<char>(c - 'A' + 'a');
        else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.')
            out += c;
        else
            return {};
    }
    if (out[0] == '.' || out[0] == '-')
        return {};
    return out + ".service";
}

std::string UnitText(const Config& config, bool userScope)
{
    const std::string display = config.displayName.empty() ? config.name : config.displayName;
    if (UnitName(config.name).empty() || config.binaryPath.empty() || config.binaryPath[0] != '/' ||
        HasControlCharacter(config.binaryPath) || HasControlCharacter(display)) {
        SetLastError(UnitName(config.name).empty() ? kInvalidName : kInvalidParameter);
        return {};
    }
    std::string text;
    text += "# Written by the Morvane service installer; removed with MorvaneCore -r.\n";
    text += "[Unit]\n";
    text += "Description=" + EscapeSpecifiers(display) + "\n";
    if (!userScope) {
        text += "Wants=network-online.target\n";
        text += "After=network-online.target\n";
    }
    text += "\n[Service]\n";
    text += "Type=notify\n";
    text += "ExecStart=" + QuoteCommandWord(config.binaryPath) + "\n";
    text += "Environment=MORVANE_SCM_SERVICE=" + config.name + "\n";
    // SIGTERM goes to the service alone: programs it started (the updater) are not its to end.
    text += "KillMode=process\n";
    text += "TimeoutStartSec=30\n";
    // The stop handler gives a web-service call in progress up to 75 s.
    text += "TimeoutStopSec=90\n";
    text += "\n[Install]\n";
    text += userScope ? "WantedBy=default.target\n" : "WantedBy=multi-user.target\n";
    return text;
}

std::string UnitExecPath(const std::string& unitText)
{
    size_t pos = 0;
    while (pos < unitText.size()) {
        size_t end = unitText.find('\n', pos);
        if (end == std::string::npos)
            end = unitText.size();
        std::string_view line(unitText.data() + pos, end - pos);
        pos = end + 1;
        if (!line.starts_with("ExecStart="))
            continue;
        line.remove_prefix(10);
        while (!line.empty() && (line[0] == ' ' || line[0] == '-' || line[0] == '@' || line[0] == '+' ||
                                 line[0] == '!' || line[0] == ':'))
            line.remove_prefix(1);
        std::string out;
        bool quoted = !line.empty() && line[0] == '"';
        for (size_t i = quoted ? 1 : 0; i < line.size(); ++i) {
            char c = line[i];
            if (quoted && c == '"')
                break;
            if (!quoted && c == ' ')
                break;
            if (c == '\\' && i + 1 < line.size()) {
                out += line[++i];
            } else if ((c == '%' || c == '$') && i + 1 < line.size() && line[i + 1] == c) {
                out += c;
                ++i;
            } else {
                out += c;
            }
        }
        return out;
    }
    return {};
}

bool Notify(const std::string& socket, std::string_view message)
{
    if (socket.empty() || (socket[0] != '/' && socket[0] != '@'))
        return false;
    sockaddr_un addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (socket.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, socket.data(), socket.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket.size());
    if (socket[0] == '@')
        addr.sun_path[0] = '\0';  // abstract namespace: no terminating zero counts
    else
        length += 1;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ssize_t sent;
    do {
        sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), length);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

}  // namespace scm::systemd
