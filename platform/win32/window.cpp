// Windows are windows here: top-level windows of a registered class, found and messaged through
// the window manager. A WindowRef carries the window handle in `index` (handles fit 32 bits).
#include "platform/win32/compat/win32.h"

#include "platform/window.h"

#include "platform/win32/text.h"

namespace platform {
namespace {

HWND HwndOf(const WindowRef& window)
{
    return reinterpret_cast<HWND>(static_cast<intptr_t>(static_cast<int32_t>(window.index)));
}

WindowRef RefOf(HWND hwnd)
{
    WindowRef ref;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t className[256] = {};
    GetClassNameW(hwnd, className, 256);
    ref.pid = static_cast<int>(pid);
    ref.index = static_cast<unsigned>(reinterpret_cast<uintptr_t>(hwnd));
    ref.className = win32::Utf8(className);
    ref.visible = IsWindowVisible(hwnd) != FALSE;
    return ref;
}

BOOL CALLBACK Collect(HWND hwnd, LPARAM context)
{
    reinterpret_cast<std::vector<WindowRef>*>(context)->push_back(RefOf(hwnd));
    return TRUE;
}

LRESULT CALLBACK EndpointProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (auto* handler = reinterpret_cast<CWindowEndpoint::Handler*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        handler && (msg == WM_CLOSE || msg == WM_QUERYENDSESSION || msg >= WM_USER))
        return (*handler)(msg, wparam, lparam);
    return DefWindowProcW(hwnd, msg, wparam, lparam);
}

}  // namespace

std::string WindowDirectory()
{
    return {};
}

CWindowEndpoint::~CWindowEndpoint()
{
    Destroy();
}

bool CWindowEndpoint::Create(const std::string& className, bool visible, Handler handler)
{
    if (className.empty() || m_fd >= 0)
        return false;
    m_handler = std::move(handler);
    std::wstring name = win32::Wide(className);
    WNDCLASSW wc{};
    wc.lpfnWndProc = &EndpointProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name.c_str();
    RegisterClassW(&wc);  // fails harmlessly when already registered
    HWND hwnd = CreateWindowExW(0, name.c_str(), name.c_str(), visible ? WS_OVERLAPPEDWINDOW | WS_VISIBLE : 0, 0, 0, 0,
                                0, nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd)
        return false;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_handler));
    m_ref = RefOf(hwnd);
    m_fd = static_cast<int>(m_ref.index);
    return true;
}

bool CWindowEndpoint::StartThread()
{
    return false;  // a window answers on the thread that made it: Pump there
}

int CWindowEndpoint::Pump(int timeoutMs)
{
    if (m_fd < 0)
        return -1;
    if (timeoutMs != 0)
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs),
                                  QS_ALLINPUT);
    int handled = 0;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
        ++handled;
    }
    return handled;
}

void CWindowEndpoint::Destroy()
{
    if (m_fd >= 0)
        DestroyWindow(HwndOf(m_ref));
    m_fd = -1;
    m_ref = WindowRef{};
}

std::vector<WindowRef> EnumWindows()
{
    std::vector<WindowRef> windows;
    ::EnumWindows(&Collect, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

bool FindWindow(const std::string& className, WindowRef& out)
{
    HWND hwnd = ::FindWindowW(win32::Wide(className).c_str(), nullptr);
    if (!hwnd)
        return false;
    out = RefOf(hwnd);
    return true;
}

bool SendMessageTimeout(const WindowRef& window, uint32_t msg, uintptr_t wparam, intptr_t lparam, int timeoutMs,
                        intptr_t* result)
{
    DWORD_PTR answer = 0;
    bool ok = ::SendMessageTimeoutW(HwndOf(window), msg, wparam, lparam, SMTO_ABORTIFHUNG,
                                    static_cast<UINT>(timeoutMs < 0 ? 0 : timeoutMs), &answer) != 0;
    if (result)
        *result = ok ? static_cast<intptr_t>(answer) : 0;
    return ok;
}

bool PostMessage(const WindowRef& window, uint32_t msg, uintptr_t wparam, intptr_t lparam)
{
    return ::PostMessageW(HwndOf(window), msg, wparam, lparam) != 0;
}

size_t CWindowIterator::Collect()
{
    m_windows.clear();
    m_current = 0;
    for (const auto& w : EnumWindows())
        if (!OnWindow(w))
            break;
    return m_windows.size();
}

bool CWindowIterator::OnWindow(const WindowRef& window)
{
    if (IsWanted(window) && m_windows.size() < m_capacity)
        m_windows.push_back(window);
    return true;
}

WindowRef CWindowIterator::Next()
{
    if (m_current >= m_windows.size())
        return {};
    return m_windows[m_current++];
}

}  // namespace platform
