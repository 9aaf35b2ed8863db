#pragma once
// Named message endpoints: what top-level windows and their messages are to the programs.
//
// A process registers an endpoint under a window class name, visible or hidden, and answers the
// messages sent to it with a handler. Any process of the same user can find endpoints by class
// (FindWindow), list those of one process (CWindowIterator / CMainWindowIterator), send a message
// and wait for the answer with a time-out (SendMessageTimeout) or post one without waiting
// (PostMessage).
//
// Each endpoint is a Unix datagram socket
//     <runtime dir>/morvane-windows/<pid>.<n>.<class>.<1 visible | 0 hidden>
// where the runtime dir is $XDG_RUNTIME_DIR, else /tmp/morvane-<uid> (created 0700, must be ours).
// Endpoints whose process has ended are skipped and their socket files removed.
//
// Message ids (fixed numbers the programs exchange):
//     WM_CLOSE 0x10, WM_QUERYENDSESSION 0x11, WM_USER 0x400 (the GUI answers 0xBD1 on class
//     "MORVANEWND"; the updater's "MORVANEUPDATEWND" takes 0xBD0).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
// Real windows there (win32/window.cpp); windows.h's macros of the same names must not rename ours.
#undef FindWindow
#undef PostMessage
#undef SendMessageTimeout
#undef WM_CLOSE
#undef WM_QUERYENDSESSION
#undef WM_USER
#endif

namespace platform {

inline constexpr uint32_t WM_CLOSE = 0x10;
inline constexpr uint32_t WM_QUERYENDSESSION = 0x11;
inline constexpr uint32_t WM_USER = 0x400;

// Names one endpoint. Empty (pid 0) when nothing was found.
struct WindowRef {
    int pid = 0;
    unsigned index = 0;
    std::string className;
    bool visible = false;
    std::string path;  // the socket
    bool IsNull() const { return pid == 0; }
};

// Directory holding the endpoints, created on demand; empty when it cannot be made safely.
std::string WindowDirectory();

// A window of this process. The handler's result is the answer to SendMessageTimeout; posted
// messages run the handler too and the result is dropped.
class CWindowEndpoint {
public:
    using Handler = std::function<intptr_t(uint32_t msg, uintptr_t wparam, intptr_t lparam)>;

    CWindowEndpoint() = default;
    ~CWindowEndpoint();
    CWindowEndpoint(const CWindowEndpoint&) = delete;
    CWindowEndpoint& operator=(const CWindowEndpoint&) = delete;

    // Registers the endpoint. The class name must be non-empty and free of '/'. False on failure.
    bool Create(const std::string& className, bool visible, Handler handler);
    // Answers messages on a thread of this object until Destroy.
    bool StartThread();
    // Or answers them on the caller's thread: waits up to timeoutMs (0 = just look, negative =
    // forever) for a message, then handles every message already queued. Returns how many were
    // handled, -1 on error. Fd() becomes readable when a message waits (for an event loop).
    int Pump(int timeoutMs);
    int Fd() const { return m_fd; }
    // Unregisters; stops the thread. Messages not yet handled get no answer.
    void Destroy();
    const WindowRef& Ref() const { return m_ref; }

private:
    void HandleOne();
    void ThreadMain();

    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    Handler m_handler;
    WindowRef m_ref;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// All live endpoints, ordered by process id, then registration order.
std::vector<WindowRef> EnumWindows();

// First live endpoint of the class (exact, case-sensitive). False when there is none.
bool FindWindow(const std::string& className, WindowRef& out);

// Sends the message and waits up to timeoutMs for the answer. False (and *result = 0) when the
// endpoint is gone, its queue is full or it did not answer in time.
bool SendMessageTimeout(const WindowRef& window, uint32_t msg, uintptr_t wparam, intptr_t lparam, int timeoutMs,
                        intptr_t* result);

// Queues the message without waiting. False when the endpoint is gone or its queue is full.
bool PostMessage(const WindowRef& window, uint32_t msg, uintptr_t wparam = 0, intptr_t lparam = 0);

// Collects endpoints for which the filter holds, at most `capacity` of them, in EnumWindows order.
class CWindowIterator {
public:
    explicit CWindowIterator(size_t capacity = 1024) : m_capacity(capacity) {}
    virtual ~CWindowIterator() = default;

    // Runs the enumeration; returns the number collected.
    size_t Collect();
    size_t Count() const { return m_windows.size(); }
    const WindowRef& At(size_t i) const { return m_windows[i]; }
    // Read position: the next collected window, or an empty one past the end.
    WindowRef Next();

protected:
    // Called for every window of the enumeration: keeps it when the filter holds and there is room.
    // Returns whether to go on (always).
    virtual bool OnWindow(const WindowRef& window);
    virtual bool IsWanted(const WindowRef&) const { return true; }

private:
    std::vector<WindowRef> m_windows;
    size_t m_capacity;
    size_t m_current = 0;
};

// The windows of one process, optionally only the visible ones.
class CMainWindowIterator : public CWindowIterator {
public:
    CMainWindowIterator(int pid, bool visibleOnly, size_t capacity = 1024)
        : CWindowIterator(capacity), m_pid(pid), m_visibleOnly(visibleOnly)
    {}

protected:
    bool IsWanted(const WindowRef& window) const override
    {
        return (!m_visibleOnly || window.visible) && window.pid == m_pid;
    }

private:
    int m_pid;
    bool m_visibleOnly;
};

}  // namespace platform
