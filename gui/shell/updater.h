#pragma once
// The provider's updater: when to start it, and installing a newer copy of it that has been
// delivered into the update folder. The updater itself is another program ("Skelvar" beside the
// GUI); it is started with the GUI's own path followed by ",show" or ",hide".

#include <string>

namespace gui {

// Where the GUI lives. Tests point it at a directory of their own.
struct UpdaterSite {
    std::string programDir;  // with trailing separator
    std::string guiPath;     // the GUI's full path, handed to the updater
};

// The running program's directory and path.
UpdaterSite CurrentUpdaterSite();

inline constexpr const char* kUpdaterName = "Skelvar";
inline constexpr const char* kUpdaterDelivered = "update/Skelvar.bak";
inline constexpr const char* kUpdaterUnpacked = "update/Skelvar";
inline constexpr const char* kDownloadStatus = "down/haddownfileinfo.xml";
inline constexpr const char* kUpdaterWindowClass = "MORVANEUPDATEWND";
inline constexpr unsigned kUpdaterShowMessage = 0xBD0;
// How long we wait for a running updater to take the "show" message.
inline constexpr int kUpdaterAnswerMs = 5000;
// The version our updater has; a delivered copy is installed only when it is newer.
inline constexpr const char* kInstalledUpdaterVersion = "1.0.0.1";
// Version blocks larger than this are not read.
inline constexpr unsigned kMaxVersionBlock = 2000;

// At start: a complete download waiting means the updater is started visibly and true is
// returned (the GUI then ends); otherwise the updater runs hidden, or a delivered copy is put in
// place without starting it.
bool CheckUpdatesAtStart(const UpdaterSite& site);

// Whether the updater's download status says every file has arrived.
bool IsDownloadComplete(const UpdaterSite& site);

// Brings a running updater forward (show) or starts it, installing a newer delivered copy first.
// False when there was no updater to start, or it could not be started.
bool LaunchUpdater(bool show, const UpdaterSite& site);
bool LaunchUpdater(bool show);

// Whether a delivered updater with this product version text is to be installed: our version
// sorts before it as text, ignoring case.
bool IsNewerUpdaterVersion(const std::string& version);

}  // namespace gui
