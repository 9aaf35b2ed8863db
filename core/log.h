#pragma once
// Process-wide daily log: time-stamped lines "%Y/%m/%d %H:%M:%S| text" written to "<base>_<YYYYMMDD>.log",
// or to standard error when no file is open. The first line of a new local day reopens that day's file.

#include <ctime>

// Sets the level, closes any open file and, with a base path, opens today's file (append). Falls back to
// standard error; with a base path and a level above 0 that fallback is reported on standard error.
void LogOpen(const char* basePath, int level, bool echo);
// Closes the file; lines go to standard error. The base path is kept, so a later day reopens a file.
void LogClose();
// Writes one line (printf style; callers end the format with "\n").
void LogPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The current verbosity; callers compare against it before writing detail.
int LogLevel();

// Tests replace the clock to cross midnight without waiting. nullptr restores time().
using LogClockFn = std::time_t (*)();
void LogSetClock(LogClockFn clock);

// ---- events for the system journal ----
// One line per event on standard error, led by the sd-daemon priority prefix ("<6>text"), which the
// journal reads as the line's level (SyslogLevelPrefix, on by default); outside systemd the prefix
// stays visible. Lines above the verbosity are dropped. Never pass a password or digest.
enum JournalLevel {
    kJournalError = 3,
    kJournalWarning = 4,
    kJournalNotice = 5,
    kJournalInfo = 6,
    kJournalDebug = 7,  // request and response summaries
};
void JournalPrint(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Highest level written: kJournalInfo by default, kJournalDebug with MORVANE_LOG_LEVEL=debug.
int JournalVerbosity();
void JournalSetVerbosity(int level);
