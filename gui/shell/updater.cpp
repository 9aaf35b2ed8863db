#include "gui/shell/updater.h"

#include <stdio.h>
#include <strings.h>
#include <unistd.h>

#include <cstdint>

#include "platform/process.h"
#include "platform/program.h"
#include "platform/version.h"
#include "platform/window.h"
#include "shared/base/files.h"
#include "shared/xml/xml_document.h"

namespace gui {

namespace {

bool RemoveFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

// Copies `from` over `to` through a temporary file renamed into place, so a half-written updater
// never stands where the GUI starts it, and a running one is replaced rather than overwritten. The
// copy keeps the permission bits of `from`; nothing standing at `to` is followed.
bool CopyOver(const std::string& from, const std::string& to)
{
    std::string bytes;
    mode_t mode = 0;
    return files::ReadAll(from, bytes, SIZE_MAX, &mode) &&
           files::ReplaceAtomically(to, bytes, files::ReplaceOptions{mode, files::FileGroup::Writer, true});
}

// "update/Skelvar.bak" becomes "update/Skelvar", replacing an earlier one. False when the rename
// fails; the delivered copy then stays for the next attempt.
bool UnpackDelivered(const UpdaterSite& site)
{
    const std::string unpacked = site.programDir + kUpdaterUnpacked;
    if (files::Exists(unpacked))
        RemoveFile(unpacked);
    return ::rename((site.programDir + kUpdaterDelivered).c_str(), unpacked.c_str()) == 0;
}

bool StartUpdater(bool show, const UpdaterSite& site)
{
    // The updater decides from the argument whether to show a window; the GUI does not wait.
    const std::string program = site.programDir + kUpdaterName;
    if (!files::Exists(program))
        return false;
    return platform::StartProgramHidden(program, {site.guiPath + (show ? ",show" : ",hide")}) != 0;
}

}  // namespace

UpdaterSite CurrentUpdaterSite()
{
    return UpdaterSite{platform::ProgramDirectory(true), platform::ProgramPath()};
}

bool IsNewerUpdaterVersion(const std::string& version)
{
    return ::strcasecmp(kInstalledUpdaterVersion, version.c_str()) < 0;
}

bool IsDownloadComplete(const UpdaterSite& site)
{
    const std::string path = site.programDir + kDownloadStatus;
    if (!files::Exists(path))
        return false;
    CXmlDocument doc;
    doc.LoadFile(path);  // a damaged file may still name PROG; the search decides
    if (!doc.FindElement("PROG") || !doc.EnterElement() || !doc.FindElement("TYPE"))
        return false;
    do {
        while (doc.FindChildElement("FILEDATA")) {
            if (doc.ChildElementText() != "2")
                return false;
        }
    } while (doc.FindElement(nullptr));
    return true;
}

bool LaunchUpdater(bool show, const UpdaterSite& site)
{
    platform::WindowRef window;
    if (platform::FindWindow(kUpdaterWindowClass, window)) {
        if (show) {
            intptr_t answer = 0;
            platform::SendMessageTimeout(window, kUpdaterShowMessage, 0, 0, kUpdaterAnswerMs, &answer);
        }
        return true;
    }
    if (files::Exists(site.programDir + kUpdaterDelivered) && UnpackDelivered(site)) {
        const std::string unpacked = site.programDir + kUpdaterUnpacked;
        if (IsNewerUpdaterVersion(platform::ProductVersionOf(unpacked, kMaxVersionBlock))) {
            if (CopyOver(unpacked, site.programDir + kUpdaterName))
                RemoveFile(unpacked);
        } else {
            RemoveFile(unpacked);
        }
    }
    return StartUpdater(show, site);
}

bool LaunchUpdater(bool show)
{
    return LaunchUpdater(show, CurrentUpdaterSite());
}

bool CheckUpdatesAtStart(const UpdaterSite& site)
{
    if (files::Exists(site.programDir + kUpdaterName)) {
        if (IsDownloadComplete(site)) {
            LaunchUpdater(true, site);
            return true;
        }
        LaunchUpdater(false, site);
        return false;
    }
    if (files::Exists(site.programDir + kUpdaterDelivered) && UnpackDelivered(site)) {
        const std::string unpacked = site.programDir + kUpdaterUnpacked;
        if (CopyOver(unpacked, site.programDir + kUpdaterName))
            RemoveFile(unpacked);
    }
    return false;
}

}  // namespace gui
