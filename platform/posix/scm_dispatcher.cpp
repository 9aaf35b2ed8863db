// The service side of service control, shared by both backends: runs ServiceMain, takes controls
// (from the control socket of the directory backend, or as SIGTERM from systemd) and publishes
// the status (to the database, or over systemd's notify socket).

#include "platform/posix/scm_directory.h"
#include "platform/posix/scm_systemd.h"
#include "platform/process.h"
#include "shared/base/files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace scm {

// The status handle is the address of the process's one dispatcher record.
struct StatusHandleRecord {
    int unused = 0;
};

namespace {

using detail::Fail;
using detail::Succeed;
using directory::DatabaseLock;
using directory::kEnvArgs;
using directory::kEnvDir;
using directory::kEnvService;
using directory::kMagic;
using directory::Reply;
using directory::Request;
using directory::SameName;
using directory::StatusRecord;

constexpr const char* kEnvNotifySocket = "NOTIFY_SOCKET";
// After kStopped, how long the dispatcher waits for ServiceMain to return before leaving it behind.
constexpr int kStopGraceMs = 5000;
// How long the dispatcher waits for a connected client to send its request.
constexpr int kRequestReadTimeoutMs = 2000;

uint64_t OwnStartTime()
{
    char state = '?';
    uint64_t start = 0;
    platform::ReadProcStat(::getpid(), state, start);
    return start;
}

struct DispatcherState {
    std::mutex mutex;
    bool active = false;
    bool systemd = false;  // started by systemd: reports go to notifySocket, no control socket
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
    if (::lstat(d.socketPath.c_str(), &st) == 0 && st.st_dev == d.socketDev && st.st_ino == d.socketIno)
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
        written = files::ReplaceAtomically(d.dir + "/" + d.stem + ".status", directory::FormatStatus(rec));
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
        uint32_t values[8] = {s.type,
                              s.state,
                              s.controlsAccepted,
                              s.win32ExitCode,
                              s.serviceExitCode,
                              s.checkPoint,
                              s.waitHint,
                              static_cast<uint32_t>(::getpid())};
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
    if (d.listenFd < 0 || !directory::ControlAddress(d.dir, d.dirFd, d.stem, addr, length))
        return Fail(kIoError);
    d.socketPath = addr.sun_path;
    ::unlink(d.socketPath.c_str());  // left by an instance that did not get to clean up
    if (::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), length) != 0)
        return Fail(kIoError);
    // By its name in the directory opened above, never through a link that replaced it meanwhile:
    // whatever stands there, if it is not our socket, keeps its mode.
    const std::string name = d.socketPath.substr(d.socketPath.rfind('/') + 1);
    struct stat st;
    if (::fstatat(d.dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode)) {
        ::fchmodat(d.dirFd, name.c_str(), 0600, AT_SYMLINK_NOFOLLOW);
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

}  // namespace

bool RunDispatcher(const std::string& name, ServiceMainFn serviceMain)
{
    // Started as the service means: our unit (or our starter) named this service, and the manager
    // that started it left its way back (the database directory, or systemd's notify socket).
    const bool underSystemd = detail::ActiveBackend() == detail::Backend::kSystemd;
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
        d.stem = directory::Stem(service);
        d.systemd = underSystemd;
        d.notifySocket = underSystemd ? dir : "";
        d.dir = underSystemd ? "" : dir;
        d.startTime = OwnStartTime();
        d.argv.clear();
        if (!directory::DecodeArgs(std::getenv(kEnvArgs), d.args))
            d.args.clear();
        d.args.insert(d.args.begin(), d.name);
        for (std::string& a : d.args)
            d.argv.push_back(a.data());
        d.argv.push_back(nullptr);
        if (!OpenDispatcherLocked(d, sigterm)) {
            Error error = LastError();
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
            directory::ReapIfDeleted(d.dir, d.stem);
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
