#pragma once
// The running program's own path and directory.

#include <string>

namespace platform {

#ifdef _WIN32
// Separator between a directory and a file name on this system ('/' is taken too).
inline constexpr char kPathSeparator = '\\';
// Suffix of executable file names on this system.
inline constexpr const char* kExeSuffix = ".exe";
#else
// Separator between a directory and a file name on this system.
inline constexpr char kPathSeparator = '/';
// Suffix of executable file names on this system.
inline constexpr const char* kExeSuffix = "";
#endif

// Full path of the running executable; empty when it cannot be read.
std::string ProgramPath();

// Directory of the running executable. The service wants it without trailing separator, the GUI
// with it; `trailingSeparator` picks the form.
std::string ProgramDirectory(bool trailingSeparator);

}  // namespace platform
