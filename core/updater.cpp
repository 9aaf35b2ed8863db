#include "core/updater.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "platform/process.h"
#include "platform/program.h"
#include "platform/window.h"
#include "shared/base/files.h"

namespace {

// A killed process needs a moment to be gone from the process table; the replacement that follows
// must not see it as still running.
constexpr int kAfterKillWaitMs = 1000;

std::string UpdaterName()
{
    return std::string(kUpdaterFileName) + platform::kExeSuffix;
}

// Copies src over dst: a temporary file beside dst, with src's permission bits, flushed and renamed
// into place, so a failed copy never leaves a truncated updater and a running old copy is not hit.
bool CopyOver(const std::string& src, const std::string& dst)
{
    std::string bytes;
    mode_t mode = 0;
    if (!files::ReadAll(src, bytes, SIZE_MAX, &mode))
        return false;
    return files::ReplaceAtomically(dst, bytes, files::ReplaceOptions{mode, files::FileGroup::Writer, true});
}

}  // namespace

int FindUpdaterByName(const std::vector<int>& pids)
{
    const std::string want = UpdaterName();
    for (const int pid : pids) {
        std::string name;
        if (platform::ProcessBaseName(pid, name) && strcasecmp(name.c_str(), want.c_str()) == 0)
            return pid;
    }
    return 0;
}

int FindUpdaterByName()
{
    return FindUpdaterByName(platform::EnumProcesses());
}

int FindUpdaterByPath(const std::vector<int>& pids)
{
    const std::string want = UpdaterName();
    for (const int pid : pids) {
        std::string path;
        if (platform::ProcessImagePath(pid, path) && path.find(want) != std::string::npos)
            return pid;
    }
    return 0;
}

int FindUpdaterByPath()
{
    return FindUpdaterByPath(platform::EnumProcesses());
}

bool CloseProcessWindows(int pid, int exitWaitMs)
{
    platform::CMainWindowIterator windows(pid, true);
    windows.Collect();
    for (size_t i = 0; i < windows.Count(); ++i) {
        intptr_t answer = 0;
        if (!platform::SendMessageTimeout(windows.At(i), platform::WM_QUERYENDSESSION, 0, 0, kUpdaterQueryTimeoutMs,
                                          &answer) ||
            answer == 0)
            return false;
        platform::PostMessage(windows.At(i), platform::WM_CLOSE, 0, 0);
    }
    platform::CProcessHandle process;
    if (process.Open(pid)) {
        if (!process.Wait(exitWaitMs) && process.Terminate())
            process.Wait(kAfterKillWaitMs);
    }
    return true;
}

int StartUpdater(const std::string& programDir, const std::string& selfPath)
{
    const std::string app = programDir + platform::kPathSeparator + UpdaterName();
    return platform::StartProgramHidden(app, {"-d", selfPath});
}

void ReplaceUpdater(const std::string& programDir)
{
    if (const int pid = FindUpdaterByName())
        CloseProcessWindows(pid);
    if (FindUpdaterByName() != 0)
        return;

    const std::string name = UpdaterName();
    const std::string inUse = programDir + platform::kPathSeparator + name;
    const std::string staging = programDir + platform::kPathSeparator + "update" + platform::kPathSeparator + name;
    const std::string bak = staging + ".bak";
    if (!files::Exists(bak))
        return;
    if (files::Exists(staging) && unlink(staging.c_str()) != 0)
        return;
    // A failed move abandons the replacement for this start; the ".bak" copy stays for the next.
    if (rename(bak.c_str(), staging.c_str()) != 0)
        return;
    if (CopyOver(staging, inUse))
        unlink(staging.c_str());
}
