// The shell against real processes: the single-instance lock, the service step over the service
// database, the updater launch with stand-in programs, and crash reports written by a crashing child.

#include <gtest/gtest.h>

#include <QStringList>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gui/shell/app.h"
#include "gui/shell/crash_handler.h"
#include "gui/shell/message_box.h"
#include "gui/shell/updater.h"
#include "platform/scm.h"
#include "platform/single_instance.h"
#include "platform/version.h"
#include "platform/window.h"
#include "shared/base/files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kBin = MORVANE_BIN_DIR;

std::vector<std::string> Lines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Copies a program into place by rename, so a copy of it that still runs is not in the way.
void Install(const std::string& from, const std::string& to)
{
    fs::copy_file(from, to + ".tmp", fs::copy_options::overwrite_existing);
    fs::permissions(to + ".tmp", fs::perms::owner_all);
    fs::rename(to + ".tmp", to);
}

// A program directory of its own, with the service database and the runtime directory beside it.
class ShellDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_root = m_tmp.Path();
        m_dir = m_root + "/app/";
        fs::create_directories(m_dir + "update");
        fs::create_directories(m_root + "/run");
        chmod((m_root + "/run").c_str(), 0700);
        setenv("MORVANE_SCM_DIR", (m_root + "/services").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_root + "/run").c_str(), 1);
        m_site = {m_dir, m_dir + "Morvane"};
    }
    void TearDown() override
    {
        // A service started by a test is stopped, whatever the test did.
        if (auto manager = scm::OpenManager(scm::kManagerAllAccess)) {
            if (auto service = manager->Open(CMorvaneApp::kServiceName, scm::kServiceAllAccess)) {
                scm::Status status;
                service->Control(scm::kStop, status);
                service->Delete();
            }
        }
        m_tmp.Remove();
    }
    CTempDir m_tmp{"morvane-shell"};
    std::string m_root;
    std::string m_dir;
    gui::UpdaterSite m_site;
};

// ---------------------------------------------------------------- single instance

using ShellSingleInstance = ShellDir;

TEST_F(ShellSingleInstance, SecondCopyEndsSilently)
{
    CMorvaneApp first(AppOptions{m_dir + "Morvane", m_dir});
    ASSERT_TRUE(first.AcquireSingleInstance());
    QStringList shown;
    gui::SetMessageBoxHook([&](const QString& text) { shown << text; });
    CMorvaneApp second(AppOptions{m_dir + "Morvane", m_dir});
    EXPECT_FALSE(second.InitInstance());
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(fs::exists(m_root + "/services"));  // not even the service was looked at
    gui::SetMessageBoxHook({});

    // Another process sees it taken; once the holder is gone, whatever the way, it is free.
    pid_t child = fork();
    if (child == 0) {
        platform::CSingleInstance lock;
        _exit(lock.Acquire(CMorvaneApp::kInstanceName) ? 0 : lock.AlreadyExists() ? 3 : 4);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 3);

    child = fork();
    if (child == 0) {
        platform::CSingleInstance lock;
        lock.Acquire("morvane-test-lock");
        raise(SIGKILL);
    }
    waitpid(child, &status, 0);
    platform::CSingleInstance after;
    EXPECT_TRUE(after.Acquire("morvane-test-lock"));
    EXPECT_TRUE(after.Held());
}

// ---------------------------------------------------------------- service step

class ShellServiceStep : public ShellDir {
protected:
    void SetUp() override
    {
        ShellDir::SetUp();
        // The service-control test program plays MorvaneCore under the service's name.
        setenv("SCM_TEST_SERVICE_NAME", CMorvaneApp::kServiceName, 1);
        m_core = m_dir + CMorvaneApp::kServiceProgram;
    }
    scm::Status Query()
    {
        scm::Status status;
        auto manager = scm::OpenManager(scm::kManagerAllAccess);
        auto service = manager ? manager->Open(CMorvaneApp::kServiceName, scm::kQueryStatus) : nullptr;
        if (service)
            service->Query(status);
        return status;
    }
    std::string m_core;
};

TEST_F(ShellServiceStep, MissingServiceProgramIsReportedWithStatusZero)
{
    // The box says what failed, where, and what to do; "重试" runs the step again, "退出" ends.
    QStringList asked;
    int retries = 1;
    gui::SetQuestionHook([&](const QString& text, const QStringList& buttons) {
        asked << text;
        EXPECT_EQ(buttons, QStringList({QString::fromUtf8("重试"), QString::fromUtf8("退出")}));
        if (retries-- > 0)
            return 0;
        Install(kBin + "/scm_test_service", m_core);  // put in place while the box was open
        return 0;
    });
    CMorvaneApp app(AppOptions{m_dir + "Morvane", m_dir});
    EXPECT_TRUE(app.EnsureService());
    EXPECT_EQ(app.StartStatus(), 1);
    ASSERT_EQ(asked.size(), 2);
    for (const char* part : {"找不到服务程序", "重新安装", m_core.c_str()})
        EXPECT_TRUE(asked[0].contains(QString::fromUtf8(part))) << asked[0].toStdString();

    // A registered service whose program is gone: the start fails with the program named; "退出" ends.
    ASSERT_TRUE(WaitUntil([&] { return Query().state == scm::kRunning; }));
    {
        scm::Status status;
        scm::OpenManager(scm::kManagerAllAccess)->Open("MORVANE", scm::kServiceAllAccess)->Control(scm::kStop, status);
    }
    ASSERT_TRUE(WaitUntil([&] { return Query().state == scm::kStopped; }));
    fs::remove(m_core);
    asked.clear();
    gui::SetQuestionHook([&](const QString& text, const QStringList&) {
        asked << text;
        return 1;
    });
    EXPECT_FALSE(app.InitInstance());
    gui::SetQuestionHook({});
    EXPECT_EQ(app.Failure().step, ServiceFailure::kStart);
    ASSERT_EQ(asked.size(), 1);
    for (const char* part : {"journalctl -u morvane", m_core.c_str()})
        EXPECT_TRUE(asked[0].contains(QString::fromUtf8(part))) << asked[0].toStdString();
}

TEST_F(ShellServiceStep, InstallsFromBesideTheGuiAndStarts)
{
    Install(kBin + "/scm_test_service", m_core);
    CMorvaneApp app(AppOptions{m_dir + "Morvane", m_dir});
    EXPECT_EQ(app.ServiceStep(), 1);
    auto manager = scm::OpenManager(scm::kManagerAllAccess);
    ASSERT_TRUE(manager);
    auto service = manager->Open(CMorvaneApp::kServiceName, scm::kQueryConfig);
    ASSERT_TRUE(service);
    scm::Config config;
    ASSERT_TRUE(service->QueryConfig(config));
    EXPECT_EQ(config.binaryPath, m_dir + "MorvaneCore");
    EXPECT_EQ(config.displayName, "MORVANE");
    EXPECT_EQ(config.type, scm::kOwnProcess);
    EXPECT_EQ(config.startType, scm::kAutoStart);
    EXPECT_EQ(config.errorControl, scm::kErrorIgnore);
    EXPECT_TRUE(WaitUntil([&] { return Query().state == scm::kRunning; }));
}

TEST_F(ShellServiceStep, RunningServiceIsLeftAloneStoppedOneIsStarted)
{
    Install(kBin + "/scm_test_service", m_core);
    {
        auto manager = scm::OpenManager(scm::kManagerAllAccess);
        scm::Config config;
        config.name = "MORVANE";
        config.binaryPath = m_core;
        ASSERT_TRUE(manager->Create(config));
    }
    // Stopped: started.
    CMorvaneApp app(AppOptions{m_dir + "Morvane", m_dir});
    EXPECT_EQ(app.ServiceStep(), 1);
    ASSERT_TRUE(WaitUntil([&] { return Query().state == scm::kRunning; }));
    const uint32_t pid = Query().processId;

    // Running: status 1 without a start (a start would fail on a running service and give 0).
    EXPECT_EQ(app.ServiceStep(), 1);
    EXPECT_EQ(Query().processId, pid);

    // Stopped, and its program gone: the start fails, status 0.
    {
        auto manager = scm::OpenManager(scm::kManagerAllAccess);
        scm::Status status;
        manager->Open("MORVANE", scm::kServiceAllAccess)->Control(scm::kStop, status);
    }
    ASSERT_TRUE(WaitUntil([&] { return Query().state == scm::kStopped; }));
    fs::remove(m_core);
    EXPECT_EQ(app.ServiceStep(), 0);
}

// ---------------------------------------------------------------- updater

class ShellUpdater : public ShellDir {
protected:
    std::string Args(const std::string& program) { return program + ".args"; }
};

TEST_F(ShellUpdater, CompleteDownloadStartsTheUpdaterVisibly)
{
    Install(kBin + "/fake_uploader", m_dir + "Skelvar");
    fs::create_directories(m_dir + "down");
    std::ofstream(m_dir + gui::kDownloadStatus) << "<PROG><TYPE><FILEDATA>2</FILEDATA></TYPE></PROG>";
    EXPECT_TRUE(gui::CheckUpdatesAtStart(m_site));
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(Args(m_dir + "Skelvar")); }));
    EXPECT_EQ(Lines(Args(m_dir + "Skelvar")), (std::vector<std::string>{m_dir + "Skelvar", m_dir + "Morvane,show"}));

    // Incomplete: started hidden, start-up goes on.
    fs::remove(Args(m_dir + "Skelvar"));
    std::ofstream(m_dir + gui::kDownloadStatus) << "<PROG><TYPE><FILEDATA>1</FILEDATA></TYPE></PROG>";
    EXPECT_FALSE(gui::CheckUpdatesAtStart(m_site));
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(Args(m_dir + "Skelvar")); }));
    EXPECT_EQ(Lines(Args(m_dir + "Skelvar")).back(), m_dir + "Morvane,hide");
}

TEST_F(ShellUpdater, DeliveredCopyWithoutInstalledUpdaterIsInstalledNotStarted)
{
    Install(kBin + "/fake_uploader_1_0_0_0", m_dir + gui::kUpdaterDelivered);
    Install(kBin + "/fake_uploader", m_dir + gui::kUpdaterUnpacked);  // an older leftover
    EXPECT_FALSE(gui::CheckUpdatesAtStart(m_site));
    EXPECT_TRUE(files::Exists(m_dir + "Skelvar"));
    EXPECT_FALSE(files::Exists(m_dir + gui::kUpdaterDelivered));
    EXPECT_FALSE(files::Exists(m_dir + gui::kUpdaterUnpacked));
    EXPECT_EQ(platform::ProductVersionOf(m_dir + "Skelvar"), "1.0.0.0");  // no version test here
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(files::Exists(Args(m_dir + "Skelvar")));
}

TEST_F(ShellUpdater, DeliveredCopyInstalledOnlyWhenNewer)
{
    struct Case {
        const char* program;
        bool installed;
    } cases[] = {{"fake_uploader_1_0_0_2", true},
                 {"fake_uploader_1_0_0_10", true},
                 {"fake_uploader_1_0_0_1", false},
                 {"fake_uploader_1_0_0_0", false},
                 {"fake_uploader", false}};  // no version at all
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        Install(kBin + "/fake_uploader_1_0_0_1", m_dir + "Skelvar");
        Install(kBin + "/" + c.program, m_dir + gui::kUpdaterDelivered);
        gui::LaunchUpdater(false, m_site);
        EXPECT_FALSE(files::Exists(m_dir + gui::kUpdaterDelivered));
        EXPECT_FALSE(files::Exists(m_dir + gui::kUpdaterUnpacked));  // installed or thrown away
        std::string want = platform::ProductVersionOf(kBin + "/" + c.program);
        EXPECT_EQ(platform::ProductVersionOf(m_dir + "Skelvar"), c.installed ? want : "1.0.0.1");
        // Whatever happened to the copy, the updater runs, hidden, with the GUI's path.
        ASSERT_TRUE(WaitUntil([&] { return files::Exists(Args(m_dir + "Skelvar")); }));
        EXPECT_EQ(Lines(Args(m_dir + "Skelvar")).back(), m_dir + "Morvane,hide");
        fs::remove(Args(m_dir + "Skelvar"));
    }
}

TEST_F(ShellUpdater, RunningUpdaterIsOnlyAskedToShow)
{
    std::atomic<int> shows{0};
    platform::CWindowEndpoint window;
    ASSERT_TRUE(window.Create(gui::kUpdaterWindowClass, true, [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == gui::kUpdaterShowMessage)
            ++shows;
        return 0;
    }));
    ASSERT_TRUE(window.StartThread());
    Install(kBin + "/fake_uploader", m_dir + "Skelvar");
    Install(kBin + "/fake_uploader_1_0_0_2", m_dir + gui::kUpdaterDelivered);
    gui::LaunchUpdater(true, m_site);
    EXPECT_EQ(shows.load(), 1);  // answered before LaunchUpdater returned
    gui::LaunchUpdater(false, m_site);
    EXPECT_EQ(shows.load(), 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(files::Exists(Args(m_dir + "Skelvar")));        // nothing started
    EXPECT_TRUE(files::Exists(m_dir + gui::kUpdaterDelivered));  // nothing installed
}

// ---------------------------------------------------------------- crash reports

class ShellCrash : public ShellDir {
protected:
    // Runs `crash` in a child with the handler installed for <dir>/Morvane; returns the signal
    // that ended it.
    int CrashChild(const std::function<void()>& crash, const std::string& account = "")
    {
        pid_t child = fork();
        if (child == 0) {
            if (!gui::InstallCrashHandlerFor(m_dir + "Morvane", m_dir + "Fennick", gui::kDefaultCrashAccount))
                _exit(90);
            if (!account.empty())
                gui::SetCrashAccount(account);
            crash();
            _exit(91);
        }
        int status = 0;
        waitpid(child, &status, 0);
        m_child = child;
        return WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
    }
    pid_t m_child = 0;
};

// A real fault (the sanitizers must not get there first).
__attribute__((no_sanitize("undefined"))) void NullWrite()
{
    volatile int* volatile p = nullptr;
    *p = 1;
}

TEST_F(ShellCrash, ReportAndUploaderCommandLine)
{
    Install(kBin + "/fake_uploader", m_dir + "Fennick");
    Install(kBin + "/fake_uploader_1_0_0_10", m_dir + "Morvane");  // the version the report names

    EXPECT_EQ(CrashChild(NullWrite), SIGSEGV);
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(m_dir + "Fennick.args"); }));
    EXPECT_EQ(Lines(m_dir + "Fennick.args"),
              (std::vector<std::string>{m_dir + "Fennick", "-f", m_dir + "Morvane.dmp", "-t", m_dir + "Morvane", "-v",
                                        "1.0.0.10", "-a", "Morvane", std::to_string(m_child)}));
    std::string report;
    ASSERT_TRUE(files::ReadAll(m_dir + "Morvane.dmp", report));
    EXPECT_NE(report.find("signal: 11 (SIGSEGV)"), std::string::npos) << report.substr(0, 600);
    EXPECT_NE(report.find("address: 0x0000000000000000"), std::string::npos);
    EXPECT_NE(report.find("pid: " + std::to_string(m_child) + "\n"), std::string::npos);
    EXPECT_NE(report.find("registers:"), std::string::npos);
    EXPECT_NE(report.find("backtrace:"), std::string::npos);
    EXPECT_NE(report.find("[stack]"), std::string::npos);  // the memory map was copied

    // After a login the account is named; an abort is reported like a fault.
    fs::remove(m_dir + "Fennick.args");
    EXPECT_EQ(CrashChild([] { std::abort(); }, "张三"), SIGABRT);
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(m_dir + "Fennick.args"); }));
    auto args = Lines(m_dir + "Fennick.args");
    ASSERT_EQ(args.size(), 10u);
    EXPECT_EQ(args[8], "张三");
    ASSERT_TRUE(files::ReadAll(m_dir + "Morvane.dmp", report));
    EXPECT_NE(report.find("signal: 6 (SIGABRT)"), std::string::npos);
}

TEST_F(ShellCrash, NoVersionNoUploaderAndRefusedPaths)
{
    // A program without a version note reports 0.0.0.0; a missing uploader still leaves the report.
    Install(kBin + "/fake_uploader", m_dir + "Morvane");
    EXPECT_EQ(CrashChild(NullWrite), SIGSEGV);
    EXPECT_TRUE(files::Exists(m_dir + "Morvane.dmp"));
    Install(kBin + "/fake_uploader", m_dir + "Fennick");
    EXPECT_EQ(CrashChild(NullWrite), SIGSEGV);
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(m_dir + "Fennick.args"); }));
    EXPECT_EQ(Lines(m_dir + "Fennick.args")[6], "0.0.0.0");

    // Unknown or overlong program paths: a diagnostic, nothing installed.
    testing::internal::CaptureStdout();
    EXPECT_FALSE(gui::InstallCrashHandlerFor("", "", "x"));
    EXPECT_FALSE(gui::InstallCrashHandlerFor("/" + std::string(300, 'a'), "", "x"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("(588): can't get filename"), std::string::npos);
    EXPECT_NE(out.find("(591)"), std::string::npos);
    // Account labels are cut to 259 bytes, never inside a character.
    gui::SetCrashAccount(std::string(258, 'a') + "张");
    EXPECT_EQ(gui::CrashAccount(), std::string(258, 'a'));
}

}  // namespace
