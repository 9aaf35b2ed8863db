#pragma once
// Service control: the manager side (register, open, start, control, query, delete a service) and
// the service side (dispatcher, control handler, status reports).
//
// Two backends, chosen in one place: systemd when it runs as init (units written and driven through
// systemctl; the service reports over the notify socket and stops on SIGTERM), otherwise a database
// of services in a directory, where a started service is a detached child process that runs the
// dispatcher. $MORVANE_SCM_DIR selects the directory backend always; $MORVANE_SCM_BACKEND
// ("systemd" or "directory") overrides the automatic choice. See docs/service-control.md.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace scm {

enum State : uint32_t {
    kStopped = 1,
    kStartPending = 2,
    kStopPending = 3,
    kRunning = 4,
    kContinuePending = 5,
    kPausePending = 6,
    kPaused = 7,
};

enum Control : uint32_t {
    kStop = 1,
    kPause = 2,
    kContinue = 3,
    kInterrogate = 4,
    // 128..255 are free for the service's own use.
};

enum ServiceType : uint32_t { kOwnProcess = 16, kShareProcess = 32 };
enum StartType : uint32_t { kBootStart = 0, kSystemStart = 1, kAutoStart = 2, kDemandStart = 3, kDisabled = 4 };
enum ErrorControl : uint32_t { kErrorIgnore = 0, kErrorNormal = 1, kErrorSevere = 2, kErrorCritical = 3 };
enum ControlsAccepted : uint32_t { kAcceptStop = 1, kAcceptPauseContinue = 2, kAcceptShutdown = 4 };

// Rights on the manager.
enum ManagerAccess : uint32_t {
    kManagerConnect = 0x0001,
    kManagerCreateService = 0x0002,
    kManagerEnumerateService = 0x0004,
    kManagerLock = 0x0008,
    kManagerQueryLockStatus = 0x0010,
    kManagerModifyBootConfig = 0x0020,
    kManagerAllAccess = 0xF003F,
};

// Rights on a service handle.
enum ServiceAccess : uint32_t {
    kQueryConfig = 0x0001,
    kChangeConfig = 0x0002,
    kQueryStatus = 0x0004,
    kEnumerateDependents = 0x0008,
    kStart = 0x0010,
    kStopAccess = 0x0020,
    kPauseContinue = 0x0040,
    kInterrogateAccess = 0x0080,
    kUserDefinedControl = 0x0100,
    kDelete = 0x10000,
    kServiceAllAccess = 0xF01FF,
};

// Why the last call on this thread failed. The numbers are fixed: callers log and compare them.
enum Error : uint32_t {
    kOk = 0,
    kFileNotFound = 2,
    kAccessDenied = 5,
    kInvalidHandle = 6,
    kInvalidParameter = 87,
    kInvalidName = 123,
    kInvalidServiceControl = 1052,
    kServiceRequestTimeout = 1053,
    kServiceAlreadyRunning = 1056,
    kServiceDisabled = 1058,
    kServiceDoesNotExist = 1060,
    kServiceCannotAcceptCtrl = 1061,
    kServiceNotActive = 1062,
    kFailedServiceControllerConnect = 1063,
    kProcessAborted = 1067,  // exit code of a service whose process ended without reporting kStopped
    kServiceMarkedForDelete = 1072,
    kServiceExists = 1073,
    kIoError = 1117,
};

// Error of the last failed call made on the calling thread; kOk after a successful one.
Error LastError();

// The error in a few words for people ("permission denied", "the service is already running"),
// followed by its number for unknown ones.
std::string ErrorText(uint32_t error);

struct Status {
    uint32_t type = kOwnProcess;
    uint32_t state = kStopped;
    uint32_t controlsAccepted = kAcceptStop;
    uint32_t win32ExitCode = 0;
    uint32_t serviceExitCode = 0;
    uint32_t checkPoint = 0;
    uint32_t waitHint = 0;
    uint32_t processId = 0;  // filled by the manager side; 0 when not running
};

struct Config {
    std::string name;
    std::string displayName;              // empty = the name
    std::string binaryPath;               // run as is: no quoting, no arguments, may contain spaces
    uint32_t access = kServiceAllAccess;  // rights of the handle Create returns
    uint32_t type = kOwnProcess;
    uint32_t startType = kAutoStart;
    uint32_t errorControl = kErrorIgnore;
};

class Service {
public:
    virtual ~Service() = default;
    virtual const std::string& Name() const = 0;
    // Launches the service program; true once it was spawned (it has not necessarily reached the
    // running state). `args` reach ServiceMain after the service name.
    virtual bool Start(const std::vector<std::string>& args = {}) = 0;
    // Delivers `code` to the running service and waits for its handler to return; `status` gets
    // the status reported at that moment.
    virtual bool Control(uint32_t code, Status& status) = 0;
    virtual bool Query(Status& status) = 0;
    virtual bool QueryConfig(Config& config) = 0;
    // Removes the registration; a running service is marked and removed when it stops.
    virtual bool Delete() = 0;
    // How long Control waits for the service's handler (default 30 s).
    virtual void SetControlTimeout(int milliseconds) = 0;
};

class Manager {
public:
    virtual ~Manager() = default;
    virtual std::unique_ptr<Service> Open(const std::string& name, uint32_t access) = 0;
    // Fails with kServiceExists when a service of that name is registered; it stays unchanged.
    virtual std::unique_ptr<Service> Create(const Config& config) = 0;
    // Where the database lives (for messages and diagnostics).
    virtual std::string Location() const = 0;
};

// Null when the database cannot be reached with the rights asked for (kAccessDenied).
std::unique_ptr<Manager> OpenManager(uint32_t access);

// Directory of the directory backend's database: $MORVANE_SCM_DIR, else the state directory of the user
// ($XDG_STATE_HOME/morvane/services or ~/.local/state/morvane/services; /var/lib/morvane-services
// for root). A directory not owned by the caller, or writable by others, is refused.
std::string DatabaseDirectory();

// ---- service side ----

using ServiceMainFn = std::function<void(int argc, char** argv)>;
using CtrlHandler = std::function<void(uint32_t control)>;

struct StatusHandleRecord;
using StatusHandle = StatusHandleRecord*;

// Runs `serviceMain` (argv[0] = the service name, then the start arguments) on a new thread and
// serves control requests on the calling thread until the service has reported kStopped and its
// main function has returned. Returns false at once when this program was not started by the
// manager as the service `name` (kFailedServiceControllerConnect).
bool RunDispatcher(const std::string& name, ServiceMainFn serviceMain);

// Registers the handler that receives control codes, on the dispatcher's thread. Null when no
// dispatcher runs for `name`.
StatusHandle RegisterCtrlHandler(const std::string& name, CtrlHandler handler);

// Publishes the service's status. Fails for a null handle, an invalid state, or after kStopped
// was reported.
bool SetStatus(StatusHandle handle, const Status& status);

}  // namespace scm
