#include "core/log.h"

#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::time_t g_now = 0;
std::time_t FakeClock()
{
    return g_now;
}

std::time_t LocalTime(int y, int mo, int d, int h, int mi, int s)
{
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// Sends standard error to a file for the life of the object.
class StderrCapture {
public:
    StderrCapture() : m_path(std::string("/tmp/morvane-log-stderr-") + std::to_string(getpid()))
    {
        std::fflush(stderr);
        m_saved = dup(2);
        FILE* f = std::fopen(m_path.c_str(), "w");
        dup2(fileno(f), 2);
        std::fclose(f);
    }
    ~StderrCapture()
    {
        Restore();
        unlink(m_path.c_str());
    }
    std::string Text()
    {
        Restore();
        std::string out;
        files::ReadAll(m_path, out);
        return out;
    }

private:
    void Restore()
    {
        if (m_saved >= 0) {
            std::fflush(stderr);
            dup2(m_saved, 2);
            close(m_saved);
            m_saved = -1;
        }
    }
    std::string m_path;
    int m_saved = -1;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
        LogSetClock(&FakeClock);
    }
    void TearDown() override
    {
        LogClose();
        LogOpen(nullptr, 0, false);
        LogSetClock(nullptr);
    }
    std::string Read(const std::string& name)
    {
        std::string out;
        files::ReadAll(m_dir + "/" + name, out);
        return out;
    }
    CTempDir m_tmp{"morvane-log"};
    std::string m_dir;
};

}  // namespace

TEST_F(LogTest, LinesGoToTheDaysFileAndMidnightOpensTheNext)
{
    g_now = LocalTime(2026, 12, 31, 23, 59, 59);
    std::string base = m_dir + "/core";
    LogOpen(base.c_str(), 1, true);
    {
        StderrCapture err;
        LogPrint("first %d\n", 1);
        LogPrint("second\n");  // same second: same stamp
        EXPECT_EQ(err.Text(), "2026/12/31 23:59:59| first 1\n2026/12/31 23:59:59| second\n");  // echo on
    }
    g_now += 1;  // midnight
    {
        StderrCapture err;
        LogPrint("new year\n");
        EXPECT_EQ(err.Text(), "");  // the reopen turns echo off
    }
    EXPECT_EQ(Read("core_20261231.log"), "2026/12/31 23:59:59| first 1\n2026/12/31 23:59:59| second\n");
    EXPECT_EQ(Read("core_20270101.log"), "2027/01/01 00:00:00| new year\n");
    EXPECT_EQ(LogLevel(), 1);  // the level survives the reopen

    // Closing keeps the base path: a line on a later day opens that day's file again.
    LogClose();
    g_now += 86400;
    LogPrint("after close\n");
    EXPECT_EQ(Read("core_20270102.log"), "2027/01/02 00:00:00| after close\n");

    // Lines accumulate across opens of the same day (append mode).
    LogOpen(base.c_str(), 1, false);
    LogPrint("again\n");
    EXPECT_EQ(Read("core_20270102.log"), "2027/01/02 00:00:00| after close\n2027/01/02 00:00:00| again\n");
}

TEST_F(LogTest, FallsBackToStandardError)
{
    g_now = LocalTime(2026, 6, 1, 8, 0, 0);
    {
        StderrCapture err;
        LogPrint("no file yet\n");
        EXPECT_EQ(err.Text(), "2026/06/01 08:00:00| no file yet\n");
    }
    std::string missing = m_dir + "/no/such/dir/core";
    {
        StderrCapture err;
        LogOpen(missing.c_str(), 1, false);
        LogPrint("still here\n");
        EXPECT_EQ(err.Text(),
                  "2026/06/01 08:00:00| Error open log file: " + missing + "\n2026/06/01 08:00:00| still here\n");
    }
    {
        StderrCapture err;
        LogOpen(missing.c_str(), 0, false);  // level 0: the fallback is silent
        EXPECT_EQ(err.Text(), "");
    }
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave)
{
    g_now = LocalTime(2026, 6, 1, 8, 0, 0);
    std::string base = m_dir + "/mt";
    LogOpen(base.c_str(), 0, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                LogPrint("thread %d line %d %s\n", t, i, std::string(100, char('a' + t)).c_str());
        });
    for (auto& th : threads)
        th.join();
    std::string text = Read("mt_20260601.log");
    size_t lines = 0;
    for (size_t pos = 0; (pos = text.find('\n', pos)) != std::string::npos; ++pos)
        ++lines;
    EXPECT_EQ(lines, 800u);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        ASSERT_EQ(line.rfind("2026/06/01 08:00:00| thread ", 0), 0u) << line;
        char c = line.back();
        ASSERT_EQ(line.find_first_not_of(c, line.size() - 100), std::string::npos) << line;
        start = end + 1;
    }
}
