// morvanectl service ...: the service through the service control layer, and the diagnosis of a
// silent service.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "ctl/cli.h"
#include "ctl/client.h"
#include "platform/program.h"
#include "platform/scm.h"
#include "shared/base/files.h"
#include "shared/base/names.h"
#include "shared/xml/data_files.h"

namespace ctl {
namespace {

const CCtlClient* g_channel = nullptr;

}  // namespace

void SetDiagnosedChannel(const CCtlClient* client)
{
    g_channel = client;
}

// A failed service control call in words; a refusal says what would be allowed.
int ScmFailure(const Options& opt, const std::string& what, const char* action)
{
    const uint32_t error = scm::LastError();
    if (error == scm::kAccessDenied)
        return Fail(opt, kExitPermission,
                    "permission denied: " + what + "; this needs root (sudo morvanectl service " + action + ")");
    return Fail(opt, error == scm::kServiceNotActive ? kExitNotRunning : kExitFailed,
                what + ": " + scm::ErrorText(error));
}

// The group that shares the data directory ("morvane" when installed).
std::string DataGroup(const Options& opt)
{
    struct stat st;
    const group* g = ::stat(opt.dir.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
    return g && g->gr_name ? g->gr_name : "morvane";
}

// Someone outside the group cannot even look into the data directory: say that, rather than "not
// running" or "no remembered login".
int CheckDataAccess(const Options& opt, const std::string& userFile, bool writing)
{
    const std::string& path = writing ? opt.dir : userFile;
    if (::access(path.c_str(), writing ? (W_OK | X_OK) : R_OK) == 0 || errno != EACCES)
        return kExitOk;
    const std::string group = DataGroup(opt);
    return Fail(opt, kExitPermission,
                "permission denied: cannot " + std::string(writing ? "write in " : "read ") + path + "; join group " +
                    group + " (sudo adduser $USER " + group + ", then log in again)");
}

std::string UserName(uint32_t uid)
{
    const passwd* pw = ::getpwuid(uid);
    return (pw && pw->pw_name ? std::string(pw->pw_name) + " " : std::string()) + "(uid " + std::to_string(uid) + ")";
}

// Why the service did not answer: its socket (or port) held by somebody else, not open to this user,
// not installed, not running, or busy.
int DiagnoseSilence(const Options& opt)
{
    const CDnsListener::SendRefusal* refusal =
        g_channel && g_channel->LastRefusal() ? &*g_channel->LastRefusal() : nullptr;
    if (refusal && refusal->denied) {
        const std::string group = DataGroup(opt);
        return Fail(opt, kExitPermission,
                    "permission denied: cannot connect to " + refusal->path + "; join group " + group +
                        " (sudo adduser $USER " + group + ", then log in again)");
    }
    if (refusal && !refusal->nobody) {
        struct stat st;
        const std::string service =
            ::stat(opt.dir.c_str(), &st) == 0 ? UserName(st.st_uid) : "the data directory's owner";
        const std::string where = refusal->path.empty()
                                      ? "port " + std::to_string(refusal->port) + " (from user.xml) is held by "
                                      : "the channel " + refusal->path + " is served by ";
        return Fail(opt, kExitNotRunning,
                    "nothing sent: " + where + UserName(refusal->owner) + ", not by the service's user " + service +
                        " or root; is the service running?");
    }
    std::unique_ptr<scm::Manager> manager = scm::OpenManager(scm::kManagerConnect);
    std::unique_ptr<scm::Service> service = manager ? manager->Open(kServiceName, scm::kQueryStatus) : nullptr;
    if (!service)
        return Fail(opt, kExitNotInstalled,
                    "the service is not installed (morvanectl service install) and nothing answered");
    scm::Status status;
    if (!service->Query(status) || status.state != scm::kRunning)
        return Fail(opt, kExitNotRunning, "the service is not running (morvanectl service start)");
    if (g_channel && g_channel->UsesUdp() && datafile::ReadPort(opt.dir + "/user.xml") == 0)
        return Fail(opt, kExitNoAnswer,
                    "the service has no UDP channel (user.xml names no port): MORVANE_UDP_CHANNEL=1 is set here "
                    "but not for the service");
    return Fail(opt, kExitNoAnswer, "the service did not answer within " + std::to_string(opt.timeoutSec) + " s");
}

int ServiceCommand(const Options& opt)
{
    if (opt.args.size() < 2)
        return Fail(opt, kExitUsage, "service: expected install, start, stop, status or remove");
    const std::string& what = opt.args[1];
    std::unique_ptr<scm::Manager> manager = scm::OpenManager(scm::kManagerAllAccess);
    if (!manager)
        return Fail(opt, kExitFailed, "cannot open the service database at " + scm::DatabaseDirectory());

    if (what == "install") {
        std::string path = opt.args.size() > 2 ? opt.args[2] : platform::ProgramDirectory(true) + kServiceProgram;
        if (!files::Exists(path))
            return Fail(opt, kExitFailed, "no service program at " + path);
        if (manager->Open(kServiceName, scm::kQueryConfig)) {
            if (opt.json)
                std::printf("{\"ok\":true,\"installed\":false,\"reason\":\"exists\"}\n");
            else
                std::printf("The service is already installed.\n");
            return kExitOk;
        }
        scm::Config config;
        config.name = kServiceName;
        config.displayName = kServiceName;
        config.binaryPath = path;
        if (!manager->Create(config))
            return ScmFailure(opt, "could not install the service", "install");
        if (opt.json)
            std::printf("{\"ok\":true,\"installed\":true,\"path\":%s}\n", JsonString(path).c_str());
        else
            std::printf("Installed %s as the service %s.\n", path.c_str(), kServiceName);
        return kExitOk;
    }

    std::unique_ptr<scm::Service> service = manager->Open(kServiceName, scm::kServiceAllAccess);
    if (!service)
        return Fail(opt, kExitNotInstalled, "the service is not installed");

    scm::Status status;
    if (what == "status") {
        bool ok = service->Query(status);
        const char* state = !ok                                  ? "unknown"
                            : status.state == scm::kRunning      ? "running"
                            : status.state == scm::kStopped      ? "stopped"
                            : status.state == scm::kStartPending ? "starting"
                            : status.state == scm::kStopPending  ? "stopping"
                                                                 : "other";
        scm::Config config;
        service->QueryConfig(config);
        if (opt.json)
            std::printf("{\"ok\":true,\"state\":%s,\"pid\":%u,\"path\":%s}\n", JsonString(state).c_str(),
                        status.processId, JsonString(config.binaryPath).c_str());
        else
            std::printf("Service %s: %s%s\nProgram: %s\n", kServiceName, state,
                        status.processId ? (" (pid " + std::to_string(status.processId) + ")").c_str() : "",
                        config.binaryPath.c_str());
        return status.state == scm::kRunning ? kExitOk : kExitNotRunning;
    }
    if (what == "start") {
        if (!service->Start())
            return ScmFailure(opt, "could not start the service", "start");
        // Wait until it reports running, so that the next command finds it.
        for (int i = 0; i < opt.timeoutSec * 20; ++i) {
            if (service->Query(status) && status.state == scm::kRunning)
                break;
            usleep(50000);
        }
        if (status.state != scm::kRunning)
            return Fail(opt, kExitNotRunning, "the service was started but did not report running");
        if (opt.json)
            std::printf("{\"ok\":true,\"state\":\"running\",\"pid\":%u}\n", status.processId);
        else
            std::printf("Service %s started (pid %u).\n", kServiceName, status.processId);
        return kExitOk;
    }
    if (what == "stop") {
        if (!service->Control(scm::kStop, status)) {
            const uint32_t error = scm::LastError();
            if (error == scm::kAccessDenied)
                return ScmFailure(opt, "could not stop the service", "stop");
            if (service->Query(status) && status.state != scm::kStopped)
                return Fail(opt, kExitFailed, "the service did not take the stop: " + scm::ErrorText(error));
            return Fail(opt, kExitNotRunning, "the service is not running");
        }
        for (int i = 0; i < 100 * 20; ++i) {  // the worker may finish a provider call first
            if (service->Query(status) && status.state == scm::kStopped)
                break;
            usleep(50000);
        }
        if (opt.json)
            std::printf("{\"ok\":true,\"state\":\"stopped\"}\n");
        else
            std::printf("Service %s stopped.\n", kServiceName);
        return kExitOk;
    }
    if (what == "remove") {
        service->SetControlTimeout(0);
        service->Control(scm::kStop, status);
        if (!service->Delete())
            return ScmFailure(opt, "could not remove the service", "remove");
        if (opt.json)
            std::printf("{\"ok\":true,\"removed\":true}\n");
        else
            std::printf("Service %s removed.\n", kServiceName);
        return kExitOk;
    }
    return Fail(opt, kExitUsage, "service: unknown action '" + what + "'");
}

}  // namespace ctl
