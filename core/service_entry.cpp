#include "core/service_entry.h"

#include "core/provider/https.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/manager.h"
#include "platform/process.h"
#include "platform/program.h"
#include "platform/scm.h"

namespace {

// How long the stop handler waits for the worker. A web-service call in progress is cut by the stop
// and ends within its overall deadline in any case; beyond this the stop is reported anyway.
constexpr std::chrono::milliseconds kStopWait(75000);

scm::StatusHandle g_statusHandle = nullptr;

CMorvaneManger& Manager()
{
    // Never destroyed: a worker that outlived the stop wait must not find its object gone.
    static CMorvaneManger* manager = new CMorvaneManger();
    return *manager;
}

bool ReportStatus(uint32_t state)
{
    if (!g_statusHandle)
        return false;
    scm::Status status;
    status.type = scm::kOwnProcess;
    status.state = state;
    status.controlsAccepted = scm::kAcceptStop;
    return scm::SetStatus(g_statusHandle, status);
}

void ServiceCtrlHandler(uint32_t control)
{
    if (control != scm::kStop)
        return;  // pause, continue, interrogate: nothing to do, nothing to report
    CMorvaneManger& manager = Manager();
    JournalPrint(kJournalInfo, "stop requested");
    manager.RequestStop();
    if (manager.ThreadStarted() && !manager.WaitThread(kStopWait))
        JournalPrint(kJournalError, "worker did not stop within %lld s",
                     static_cast<long long>(kStopWait.count() / 1000));
    else
        JournalPrint(kJournalInfo, "service stopped");
    ReportStatus(scm::kStopped);
}

void ServiceMain(int, char**)
{
    g_statusHandle = scm::RegisterCtrlHandler(kServiceName, &ServiceCtrlHandler);
    if (!g_statusHandle)
        return;
    ReportStatus(scm::kStartPending);
    if (!ReportStatus(scm::kRunning))
        return;
    CMorvaneManger& manager = Manager();
    if (!manager.StartManager()) {
        JournalPrint(kJournalError, "service not started (see above); idle until stopped");
        return;  // stays reported as running, idle, until stopped
    }
    manager.WaitThread();
}

}  // namespace

bool InstallService()
{
    std::unique_ptr<scm::Manager> scmManager = scm::OpenManager(scm::kManagerAllAccess);
    if (!scmManager)
        return false;
    if (scmManager->Open(kServiceName, scm::kQueryConfig))
        return false;  // already registered: leave it as it is
    scm::Config config;
    config.name = kServiceName;
    config.displayName = kServiceName;
    config.binaryPath = platform::ProgramPath();
    config.access = scm::kServiceAllAccess;
    config.type = scm::kOwnProcess;
    config.startType = scm::kAutoStart;
    config.errorControl = scm::kErrorIgnore;
    return scmManager->Create(config) != nullptr;
}

bool RemoveService()
{
    std::unique_ptr<scm::Manager> scmManager = scm::OpenManager(scm::kManagerAllAccess);
    if (!scmManager)
        return false;
    std::unique_ptr<scm::Service> service = scmManager->Open(kServiceName, scm::kDelete | scm::kStopAccess);
    if (!service)
        return false;
    service->SetControlTimeout(0);  // ask, do not wait
    scm::Status status;
    service->Control(scm::kStop, status);
    return service->Delete();
}

int ServiceProgramMain(int argc, char** argv)
{
    // A client that goes away mid-send must not take the service with it.
    platform::IgnoreBrokenPipe();
    if (argc >= 2 && std::strcmp(argv[1], kHttpsHelperArgument) == 0)
        return HttpsHelperMain();
    if (argc < 2) {
        // The running program itself, also after a package upgrade replaced the file.
        UseHttpsHelper("/proc/self/exe");
        scm::RunDispatcher(kServiceName, &ServiceMain);
        // A worker still busy past the stop wait must not run into the exit's destructors.
        if (Manager().ThreadRunning()) {
            std::fflush(nullptr);
            _exit(0);
        }
    } else if (std::strcmp(argv[1], "-i") == 0) {
        InstallService();
    } else if (std::strcmp(argv[1], "-r") == 0) {
        RemoveService();
    }
    return 0;
}
