#include "platform/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadLink(const std::string& path)
{
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

int ParentOf(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    int ppid = 0;
    std::sscanf(line.c_str() + close + 2, "%*c %d", &ppid);
    return ppid;
}

// Ends a started process at the end of a test, whatever happened.
struct Killer {
    int pid = 0;
    ~Killer()
    {
        platform::CProcessHandle h;
        if (pid > 0 && h.Open(pid)) {
            h.Terminate();
            h.Wait(2000);
        }
    }
};

TEST(ProcessLookup, OwnProcessIsListedWithItsImage)
{
    const auto pids = platform::EnumProcesses();
    ASSERT_FALSE(pids.empty());
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
    EXPECT_TRUE(std::binary_search(pids.begin(), pids.end(), static_cast<int>(getpid())));

    std::string path, name;
    ASSERT_TRUE(platform::ProcessImagePath(getpid(), path));
    EXPECT_EQ(path, ReadLink("/proc/self/exe"));
    ASSERT_TRUE(platform::ProcessBaseName(getpid(), name));
    EXPECT_EQ(name, path.substr(path.rfind('/') + 1));

    EXPECT_FALSE(platform::ProcessImagePath(0, path));
    EXPECT_FALSE(platform::ProcessImagePath(-5, path));
    EXPECT_FALSE(platform::ProcessAlive(0));
}

TEST(ProcessLookup, ZombieCountsAsEnded)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(0);
    // Not reaped yet: the pid exists but the process has ended.
    WaitUntil([&] { return !platform::ProcessAlive(child); }, std::chrono::seconds(2));
    EXPECT_FALSE(platform::ProcessAlive(child));
    std::string path;
    EXPECT_FALSE(platform::ProcessImagePath(child, path));
    platform::CProcessHandle h;
    EXPECT_FALSE(h.Open(child));
    waitpid(child, nullptr, 0);
}

TEST(ProcessStart, HiddenDetachedAndTerminated)
{
    Killer k;
    k.pid = platform::StartProgramHidden("/bin/sleep", {"30"});
    ASSERT_GT(k.pid, 0);
    EXPECT_TRUE(platform::ProcessAlive(k.pid));
    std::string name;
    ASSERT_TRUE(platform::ProcessBaseName(k.pid, name));
    EXPECT_EQ(name, "sleep");
    // Own session (not its leader, so it can never get a terminal), streams on /dev/null, not our child (nobody has to reap it).
    EXPECT_NE(getsid(k.pid), getsid(0));
    for (int fd = 0; fd <= 2; ++fd)
        EXPECT_EQ(ReadLink("/proc/" + std::to_string(k.pid) + "/fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_NE(ParentOf(k.pid), static_cast<int>(getpid()));

    platform::CProcessHandle h;
    ASSERT_TRUE(h.Open(k.pid));
    const auto t0 = Clock::now();
    EXPECT_FALSE(h.Wait(200));
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
    EXPECT_TRUE(h.Terminate());
    EXPECT_TRUE(h.Wait(2000));
    EXPECT_FALSE(platform::ProcessAlive(k.pid));
}

TEST(ProcessStart, ArgumentsArePassedVerbatimAndExitIsSeen)
{
    CTempDir dir("morvane-proc");
    ASSERT_TRUE(dir.Ok());
    const std::string out = dir / "out";
    // An argument with spaces and quotes must arrive as one argument.
    const int pid = platform::StartProgramHidden(
        "/bin/sh", {"-c", "printf '%s|' \"$@\" > " + out, "sh", "-d", "/opt/my dir/\"x\""});
    ASSERT_GT(pid, 0);
    platform::CProcessHandle h;
    if (h.Open(pid)) {
        EXPECT_TRUE(h.Wait(5000));
    }
    std::ifstream in(out);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "-d|/opt/my dir/\"x\"|");
}

TEST(ProcessStart, MissingProgramGivesZero)
{
    EXPECT_EQ(platform::StartProgramHidden("/nonexistent/morvane-no-such-program", {}), 0);
    EXPECT_EQ(platform::StartProgramHidden("/etc/hostname", {}), 0);  // not executable
}

TEST(ProcessLookup, ReplacedExecutableKeepsItsName)
{
    CTempDir dir("morvane-proc");
    ASSERT_TRUE(dir.Ok());
    const std::string copy = dir / "SleepCopy";
    ASSERT_EQ(std::system(("cp /bin/sleep '" + copy + "'").c_str()), 0);
    Killer k;
    k.pid = platform::StartProgramHidden(copy, {"30"});
    ASSERT_GT(k.pid, 0);
    ASSERT_EQ(unlink(copy.c_str()), 0);
    std::string path, name;
    ASSERT_TRUE(platform::ProcessImagePath(k.pid, path));
    EXPECT_EQ(path, copy);
    ASSERT_TRUE(platform::ProcessBaseName(k.pid, name));
    EXPECT_EQ(name, "SleepCopy");
}

}  // namespace
