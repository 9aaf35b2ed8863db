// The directory backend's manager side: registrations in the database, services started as
// detached processes, controls delivered over each running service's control socket.

#include "platform/posix/scm_directory.h"

#include "platform/process.h"
#include "shared/base/files.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace scm {

namespace directory {

namespace {

using detail::Fail;
using detail::Succeed;

constexpr size_t kMaxDisplayNameLength = 256;
constexpr off_t kMaxLogBytes = 1 << 20;
constexpr int kDefaultControlTimeoutMs = 30000;

void RotateLog(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && st.st_size > kMaxLogBytes)
        ::rename(path.c_str(), (path + ".1").c_str());
}

// Spawns the service program detached. Caller holds the database lock.
bool SpawnService(const Database& db, const std::string& stem, const Registration& reg,
                  const std::vector<std::string>& args)
{
    platform::DetachedProgram program;
    program.path = reg.config.binaryPath;
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string_view entry(*e);
        if (entry.starts_with("MORVANE_SCM_SERVICE=") || entry.starts_with("MORVANE_SCM_DIR=") ||
            entry.starts_with("MORVANE_SCM_ARGS="))
            continue;
        env.emplace_back(entry);
    }
    env.push_back(std::string(kEnvService) + "=" + reg.config.name);
    env.push_back(std::string(kEnvDir) + "=" + db.dir);
    env.push_back(std::string(kEnvArgs) + "=" + EncodeArgs(args));
    program.environment = std::move(env);
    program.outputPath = db.Path(stem, ".log");
    program.workDir.assign(1, '/');  // not = "/": a false -Wrestrict from g++ 12 at -O3
    RotateLog(program.outputPath);

    // Record the process before it may run: its own reports must come after this one, never be
    // overwritten by it.
    StatusRecord rec;
    rec.status.state = kStartPending;
    const std::string statusPath = db.Path(stem, ".status");
    auto record = [&](int pid) {
        rec.pid = static_cast<uint32_t>(pid);
        char state = '?';
        platform::ReadProcStat(pid, state, rec.startTime);
        return files::ReplaceAtomically(statusPath, FormatStatus(rec));
    };
    int execError = 0;
    if (platform::StartDetached(program, record, &execError) != 0)
        return Succeed();
    if (execError == 0)
        return Fail(kIoError);

    rec.status.state = kStopped;
    rec.status.win32ExitCode = execError == EACCES ? kAccessDenied : kFileNotFound;
    rec.pid = 0;
    rec.startTime = 0;
    files::ReplaceAtomically(statusPath, FormatStatus(rec));
    return Fail(execError == EACCES ? kAccessDenied : kFileNotFound);
}

// ---------------------------------------------------------------- manager side

class CDirService final : public detail::ServiceBackend {
public:
    CDirService(std::shared_ptr<Database> db, std::string name)
        : m_db(std::move(db)), m_name(std::move(name)), m_stem(Stem(m_name))
    {}

    const std::string& Name() const override { return m_name; }

    bool Start(const std::vector<std::string>& args) override
    {
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
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
        status = EffectiveStatus(m_db->dir, m_stem);
        return Succeed();
    }

    bool QueryConfig(Config& config) override
    {
        Registration reg;
        if (!ReadRegistration(m_db->Path(m_stem, ".service"), reg))
            return Fail(kServiceDoesNotExist);
        config = reg.config;
        return Succeed();
    }

    bool Delete() override
    {
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
    int m_controlTimeoutMs = kDefaultControlTimeoutMs;
};

class CDirManager final : public detail::ManagerBackend {
public:
    explicit CDirManager(std::shared_ptr<Database> db) : m_db(std::move(db)) {}

    std::unique_ptr<detail::ServiceBackend> Open(const std::string& name) override
    {
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
        return std::make_unique<CDirService>(m_db, reg.config.name);
    }

    std::unique_ptr<detail::ServiceBackend> Create(const Config& config) override
    {
        if (!ValidName(config.name)) {
            Fail(kInvalidName);
            return nullptr;
        }
        uint32_t baseType = config.type & ~0x100u;  // the "interactive" bit is accepted and kept
        if (config.binaryPath.empty() || config.binaryPath.find('\0') != std::string::npos ||
            config.displayName.size() > kMaxDisplayNameLength || config.displayName.find('\0') != std::string::npos ||
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
        return std::make_unique<CDirService>(m_db, config.name);
    }

    std::string Location() const override { return m_db->dir; }

private:
    std::shared_ptr<Database> m_db;
};

}  // namespace

std::unique_ptr<detail::ManagerBackend> OpenManager()
{
    std::string dir = DatabaseDirectory();
    if (dir.empty() || !files::MakeDirectories(dir)) {
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
    db->fd = ::open(resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Registrations name programs that get started, as root when root reads them: a directory
    // anybody else owns or may write to could plant one, so it is not used at all.
    struct stat st;
    if (db->fd < 0 || ::fstat(db->fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        Fail(kAccessDenied);
        return nullptr;
    }
    Succeed();
    return std::make_unique<CDirManager>(std::move(db));
}

}  // namespace directory

std::string DatabaseDirectory()
{
    const char* dir = std::getenv(directory::kEnvDir);
    if (dir && *dir)
        return dir;
    if (::geteuid() == 0)
        return "/var/lib/morvane-services";  // root's own, never inside the shared data directory
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

}  // namespace scm
