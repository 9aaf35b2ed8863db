#include "core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct LogState {
    std::recursive_mutex lock;  // the open path writes its own error line while holding it
    FILE* file = nullptr;       // null: the sink is standard error
    char basePath[256] = {};
    int day = -1;  // day of the year the file was opened on
    int level = 0;
    bool echo = false;
    std::time_t stampSecond = -1;
    char stamp[32] = {};
    LogClockFn clock = nullptr;
};

LogState& State()
{
    static LogState state;
    return state;
}

std::time_t Now(LogState& s)
{
    return s.clock ? s.clock() : std::time(nullptr);
}

FILE* Sink(LogState& s)
{
    return s.file ? s.file : stderr;
}

void CloseLocked(LogState& s)
{
    if (s.file) {
        std::fclose(s.file);
        s.file = nullptr;
    }
}

void OpenLocked(LogState& s, const char* basePath, int level, bool echo)
{
    s.level = level;
    CloseLocked(s);
    if (basePath) {
        std::time_t now = Now(s);
        std::tm local{};
        localtime_r(&now, &local);
        char date[16];
        std::strftime(date, sizeof date, "%Y%m%d", &local);
        // Copy first: basePath may be our own remembered buffer.
        char base[256];
        std::snprintf(base, sizeof base, "%s", basePath);
        std::string name = std::string(base) + "_" + date + ".log";
        if (name.size() > 255)
            name.resize(255);
        s.file = std::fopen(name.c_str(), "a+");
        std::memcpy(s.basePath, base, sizeof base);
        s.day = local.tm_yday;
        if (!s.file && level > 0)
            LogPrint("Error open log file: %s\n", base);
    }
    s.echo = echo;
}

}  // namespace

void LogOpen(const char* basePath, int level, bool echo)
{
    LogState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    OpenLocked(s, basePath, level, echo);
}

void LogClose()
{
    LogState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    CloseLocked(s);
}

int LogLevel()
{
    LogState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    return s.level;
}

void LogSetClock(LogClockFn clock)
{
    LogState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);
    s.clock = clock;
    s.stampSecond = -1;
}

void LogPrint(const char* format, ...)
{
    LogState& s = State();
    std::lock_guard<std::recursive_mutex> guard(s.lock);

    std::time_t now = Now(s);
    std::tm local{};
    localtime_r(&now, &local);
    if (s.basePath[0] && local.tm_yday != s.day)
        OpenLocked(s, s.basePath, s.level, false);  // a new day: that day's file, echo off

    if (now != s.stampSecond) {
        std::strftime(s.stamp, sizeof s.stamp, "%Y/%m/%d %H:%M:%S", &local);
        s.stampSecond = now;
    }

    // The stamp goes in as text, not into the format, so a '%' in it could never be misread.
    char text[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    FILE* sink = Sink(s);
    std::fprintf(sink, "%s| %s", s.stamp, text);
    std::fflush(sink);
    if (s.file && s.echo) {
        std::fprintf(stderr, "%s| %s", s.stamp, text);
        std::fflush(stderr);
    }
}

namespace {

std::atomic<int> g_journalVerbosity{-1};

int InitialVerbosity()
{
    const char* env = std::getenv("MORVANE_LOG_LEVEL");
    if (env && (std::strcmp(env, "debug") == 0 || std::strcmp(env, "7") == 0))
        return kJournalDebug;
    return kJournalInfo;
}

}  // namespace

int JournalVerbosity()
{
    int level = g_journalVerbosity.load();
    if (level < 0) {
        level = InitialVerbosity();
        g_journalVerbosity = level;
    }
    return level;
}

void JournalSetVerbosity(int level)
{
    g_journalVerbosity = level;
}

void JournalPrint(int level, const char* format, ...)
{
    if (level > JournalVerbosity())
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0)
        return;
    // One line per event: an embedded line end (a provider's fault text) would start a line without
    // a level.
    for (char* p = text; *p; ++p)
        if (*p == '\n' || *p == '\r')
            *p = ' ';
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    std::fprintf(stderr, "<%d>%s\n", level, text);
    std::fflush(stderr);
}
