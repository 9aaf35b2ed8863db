#include "platform/window.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

// Every test gets its own runtime directory so endpoints of other tests and programs stay out.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        m_hadOld = old != nullptr;
        if (old)
            m_old = old;
        setenv("XDG_RUNTIME_DIR", m_dir.c_str(), 1);
    }
    void TearDown() override
    {
        if (m_hadOld)
            setenv("XDG_RUNTIME_DIR", m_old.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    CTempDir m_tmp{"morvane-win"};
    std::string m_dir, m_old;
    bool m_hadOld = false;
};

TEST_F(WindowTest, FindSendAndPostOnOwnThread)
{
    std::atomic<int> posted{0};
    platform::CWindowEndpoint w;
    ASSERT_TRUE(w.Create("MORVANEWND", true, [&](uint32_t msg, uintptr_t wp, intptr_t lp) -> intptr_t {
        if (msg == 0xBD1)
            return 0;
        if (msg == platform::WM_CLOSE) {
            ++posted;
            return 0;
        }
        return static_cast<intptr_t>(msg + wp) - lp;
    }));
    ASSERT_TRUE(w.StartThread());

    platform::WindowRef found;
    ASSERT_TRUE(platform::FindWindow("MORVANEWND", found));
    EXPECT_EQ(found.pid, static_cast<int>(getpid()));
    EXPECT_TRUE(found.visible);
    EXPECT_FALSE(platform::FindWindow("morvanewnd", found));  // class names are exact
    ASSERT_TRUE(platform::FindWindow("MORVANEWND", found));

    intptr_t result = -1;
    ASSERT_TRUE(platform::SendMessageTimeout(found, 0x500, 7, 2, 1000, &result));
    EXPECT_EQ(result, 0x500 + 7 - 2);
    // Values that do not fit 32 bits travel whole.
    ASSERT_TRUE(platform::SendMessageTimeout(found, 1, 0, -0x123456789LL, 1000, &result));
    EXPECT_EQ(result, 1 + 0x123456789LL);
    ASSERT_TRUE(platform::SendMessageTimeout(found, 0xBD1, 0, 0, 1000, &result));
    EXPECT_EQ(result, 0);

    EXPECT_TRUE(platform::PostMessage(found, platform::WM_CLOSE));
    WaitUntil([&] { return posted != 0; }, std::chrono::seconds(1), std::chrono::milliseconds(5));
    EXPECT_EQ(posted, 1);

    w.Destroy();
    EXPECT_FALSE(platform::FindWindow("MORVANEWND", found));
    EXPECT_FALSE(platform::SendMessageTimeout(w.Ref(), 1, 0, 0, 100, &result));
}

TEST_F(WindowTest, PumpedByOwnerAndTimeoutWhenNotPumped)
{
    int handled = 0;
    platform::CWindowEndpoint w;
    ASSERT_TRUE(w.Create("SLOWWND", false, [&](uint32_t, uintptr_t, intptr_t) -> intptr_t {
        ++handled;
        return 5;
    }));
    // Nobody reads the queue: the sender gives up after its time-out and reports failure.
    intptr_t result = 99;
    const auto t0 = Clock::now();
    EXPECT_FALSE(platform::SendMessageTimeout(w.Ref(), 1, 0, 0, 100, &result));
    const auto took = Clock::now() - t0;
    EXPECT_EQ(result, 0);
    EXPECT_GE(took, std::chrono::milliseconds(95));
    EXPECT_LT(took, std::chrono::milliseconds(1000));

    // The late message is still queued; pumping handles it (its answer goes nowhere) and the posts.
    EXPECT_TRUE(platform::PostMessage(w.Ref(), 2));
    EXPECT_TRUE(platform::PostMessage(w.Ref(), 3));
    EXPECT_EQ(w.Pump(0), 3);
    EXPECT_EQ(handled, 3);
    EXPECT_EQ(w.Pump(10), 0);
}

TEST_F(WindowTest, IteratorFiltersByProcessVisibilityAndCapacity)
{
    auto handler = [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 1; };
    platform::CWindowEndpoint a, b, c, d;
    ASSERT_TRUE(a.Create("ONE", true, handler));
    ASSERT_TRUE(b.Create("TWO", false, handler));
    ASSERT_TRUE(c.Create("THREE", true, handler));
    ASSERT_TRUE(d.Create("dotted.class.name", true, handler));

    platform::CMainWindowIterator visible(getpid(), true);
    ASSERT_EQ(visible.Collect(), 3u);
    EXPECT_EQ(visible.At(0).className, "ONE");  // registration order
    EXPECT_EQ(visible.At(1).className, "THREE");
    EXPECT_EQ(visible.At(2).className, "dotted.class.name");
    EXPECT_EQ(visible.Next().className, "ONE");
    visible.Next();
    visible.Next();
    EXPECT_TRUE(visible.Next().IsNull());

    platform::CMainWindowIterator all(getpid(), false);
    EXPECT_EQ(all.Collect(), 4u);
    platform::CMainWindowIterator other(getpid() + 100000, false);
    EXPECT_EQ(other.Collect(), 0u);
    platform::CMainWindowIterator small(getpid(), false, 2);
    EXPECT_EQ(small.Collect(), 2u);

    platform::WindowRef found;
    ASSERT_TRUE(platform::FindWindow("dotted.class.name", found));
    EXPECT_EQ(found.index, d.Ref().index);
}

TEST_F(WindowTest, EndpointsOfDeadProcessesAreIgnoredAndRemoved)
{
    // A child registers and dies without cleaning up.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto* w = new platform::CWindowEndpoint;
        const bool ok = w->Create("ORPHANWND", true, [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 1; });
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const std::string dir = platform::WindowDirectory();
    size_t before = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        (void)e;
        ++before;
    }
    EXPECT_EQ(before, 1u);

    platform::WindowRef found;
    EXPECT_FALSE(platform::FindWindow("ORPHANWND", found));
    EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST_F(WindowTest, AnswersAcrossProcesses)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        platform::CWindowEndpoint w;
        bool quit = false;
        if (!w.Create("MORVANEUPDATEWND", true, [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
                if (msg == platform::WM_CLOSE)
                    quit = true;
                return msg == 0xBD0 ? 77 : 0;
            }))
            _exit(1);
        const char c = 1;
        if (write(ready[1], &c, 1) != 1)
            _exit(1);
        for (int i = 0; i < 100 && !quit; ++i)
            w.Pump(50);
        _exit(quit ? 0 : 3);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);

    platform::WindowRef found;
    ASSERT_TRUE(platform::FindWindow("MORVANEUPDATEWND", found));
    EXPECT_EQ(found.pid, child);
    intptr_t result = 0;
    EXPECT_TRUE(platform::SendMessageTimeout(found, 0xBD0, 0, 0, 2000, &result));
    EXPECT_EQ(result, 77);
    EXPECT_TRUE(platform::PostMessage(found, platform::WM_CLOSE));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(WindowTest, RejectsBadNamesAndUnsafeDirectories)
{
    auto handler = [](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 1; };
    platform::CWindowEndpoint w;
    EXPECT_FALSE(w.Create("", true, handler));
    EXPECT_FALSE(w.Create("../escape", true, handler));
    EXPECT_FALSE(w.Create("OK", true, nullptr));
    // Longer than a socket address holds.
    EXPECT_FALSE(w.Create(std::string(200, 'X'), true, handler));
    EXPECT_EQ(w.Fd(), -1);

    ASSERT_TRUE(w.Create("OK", true, handler));
    struct stat st {};
    ASSERT_EQ(stat(platform::WindowDirectory().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Stray files and foreign names in the directory are not windows.
    const std::string dir = platform::WindowDirectory();
    std::FILE* f = std::fopen((dir + "/notes.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    f = std::fopen((dir + "/1.x.BAD.1").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const auto all = platform::EnumWindows();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].className, "OK");
}

}  // namespace
