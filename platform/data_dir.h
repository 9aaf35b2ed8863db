#pragma once
// Where a program keeps its data files (user.xml, domain.xml, mapport.xml), its log and the
// updater's files. The service and the GUI must agree on it, so both ask here.

#include <string>

namespace platform {

#ifdef _WIN32
// The data directory of an installed copy, %ProgramData%\Morvane: the installer creates it.
extern const char* const kInstalledDataDirectory;
// Settings of an installed copy: the same directory, which only administrators may change.
extern const char* const kInstalledConfigDirectory;
// A service has no console: its lines (standard error) go to this file in the data directory.
inline constexpr const char* kServiceLogName = "MorvaneCore.log";
// Where a user is sent to read why the service failed.
inline constexpr const char* kServiceLogHint = "MorvaneCore.log in the data directory";
#else
// The data directory of an installed copy; the package creates it, shared by the service and the
// group "morvane".
inline constexpr const char* kInstalledDataDirectory = "/var/lib/morvane";
// Settings of an installed copy that only root may change (the address-change hook).
inline constexpr const char* kInstalledConfigDirectory = "/etc/morvane";
// Where a user is sent to read why the service failed.
inline constexpr const char* kServiceLogHint = "journalctl -u morvane";
#endif
// A file of this name beside the programs keeps the data with them (an unpacked folder).
inline constexpr const char* kPortableMarker = "portable";
// The build writes this file into its program directory.
inline constexpr const char* kBuildTreeMarker = ".morvane-build-tree";

// The data directory for the running program, in this order:
//  1. $MORVANE_DATA_DIR when set (absolute);
//  2. the program directory when it holds "portable" or the build tree's marker;
//  3. kInstalledDataDirectory when the program is installed under /usr/ or /opt/ (on Windows: under
//     %ProgramFiles%, or beside a file "installed" that the installer leaves);
//  4. the program directory when this process may write it;
//  5. kInstalledDataDirectory.
// `trailingSeparator` as for ProgramDirectory. Empty only when the program path cannot be read.
std::string DataDirectory(bool trailingSeparator);

// The same decision for a given program directory (without trailing separator), ignoring
// $MORVANE_DATA_DIR.
std::string DataDirectoryFor(const std::string& programDirectory);

}  // namespace platform
