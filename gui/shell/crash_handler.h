#pragma once
// Crash reporting: when the GUI dies of a fatal signal it writes a crash report beside itself (the
// program's path with ".dmp" for its extension) and starts the uploader ("Fennick" beside the GUI)
// with
//     -f <report> -t <program> -v <a.b.c.d> -a <account> <pid>
// then ends with the signal's default action.
//
// Everything the signal handler needs is prepared when the handler is installed: the handler
// itself allocates nothing and takes no locks.

#include <cstddef>
#include <string>

namespace gui {

inline constexpr const char* kUploaderName = "Fennick";
inline constexpr const char* kDefaultCrashAccount = "Morvane";
// Texts kept for the report are cut to this many bytes.
inline constexpr size_t kCrashTextMax = 259;

// Installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT, for the running program.
// `uploaderPath` empty: report only, no upload. Prints "(588): ..." or "(591): ..." on standard
// output and installs nothing when the program's path is unknown or too long. True when installed.
bool InstallCrashHandler(const std::string& uploaderPath, const std::string& label);
// The same for a given program path (the report goes beside it).
bool InstallCrashHandlerFor(const std::string& modulePath, const std::string& uploaderPath, const std::string& label);

// The account named in later reports (after a successful login).
void SetCrashAccount(const std::string& name);

// The report's path for a program path: the extension of the file name replaced by ".dmp", or
// ".dmp" appended when the name has none.
std::string CrashDumpPath(const std::string& modulePath);

// What an installed handler would use now (for tests and diagnostics).
std::string CrashReportPath();
std::string CrashAccount();

}  // namespace gui
