// Updater supervision against the substitute updater, started as a real process.
#include "core/updater.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "platform/window.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The lookups see every process of the machine: test cases that run updaters take turns.
        m_lock = open("/tmp/morvane-updater-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(m_lock, 0);
        ASSERT_EQ(flock(m_lock, LOCK_EX), 0);

        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
        fs::create_directory(m_dir + "/update");
        fs::create_directory(m_dir + "/run");
        fs::permissions(m_dir + "/run", fs::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (m_dir + "/run").c_str(), 1);
        m_log = m_dir + "/updater.log";
        setenv("MORVANE_FAKE_UPDATER_LOG", m_log.c_str(), 1);
        InstallUpdater(kUpdaterFileName);
    }

    void TearDown() override
    {
        for (const int pid : m_started) {
            platform::CProcessHandle h;
            if (h.Open(pid)) {
                h.Terminate();
                h.Wait(2000);
            }
        }
        unsetenv("MORVANE_FAKE_UPDATER");
        unsetenv("MORVANE_FAKE_UPDATER_LOG");
        unsetenv("XDG_RUNTIME_DIR");
        m_tmp.Remove();
        if (m_lock >= 0)
            close(m_lock);
    }

    void InstallUpdater(const std::string& name)
    {
        fs::copy_file(std::string(MORVANE_BIN_DIR) + "/fake_updater", m_dir + "/" + name,
                      fs::copy_options::overwrite_existing);
    }

    // Starts the updater the way the service does, with the given behaviour, and waits until its
    // window is up.
    int Start(const std::string& behaviour)
    {
        setenv("MORVANE_FAKE_UPDATER", behaviour.c_str(), 1);
        const int pid = StartUpdater(m_dir, "/opt/morvane/MorvaneCore");
        if (pid <= 0)
            return 0;
        m_started.push_back(pid);
        return WaitUntil([&] { return ReadFile(m_log).find("ready") != std::string::npos; }) ? pid : 0;
    }

    // Starts a copy of the updater under another file name directly.
    int StartAs(const std::string& name)
    {
        InstallUpdater(name);
        const int pid = platform::StartProgramHidden(m_dir + "/" + name, {"hidden"});
        if (pid > 0)
            m_started.push_back(pid);
        return pid;
    }

    std::string Log() const { return ReadFile(m_log); }

    int m_lock = -1;
    CTempDir m_tmp{"morvane-sup"};
    std::string m_dir;
    std::string m_log;
    std::vector<int> m_started;
};

TEST_F(UpdaterTest, StartedHiddenWithOwnPathAndFoundByNameAndPath)
{
    const int pid = Start("visible,accept");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Log(), "arg -d\narg /opt/morvane/MorvaneCore\nready\n");
    EXPECT_EQ(FindUpdaterByName({pid}), pid);
    EXPECT_EQ(FindUpdaterByPath({pid}), pid);
    EXPECT_EQ(FindUpdaterByName(), pid);
    EXPECT_EQ(FindUpdaterByPath(), pid);
    EXPECT_EQ(FindUpdaterByName({static_cast<int>(getpid())}), 0);

    // Missing updater file: nothing is started, nothing breaks.
    fs::remove(m_dir + "/" + kUpdaterFileName);
    EXPECT_EQ(StartUpdater(m_dir, "/x"), 0);
}

TEST_F(UpdaterTest, NameMatchIgnoresCaseButPathMatchDoesNot)
{
    const int lower = StartAs("skelvarcore");
    ASSERT_GT(lower, 0);
    EXPECT_EQ(FindUpdaterByName({lower}), lower);
    EXPECT_EQ(FindUpdaterByPath({lower}), 0);

    // A name that merely contains the updater's is found by path only.
    const int longer = StartAs("SkelvarCoreHelper");
    ASSERT_GT(longer, 0);
    EXPECT_EQ(FindUpdaterByName({longer}), 0);
    EXPECT_EQ(FindUpdaterByPath({longer}), longer);
}

TEST_F(UpdaterTest, AcceptingUpdaterGetsCloseAndExits)
{
    const int pid = Start("visible,accept");
    ASSERT_GT(pid, 0);
    const auto t0 = Clock::now();
    EXPECT_TRUE(CloseProcessWindows(pid));
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    EXPECT_FALSE(platform::ProcessAlive(pid));
    EXPECT_NE(Log().find("queryendsession\nclose\n"), std::string::npos);
}

TEST_F(UpdaterTest, HiddenUpdaterIsTerminatedAfterTheWaitWithoutClose)
{
    const int pid = Start("hidden");
    ASSERT_GT(pid, 0);
    const auto t0 = Clock::now();
    EXPECT_TRUE(CloseProcessWindows(pid));
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(kUpdaterExitWaitMs - 50));
    EXPECT_LT(took, std::chrono::milliseconds(kUpdaterExitWaitMs + 2000));
    EXPECT_FALSE(platform::ProcessAlive(pid));
    EXPECT_EQ(Log().find("close"), std::string::npos);
    EXPECT_EQ(Log().find("queryendsession"), std::string::npos);
}

TEST_F(UpdaterTest, UpdaterThatIgnoresCloseIsTerminated)
{
    const int pid = Start("visible,accept,ignoreclose");
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(CloseProcessWindows(pid, 300));
    EXPECT_FALSE(platform::ProcessAlive(pid));
    EXPECT_NE(Log().find("close"), std::string::npos);
}

TEST_F(UpdaterTest, RefusingOrHungUpdaterIsLeftRunning)
{
    for (const char* behaviour : {"visible,refuse", "visible,hang"}) {
        SCOPED_TRACE(behaviour);
        fs::remove(m_log);
        const int pid = Start(behaviour);
        ASSERT_GT(pid, 0);
        const auto t0 = Clock::now();
        EXPECT_FALSE(CloseProcessWindows(pid));
        // The query's own time-out, not the exit wait.
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
        EXPECT_TRUE(platform::ProcessAlive(pid));
        EXPECT_EQ(Log().find("close"), std::string::npos);
        platform::CProcessHandle h;
        ASSERT_TRUE(h.Open(pid));
        h.Terminate();
        h.Wait(2000);
    }
}

TEST_F(UpdaterTest, ReplaceInstallsTheNewCopyThroughTheStagingName)
{
    const std::string inUse = m_dir + "/SkelvarCore";
    const std::string staging = m_dir + "/update/SkelvarCore";
    const std::string bak = staging + ".bak";
    WriteFile(inUse, "old");
    WriteFile(staging, "stale staging");
    WriteFile(bak, "#!/bin/sh\nnew\n");
    fs::permissions(bak, fs::perms(0755));

    ReplaceUpdater(m_dir);
    EXPECT_EQ(ReadFile(inUse), "#!/bin/sh\nnew\n");
    EXPECT_FALSE(fs::exists(staging));
    EXPECT_FALSE(fs::exists(bak));
    // Still a program.
    EXPECT_EQ(fs::status(inUse).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    // Nothing else was left in the program directory.
    for (const auto& e : fs::directory_iterator(m_dir))
        EXPECT_TRUE(e.path().filename() == "SkelvarCore" || e.is_directory()) << e.path();
}

TEST_F(UpdaterTest, WithoutBakCopyNothingMoves)
{
    const std::string inUse = m_dir + "/SkelvarCore";
    const std::string staging = m_dir + "/update/SkelvarCore";
    WriteFile(inUse, "old");
    WriteFile(staging, "staged");
    ReplaceUpdater(m_dir);
    EXPECT_EQ(ReadFile(inUse), "old");
    EXPECT_EQ(ReadFile(staging), "staged");
}

TEST_F(UpdaterTest, RunningUpdaterIsClosedAndReplaced)
{
    const int pid = Start("visible,accept");
    ASSERT_GT(pid, 0);
    WriteFile(m_dir + "/update/SkelvarCore.bak", "new");
    ReplaceUpdater(m_dir);
    EXPECT_FALSE(platform::ProcessAlive(pid));
    EXPECT_EQ(ReadFile(m_dir + "/SkelvarCore"), "new");
}

TEST_F(UpdaterTest, RefusingUpdaterKeepsTheBakCopy)
{
    const int pid = Start("visible,refuse");
    ASSERT_GT(pid, 0);
    const std::string before = ReadFile(m_dir + "/SkelvarCore");
    WriteFile(m_dir + "/update/SkelvarCore.bak", "new");
    ReplaceUpdater(m_dir);
    EXPECT_TRUE(platform::ProcessAlive(pid));
    EXPECT_EQ(ReadFile(m_dir + "/update/SkelvarCore.bak"), "new");
    EXPECT_FALSE(fs::exists(m_dir + "/update/SkelvarCore"));
    EXPECT_EQ(ReadFile(m_dir + "/SkelvarCore"), before);
}

TEST_F(UpdaterTest, FailedCopyLeavesTheNewCopyStaged)
{
    // The updater's place is taken by a directory: the copy cannot replace it.
    fs::remove(m_dir + "/SkelvarCore");
    fs::create_directory(m_dir + "/SkelvarCore");
    WriteFile(m_dir + "/SkelvarCore/keep", "x");
    WriteFile(m_dir + "/update/SkelvarCore.bak", "new");
    ReplaceUpdater(m_dir);
    EXPECT_EQ(ReadFile(m_dir + "/update/SkelvarCore"), "new");
    EXPECT_FALSE(fs::exists(m_dir + "/update/SkelvarCore.bak"));
    EXPECT_TRUE(fs::is_directory(m_dir + "/SkelvarCore"));
    // No temporary file is left beside it.
    size_t entries = 0;
    for (const auto& e : fs::directory_iterator(m_dir)) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 3u);  // SkelvarCore/, update/, run/
}

TEST_F(UpdaterTest, UnmovableBakCopyAbandonsTheReplacement)
{
    // The staging name is a non-empty directory: it cannot be deleted, so nothing moves.
    fs::create_directory(m_dir + "/update/SkelvarCore");
    WriteFile(m_dir + "/update/SkelvarCore/x", "x");
    WriteFile(m_dir + "/update/SkelvarCore.bak", "new");
    WriteFile(m_dir + "/SkelvarCore", "old");
    ReplaceUpdater(m_dir);
    EXPECT_EQ(ReadFile(m_dir + "/update/SkelvarCore.bak"), "new");
    EXPECT_EQ(ReadFile(m_dir + "/SkelvarCore"), "old");
}

}  // namespace
