#include "platform/scm.h"

#include "shared/base/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kTestService = std::string(MORVANE_BIN_DIR) + "/scm_test_service";

bool ProcessGone(pid_t pid)
{
    std::string stat;
    if (!files::ReadAll("/proc/" + std::to_string(pid) + "/stat", stat))
        return true;
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

std::vector<std::string> Lines(const std::string& path)
{
    std::string text;
    std::vector<std::string> out;
    if (!files::ReadAll(path, text))
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Reports only: what the service published, in order.
std::vector<std::string> Reports(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (l.rfind("report ", 0) == 0)
            out.push_back(l);
    }
    return out;
}

class ScmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_root = m_tmp.Path();
        m_dir = m_root + "/services";
        ::setenv("MORVANE_SCM_DIR", m_dir.c_str(), 1);
        ::unsetenv("SCM_TEST_SERVICE_NAME");
        m_manager = scm::OpenManager(scm::kManagerAllAccess);
        ASSERT_NE(m_manager, nullptr);
    }

    void TearDown() override
    {
        for (pid_t pid : m_pids) {
            if (!ProcessGone(pid))
                ::kill(pid, SIGKILL);
        }
        ::unsetenv("MORVANE_SCM_DIR");
        ::unsetenv("SCM_TEST_SERVICE_NAME");
        m_tmp.Remove();
    }

    std::unique_ptr<scm::Service> Install(const std::string& name, const std::string& path = kTestService)
    {
        scm::Config config;
        config.name = name;
        config.binaryPath = path;
        return m_manager->Create(config);
    }

    // Starts with a record file; returns its path.
    std::string StartRecorded(scm::Service& service, std::vector<std::string> extra = {})
    {
        std::string record = m_root + "/record-" + std::to_string(++m_records);
        extra.insert(extra.begin(), "record=" + record);
        EXPECT_TRUE(service.Start(extra)) << scm::LastError();
        scm::Status st;
        if (service.Query(st) && st.processId != 0)
            m_pids.push_back(static_cast<pid_t>(st.processId));
        return record;
    }

    static bool WaitForState(scm::Service& service, uint32_t state, scm::Status* last = nullptr)
    {
        scm::Status st;
        bool ok = WaitUntil([&] { return service.Query(st) && st.state == state; }, 10s);
        if (last)
            *last = st;
        return ok;
    }

    CTempDir m_tmp{"scm_test"};
    std::string m_root;
    std::string m_dir;
    std::unique_ptr<scm::Manager> m_manager;
    std::vector<pid_t> m_pids;
    int m_records = 0;
};

// ------------------------------------------------------------------ registration

TEST_F(ScmTest, RegistrationIsStoredExactlyAndNeverReplaced)
{
    scm::Config first;
    first.name = "MORVANE";
    first.binaryPath = "/opt/My Apps/Morvane Core";
    first.startType = scm::kAutoStart;
    first.errorControl = scm::kErrorIgnore;
    ASSERT_NE(m_manager->Create(first), nullptr);

    // The path lands in the file as given: no quotes, spaces kept.
    std::string text;
    ASSERT_TRUE(files::ReadAll(m_dir + "/morvane.service", text));
    EXPECT_NE(text.find("\nbinary_path=/opt/My Apps/Morvane Core\n"), std::string::npos) << text;

    scm::Config second = first;
    second.binaryPath = "/elsewhere/other";
    second.startType = scm::kDemandStart;
    EXPECT_EQ(m_manager->Create(second), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);
    second.name = "morvane";  // names compare without case
    EXPECT_EQ(m_manager->Create(second), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);

    auto service = m_manager->Open("Morvane", scm::kQueryConfig);
    ASSERT_NE(service, nullptr);
    scm::Config stored;
    ASSERT_TRUE(service->QueryConfig(stored));
    EXPECT_EQ(stored.name, "MORVANE");
    EXPECT_EQ(stored.displayName, "MORVANE");  // defaults to the name
    EXPECT_EQ(stored.binaryPath, "/opt/My Apps/Morvane Core");
    EXPECT_EQ(stored.startType, scm::kAutoStart);
    EXPECT_EQ(stored.errorControl, scm::kErrorIgnore);
    EXPECT_EQ(stored.type, scm::kOwnProcess);

    // Characters that would break the line format survive the round trip.
    scm::Config odd;
    odd.name = "odd";
    odd.displayName = "50% = half";
    odd.binaryPath = "/tmp/a%20b\nc=d";
    ASSERT_NE(m_manager->Create(odd), nullptr);
    ASSERT_TRUE(m_manager->Open("odd", scm::kQueryConfig)->QueryConfig(stored));
    EXPECT_EQ(stored.binaryPath, odd.binaryPath);
    EXPECT_EQ(stored.displayName, odd.displayName);
}

TEST_F(ScmTest, RejectsUnsafeNamesAndBadParameters)
{
    for (const char* name : {"", ".", "..", "../escape", "a/b", "a\\b", "line\nbreak"}) {
        EXPECT_EQ(Install(name, "/bin/true"), nullptr) << name;
        EXPECT_EQ(scm::LastError(), scm::kInvalidName) << name;
        EXPECT_EQ(m_manager->Open(name, scm::kQueryStatus), nullptr) << name;
    }
    EXPECT_FALSE(fs::exists(m_root + "/escape.service"));
    EXPECT_EQ(Install(std::string(201, 'n'), "/bin/true"), nullptr);

    scm::Config config;
    config.name = "svc";
    EXPECT_EQ(m_manager->Create(config), nullptr);  // no binary path
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    config.binaryPath = "/bin/true";
    config.startType = 9;
    EXPECT_EQ(m_manager->Create(config), nullptr);
    config.startType = scm::kAutoStart;
    config.type = 1;  // a driver type
    EXPECT_EQ(m_manager->Create(config), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    EXPECT_FALSE(fs::exists(m_dir + "/svc.service"));
}

TEST_F(ScmTest, HandlesOnlyDoWhatTheirRightsAllow)
{
    ASSERT_NE(Install("svc"), nullptr);
    auto configOnly = m_manager->Open("svc", scm::kQueryConfig);
    ASSERT_NE(configOnly, nullptr);
    scm::Status st;
    EXPECT_FALSE(configOnly->Start());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Query(st));
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Delete());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    scm::Config config;
    EXPECT_TRUE(configOnly->QueryConfig(config));
    EXPECT_TRUE(fs::exists(m_dir + "/svc.service"));

    auto statusOnly = m_manager->Open("svc", scm::kQueryStatus);
    EXPECT_TRUE(statusOnly->Query(st));
    EXPECT_FALSE(statusOnly->QueryConfig(config));

    auto connectOnly = scm::OpenManager(scm::kManagerConnect);
    ASSERT_NE(connectOnly, nullptr);
    EXPECT_NE(connectOnly->Open("svc", scm::kQueryStatus), nullptr);
    EXPECT_EQ(connectOnly->Open("missing", scm::kQueryStatus), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceDoesNotExist);
    scm::Config other;
    other.name = "other";
    other.binaryPath = "/bin/true";
    EXPECT_EQ(connectOnly->Create(other), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
}

TEST_F(ScmTest, DatabaseLocationAndReachability)
{
    EXPECT_EQ(m_manager->Location(), fs::canonical(m_dir).string());
    EXPECT_EQ(scm::DatabaseDirectory(), m_dir);

    // A database that cannot be created counts as no rights.
    ASSERT_TRUE(files::ReplaceAtomically(m_root + "/plain", "x"));
    ::setenv("MORVANE_SCM_DIR", (m_root + "/plain/services").c_str(), 1);
    EXPECT_EQ(scm::OpenManager(scm::kManagerAllAccess), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    // Nor is one others may write to (they could plant a registration), or a link to one.
    std::string shared = m_root + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0770), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0770), 0);
    ::setenv("MORVANE_SCM_DIR", shared.c_str(), 1);
    EXPECT_EQ(scm::OpenManager(scm::kManagerAllAccess), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    ASSERT_EQ(::chmod(shared.c_str(), 0700), 0);
    EXPECT_NE(scm::OpenManager(scm::kManagerAllAccess), nullptr);

    ::unsetenv("MORVANE_SCM_DIR");
    const char* oldState = std::getenv("XDG_STATE_HOME");
    std::string saved = oldState ? oldState : "";
    ::setenv("XDG_STATE_HOME", "/state/home", 1);
    if (::geteuid() == 0)
        EXPECT_EQ(scm::DatabaseDirectory(), "/var/lib/morvane-services");
    else
        EXPECT_EQ(scm::DatabaseDirectory(), "/state/home/morvane/services");
    if (oldState)
        ::setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_STATE_HOME");
}

TEST_F(ScmTest, DeleteOfAStoppedServiceRemovesIt)
{
    auto service = Install("svc");
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(service->Delete());
    EXPECT_FALSE(fs::exists(m_dir + "/svc.service"));
    EXPECT_FALSE(service->Delete());
    EXPECT_EQ(scm::LastError(), scm::kServiceDoesNotExist);
    EXPECT_EQ(m_manager->Open("svc", scm::kServiceAllAccess), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceDoesNotExist);
    EXPECT_NE(Install("svc"), nullptr);
}

// The status file names the reporting process; only a live process with the recorded start time
// keeps a service running.
TEST_F(ScmTest, StatusOfAVanishedProcessReadsStopped)
{
    auto service = Install("svc");
    ASSERT_NE(service, nullptr);
    scm::Status st;
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_FALSE(service->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceNotActive);

    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    const std::string statusPath = m_dir + "/svc.status";
    ASSERT_TRUE(files::ReplaceAtomically(statusPath, "state=4\npid=" + std::to_string(child) + "\n"));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, scm::kProcessAborted);
    EXPECT_EQ(st.processId, 0u);

    // Our own pid, but a different process start time: the id was reused.
    ASSERT_TRUE(
        files::ReplaceAtomically(statusPath, "state=4\npid=" + std::to_string(::getpid()) + "\nstart_time=1\n"));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);

    // Alive (start time unknown): running, so it cannot be started again; it takes no controls.
    ASSERT_TRUE(files::ReplaceAtomically(statusPath, "state=4\npid=" + std::to_string(::getpid()) + "\n"));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kRunning);
    EXPECT_EQ(st.processId, static_cast<uint32_t>(::getpid()));
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kServiceAlreadyRunning);
    EXPECT_FALSE(service->Control(scm::kInterrogate, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceCannotAcceptCtrl);

    // A damaged status file does not keep a service running either.
    ASSERT_TRUE(files::ReplaceAtomically(statusPath, "garbage"));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
}

TEST_F(ScmTest, DispatcherOutsideTheManagerFailsAtOnce)
{
    bool called = false;
    EXPECT_FALSE(scm::RunDispatcher("ScmTestSvc", [&](int, char**) { called = true; }));
    EXPECT_EQ(scm::LastError(), scm::kFailedServiceControllerConnect);
    EXPECT_FALSE(called);
    EXPECT_EQ(scm::RegisterCtrlHandler("ScmTestSvc", [](uint32_t) {}), nullptr);
    EXPECT_FALSE(scm::SetStatus(nullptr, scm::Status{}));

    // The program run by hand, and run with the variable naming another service.
    for (const char* env : {"", "MORVANE_SCM_SERVICE=Other"}) {
        std::vector<std::string> envStrings = {"MORVANE_SCM_DIR=" + m_dir};
        if (*env)
            envStrings.push_back(env);
        std::vector<char*> envp;
        for (std::string& e : envStrings)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string path = kTestService;
        char* argv[] = {path.data(), nullptr};
        pid_t pid = 0;
        auto begin = std::chrono::steady_clock::now();
        ASSERT_EQ(::posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, envp.data()), 0);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
        ASSERT_TRUE(WIFEXITED(wstatus));
        EXPECT_EQ(WEXITSTATUS(wstatus), 2) << env;
    }
}

// ------------------------------------------------------------------ running services

TEST_F(ScmTest, StartQueryAndStopFromAPathWithSpaces)
{
    // The binary path is used unquoted, so a path with spaces must start as is.
    const std::string binary = m_root + "/My Programs/scm test service";
    fs::create_directories(m_root + "/My Programs");
    fs::copy_file(kTestService, binary);
    auto service = Install("ScmTestSvc", binary);
    ASSERT_NE(service, nullptr);

    const std::string record = StartRecorded(*service, {"two words", ""});
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kServiceAlreadyRunning);

    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    EXPECT_EQ(st.type, scm::kOwnProcess);
    EXPECT_EQ(st.controlsAccepted, scm::kAcceptStop);
    const pid_t pid = static_cast<pid_t>(st.processId);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"), binary);

    ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
    EXPECT_EQ(st.state, scm::kStopped);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, 0u);
    EXPECT_FALSE(service->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceNotActive);

    const std::vector<std::string> expected = {"main ScmTestSvc argc=4",
                                               "arg record=" + record,
                                               "arg two words",
                                               "arg ",
                                               "env -",
                                               "report 2 ok",
                                               "report 4 ok",
                                               "control 1",
                                               "report 1 ok",
                                               "dispatcher returned"};
    EXPECT_EQ(Lines(record), expected);

    // And it starts again.
    const std::string again = StartRecorded(*service);
    ASSERT_TRUE(WaitForState(*service, scm::kRunning));
    ASSERT_TRUE(service->Control(scm::kStop, st));
    EXPECT_EQ(st.state, scm::kStopped);
    ASSERT_TRUE(WaitUntil([&] { return Count(Lines(again), "dispatcher returned") == 1; }, 10s));
}

TEST_F(ScmTest, SigtermIsTheStopControl)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service);
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    const pid_t pid = static_cast<pid_t>(st.processId);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, 0u);  // a clean stop, not a crash
    const auto lines = Lines(record);
    EXPECT_EQ(Count(lines, "control 1"), 1u);
    EXPECT_EQ(Reports(lines), (std::vector<std::string>{"report 2 ok", "report 4 ok", "report 1 ok"}));
}

// A service that has run out of descriptors still takes a stop through its control socket, and
// does not spin on a connection it cannot accept.
TEST_F(ScmTest, StopStillWorksWithNoDescriptorLeft)
{
    auto service = Install("ScmTestSvc");
    StartRecorded(*service, {"exhaust-fds"});
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    const pid_t pid = static_cast<pid_t>(st.processId);
    ::usleep(300 * 1000);  // the descriptors are gone by now
    service->SetControlTimeout(5000);
    std::ifstream log(m_dir + "/scmtestsvc.log");
    EXPECT_TRUE(service->Control(scm::kStop, st))
        << scm::LastError() << ": " << std::string(std::istreambuf_iterator<char>(log), {});
    EXPECT_TRUE(WaitUntil([&] { return ProcessGone(pid); }));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, 0u);
}

// A SIGTERM that arrives before the service registered its handler is delivered once it does.
TEST_F(ScmTest, EarlySigtermIsNotLost)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service, {"register-delay=300"});
    scm::Status st;
    ASSERT_TRUE(service->Query(st));
    ASSERT_NE(st.processId, 0u);
    const pid_t pid = static_cast<pid_t>(st.processId);
    ASSERT_TRUE(WaitUntil([&] { return Count(Lines(record), "env -") == 1; }, 10s));  // dispatcher is up
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    const auto lines = Lines(record);
    EXPECT_EQ(Count(lines, "control 1"), 1u);
    EXPECT_EQ(Count(lines, "report 1 ok"), 1u);
    EXPECT_EQ(Count(lines, "dispatcher returned"), 1u);
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
}

TEST_F(ScmTest, PauseContinueAndInterrogateChangeNothing)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service);
    ASSERT_TRUE(WaitForState(*service, scm::kRunning));
    const std::string statusPath = m_dir + "/scmtestsvc.status";
    std::string before;
    ASSERT_TRUE(files::ReadAll(statusPath, before));
    for (uint32_t code : {scm::kPause, scm::kContinue, scm::kInterrogate}) {
        scm::Status st;
        ASSERT_TRUE(service->Control(code, st)) << code << " " << scm::LastError();
        EXPECT_EQ(st.state, scm::kRunning) << code;
    }
    std::string after;
    ASSERT_TRUE(files::ReadAll(statusPath, after));
    EXPECT_EQ(after, before);
    auto lines = Lines(record);
    EXPECT_EQ(Count(lines, "control 2") + Count(lines, "control 3") + Count(lines, "control 4"), 3u);
    EXPECT_EQ(Reports(lines), (std::vector<std::string>{"report 2 ok", "report 4 ok"}));

    scm::Status st;
    EXPECT_FALSE(service->Control(77, st));  // neither a standard nor a user-defined code
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    ASSERT_TRUE(service->Control(scm::kStop, st));
    EXPECT_EQ(Count(Lines(record), "report 1 ok"), 1u);
}

// The host's ServiceMain may return early (its engine failed to start); stop must still work and
// end in exactly one stopped report. Stopped is final: a second report is refused.
TEST_F(ScmTest, StopOfAnIdleServiceAndStoppedIsFinal)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service, {"idle", "double-stop"});
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    const pid_t pid = static_cast<pid_t>(st.processId);
    std::this_thread::sleep_for(100ms);  // ServiceMain has returned by now
    EXPECT_FALSE(ProcessGone(pid));
    ASSERT_TRUE(service->Control(scm::kStop, st));
    EXPECT_EQ(st.state, scm::kStopped);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    EXPECT_EQ(Reports(Lines(record)),
              (std::vector<std::string>{"report 2 ok", "report 4 ok", "report 1 ok", "report 1 fail"}));
}

TEST_F(ScmTest, ServiceMainWithoutHandlerEndsStopped)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service, {"no-handler"});
    ASSERT_TRUE(WaitUntil([&] { return Count(Lines(record), "dispatcher returned") == 1; }, 10s));
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kStopped, &st));
}

TEST_F(ScmTest, StartFailuresAreReported)
{
    // Missing binary.
    auto missing = Install("missing", m_root + "/no such program");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->Start());
    EXPECT_EQ(scm::LastError(), scm::kFileNotFound);
    scm::Status st;
    ASSERT_TRUE(missing->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, scm::kFileNotFound);

    // Not executable.
    ASSERT_TRUE(files::ReplaceAtomically(m_root + "/plain", "#!/bin/sh\n"));
    ::chmod((m_root + "/plain").c_str(), 0644);
    auto plain = Install("plain", m_root + "/plain");
    EXPECT_FALSE(plain->Start());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);

    // Disabled.
    scm::Config config;
    config.name = "disabled";
    config.binaryPath = kTestService;
    config.startType = scm::kDisabled;
    auto disabled = m_manager->Create(config);
    EXPECT_FALSE(disabled->Start());
    EXPECT_EQ(scm::LastError(), scm::kServiceDisabled);

    // Started for one service, the program dispatches for another: it ends and reads stopped.
    auto other = Install("Other");
    StartRecorded(*other);
    ASSERT_TRUE(WaitForState(*other, scm::kStopped, &st));
    EXPECT_EQ(st.win32ExitCode, scm::kProcessAborted);
}

TEST_F(ScmTest, DeleteOfARunningServiceWaitsForTheStop)
{
    auto service = Install("ScmTestSvc");
    StartRecorded(*service);
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    const pid_t pid = static_cast<pid_t>(st.processId);
    ASSERT_TRUE(service->Delete());
    EXPECT_FALSE(service->Delete());
    EXPECT_EQ(scm::LastError(), scm::kServiceMarkedForDelete);
    EXPECT_EQ(Install("ScmTestSvc"), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceMarkedForDelete);
    EXPECT_FALSE(service->Start());

    // Still reachable until it stops (this is how a remover stops and deletes in one go).
    auto again = m_manager->Open("ScmTestSvc", scm::kStopAccess | scm::kQueryStatus);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(again->Control(scm::kStop, st));
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    EXPECT_FALSE(fs::exists(m_dir + "/scmtestsvc.service"));
    EXPECT_EQ(m_manager->Open("ScmTestSvc", scm::kQueryStatus), nullptr);
    EXPECT_NE(Install("ScmTestSvc"), nullptr);
}

TEST_F(ScmTest, CrashedServiceReadsStoppedAndRestarts)
{
    auto service = Install("ScmTestSvc");
    StartRecorded(*service);
    scm::Status st;
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    pid_t pid = static_cast<pid_t>(st.processId);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return ProcessGone(pid); }, 10s));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, scm::kProcessAborted);
    EXPECT_FALSE(service->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceNotActive);

    // The socket it left behind does not stand in the way.
    StartRecorded(*service);
    ASSERT_TRUE(WaitForState(*service, scm::kRunning, &st));
    ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
    EXPECT_EQ(st.state, scm::kStopped);
}

TEST_F(ScmTest, SlowHandlerTimesOutTheControlCall)
{
    auto service = Install("ScmTestSvc");
    const std::string record = StartRecorded(*service, {"stop-delay=1500"});
    ASSERT_TRUE(WaitForState(*service, scm::kRunning));
    service->SetControlTimeout(200);
    scm::Status st;
    auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(service->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceRequestTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
    ASSERT_TRUE(WaitForState(*service, scm::kStopped));
    // The record line follows the status write.
    EXPECT_TRUE(WaitUntil([&] { return Count(Lines(record), "report 1 ok") == 1; }, 10s));
}

// Socket addresses are short: a long name, and a long database path, must still take controls.
TEST_F(ScmTest, LongNamesAndPathsStillTakeControls)
{
    const std::string name(150, 'L');
    ::setenv("SCM_TEST_SERVICE_NAME", name.c_str(), 1);
    const std::string deepDir = m_root + "/" + std::string(120, 'd');
    for (const std::string& dir : {m_dir, deepDir}) {
        ::setenv("MORVANE_SCM_DIR", dir.c_str(), 1);
        m_manager = scm::OpenManager(scm::kManagerAllAccess);
        ASSERT_NE(m_manager, nullptr);
        auto service = Install(name);
        ASSERT_NE(service, nullptr);
        StartRecorded(*service);
        scm::Status st;
        ASSERT_TRUE(WaitForState(*service, scm::kRunning)) << dir;
        ASSERT_TRUE(service->Control(scm::kInterrogate, st)) << scm::LastError();
        ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
        EXPECT_EQ(st.state, scm::kStopped);
        ASSERT_TRUE(WaitUntil([&] { return ProcessGone(static_cast<pid_t>(m_pids.back())); }, 10s));
        ASSERT_TRUE(service->Delete());
        EXPECT_TRUE(fs::is_empty(dir)) << dir;
    }
}

}  // namespace
