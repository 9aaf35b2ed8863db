// CFileWatch on Windows: poll() waits on sockets only, so a thread waits for the directory's changes
// (ReadDirectoryChangesW) and signals a wake event, which is what the worker polls. The thread sleeps
// until the directory changes or the watch is closed: nothing wakes up while nothing is written there.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "core/interface_watch.h"
#include "platform/socket.h"
#include "platform/win32/compat/win32.h"
#include "platform/win32/text.h"

struct CFileWatch::Watcher {
    HANDLE directory = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
    HANDLE ready = nullptr;  // the overlapped read's event
    std::wstring name;
    platform::CWakeEvent wake;
    std::atomic<bool> failed{false};
    std::thread thread;

    ~Watcher()
    {
        if (thread.joinable()) {
            SetEvent(stop);
            thread.join();
        }
        for (HANDLE h : {stop, ready})
            if (h)
                CloseHandle(h);
        if (directory != INVALID_HANDLE_VALUE)
            CloseHandle(directory);
    }

    // The file replaced (renamed in), written, created or removed; other files are read and dropped.
    void Run()
    {
        alignas(DWORD) char buffer[8192];
        OVERLAPPED overlapped{};
        overlapped.hEvent = ready;
        const DWORD filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE;
        for (;;) {
            ResetEvent(ready);
            if (!ReadDirectoryChangesW(directory, buffer, sizeof buffer, FALSE, filter, nullptr, &overlapped,
                                       nullptr)) {
                failed = true;
                wake.Signal();
                return;
            }
            HANDLE both[2] = {stop, ready};
            DWORD which = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            DWORD got = 0;
            if (which != WAIT_OBJECT_0 + 1) {
                // Closed: the read must be over before its buffer goes.
                CancelIoEx(directory, &overlapped);
                GetOverlappedResult(directory, &overlapped, &got, TRUE);
                return;
            }
            if (!GetOverlappedResult(directory, &overlapped, &got, FALSE)) {
                failed = true;
                wake.Signal();
                return;
            }
            if (got == 0 || Names(buffer, got))  // 0: more changed than the buffer held
                wake.Signal();
        }
    }

    bool Names(const char* buffer, DWORD size) const
    {
        for (DWORD at = 0; at + sizeof(FILE_NOTIFY_INFORMATION) <= size;) {
            const auto* entry = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
            std::wstring changed(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (CompareStringOrdinal(changed.c_str(), int(changed.size()), name.c_str(), int(name.size()), TRUE) ==
                CSTR_EQUAL)
                return true;
            if (entry->NextEntryOffset == 0)
                break;
            at += entry->NextEntryOffset;
        }
        return false;
    }
};

CFileWatch::CFileWatch() = default;

CFileWatch::~CFileWatch()
{
    Close();
}

bool CFileWatch::Open(const std::string& path, std::string& why)
{
    Close();
    size_t slash = path.find_last_of("/\\");
    std::string directory = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto watcher = std::make_unique<Watcher>();
    watcher->name = platform::win32::Wide(m_name);
    watcher->directory = CreateFileW(platform::win32::Wide(directory).c_str(), FILE_LIST_DIRECTORY,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    DWORD error = GetLastError();
    watcher->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    watcher->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watcher->directory == INVALID_HANDLE_VALUE || !watcher->stop || !watcher->ready || !watcher->wake.Open()) {
        why = "cannot watch " + directory + ": " +
              std::strerror(
                  platform::win32::ErrnoOf(watcher->directory == INVALID_HANDLE_VALUE ? error : GetLastError()));
        return false;
    }
    Watcher* w = watcher.get();
    watcher->thread = std::thread([w] { w->Run(); });
    m_fd = watcher->wake.Fd();
    m_watcher = std::move(watcher);
    return true;
}

void CFileWatch::Close()
{
    m_watcher.reset();
    m_fd = -1;
}

void CFileWatch::OnReadable(uint32_t now)
{
    if (!m_watcher)
        return;
    m_watcher->wake.Drain();
    if (m_watcher->failed)
        Close();  // the file is then looked at before each provider call only
    else
        m_settle.Note(now);
}
