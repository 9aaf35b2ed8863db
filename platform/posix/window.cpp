#include "platform/window.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"

namespace platform {

namespace {

constexpr uint32_t kMagic = 0x4D56574Du;  // "MVWM"
constexpr uint32_t kKindSend = 1;
constexpr uint32_t kKindPost = 2;

struct MessageDatagram {
    uint32_t magic;
    uint32_t kind;
    uint64_t id;
    uint32_t msg;
    uint32_t reserved;
    uint64_t wparam;
    int64_t lparam;
};

struct AnswerDatagram {
    uint32_t magic;
    uint32_t reserved;
    uint64_t id;
    int64_t result;
};

std::atomic<unsigned> g_nextIndex{0};
std::atomic<uint64_t> g_nextId{1};

// A directory we created or that already is ours and private.
bool EnsurePrivateDir(const std::string& dir)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    // Checked and narrowed through one descriptor: a link swapped in after the check is never
    // followed, so nobody else's directory gets its mode changed.
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
              ((st.st_mode & 077) == 0 || fchmod(fd, 0700) == 0);
    close(fd);
    return ok;
}

bool MakeAddress(const std::string& path, sockaddr_un& addr)
{
    addr = {};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

// "<pid>.<n>.<class>.<visible>"; the class may itself hold dots.
bool ParseName(const std::string& dir, const char* name, WindowRef& out)
{
    const std::string s = name;
    const auto a = s.find('.');
    if (a == std::string::npos || a == 0)
        return false;
    const auto b = s.find('.', a + 1);
    const auto z = s.rfind('.');
    if (b == std::string::npos || z <= b + 1 || z + 2 != s.size())
        return false;
    const char v = s[z + 1];
    if (v != '0' && v != '1')
        return false;
    char* end = nullptr;
    const long pid = std::strtol(s.c_str(), &end, 10);
    if (end != s.c_str() + a || pid <= 0)
        return false;
    const unsigned long index = std::strtoul(s.c_str() + a + 1, &end, 10);
    if (end != s.c_str() + b)
        return false;
    out.pid = static_cast<int>(pid);
    out.index = static_cast<unsigned>(index);
    out.className = s.substr(b + 1, z - b - 1);
    out.visible = v == '1';
    out.path = dir + "/" + s;
    return true;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Sends one datagram to the endpoint from `fd`. False when the endpoint is gone or full.
bool SendTo(int fd, const WindowRef& window, const MessageDatagram& m)
{
    sockaddr_un addr;
    if (window.IsNull() || !MakeAddress(window.path, addr))
        return false;
    for (;;) {
        const ssize_t n =
            sendto(fd, &m, sizeof m, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (n == static_cast<ssize_t>(sizeof m))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        // Nobody bound any more: the owner died without cleaning up.
        if (n < 0 && (errno == ECONNREFUSED) && !ProcessAlive(window.pid))
            unlink(window.path.c_str());
        return false;
    }
}

}  // namespace

std::string WindowDirectory()
{
    std::string base;
    if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        base = xdg;
    } else {
        base = "/tmp/morvane-" + std::to_string(geteuid());
        if (!EnsurePrivateDir(base))
            return {};
    }
    const std::string dir = base + "/morvane-windows";
    if (!EnsurePrivateDir(dir))
        return {};
    return dir;
}

CWindowEndpoint::~CWindowEndpoint()
{
    Destroy();
}

bool CWindowEndpoint::Create(const std::string& className, bool visible, Handler handler)
{
    Destroy();
    if (className.empty() || className.find('/') != std::string::npos || !handler)
        return false;
    const std::string dir = WindowDirectory();
    if (dir.empty())
        return false;
    WindowRef ref;
    ref.pid = static_cast<int>(getpid());
    ref.index = g_nextIndex.fetch_add(1);
    ref.className = className;
    ref.visible = visible;
    ref.path = dir + "/" + std::to_string(ref.pid) + "." + std::to_string(ref.index) + "." + className + "." +
               (visible ? "1" : "0");
    sockaddr_un addr;
    if (!MakeAddress(ref.path, addr))
        return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    unlink(ref.path.c_str());  // left by an earlier process that had our pid
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return false;
    }
    m_fd = fd;
    m_ref = ref;
    m_handler = std::move(handler);
    return true;
}

bool CWindowEndpoint::StartThread()
{
    if (m_fd < 0 || m_thread.joinable())
        return false;
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_wake[0] = m_wake[1] = -1;
        return false;
    }
    m_stop = false;
    m_thread = std::thread([this] { ThreadMain(); });
    return true;
}

void CWindowEndpoint::ThreadMain()
{
    while (!m_stop) {
        pollfd p[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        const int r = poll(p, 2, -1);
        if (r < 0 && errno != EINTR)
            break;
        if (m_stop)
            break;
        if (r > 0 && (p[0].revents & POLLIN))
            HandleOne();
    }
}

int CWindowEndpoint::Pump(int timeoutMs)
{
    if (m_fd < 0)
        return -1;
    pollfd p{m_fd, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return -1;
    int handled = 0;
    for (;;) {
        pollfd q{m_fd, POLLIN, 0};
        if (poll(&q, 1, 0) <= 0)
            break;
        HandleOne();
        ++handled;
    }
    return handled;
}

void CWindowEndpoint::HandleOne()
{
    MessageDatagram m{};
    sockaddr_un from{};
    socklen_t fromLen = sizeof from;
    const ssize_t n = recvfrom(m_fd, &m, sizeof m, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n != static_cast<ssize_t>(sizeof m) || m.magic != kMagic)
        return;  // not ours: drop it
    const intptr_t result = m_handler(m.msg, static_cast<uintptr_t>(m.wparam), static_cast<intptr_t>(m.lparam));
    if (m.kind != kKindSend || fromLen <= sizeof(sa_family_t))
        return;
    AnswerDatagram a{kMagic, 0, m.id, static_cast<int64_t>(result)};
    sendto(m_fd, &a, sizeof a, MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&from), fromLen);
}

void CWindowEndpoint::Destroy()
{
    if (m_thread.joinable()) {
        m_stop = true;
        const char c = 0;
        ssize_t w = write(m_wake[1], &c, 1);
        (void)w;
        if (m_thread.get_id() != std::this_thread::get_id())
            m_thread.join();
        else
            m_thread.detach();
    }
    for (int& fd : m_wake) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
    if (m_fd >= 0) {
        unlink(m_ref.path.c_str());
        close(m_fd);
        m_fd = -1;
    }
    m_ref = WindowRef{};
}

std::vector<WindowRef> EnumWindows()
{
    std::vector<WindowRef> out;
    const std::string dir = WindowDirectory();
    if (dir.empty())
        return out;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        WindowRef w;
        if (!ParseName(dir, e->d_name, w))
            continue;
        if (!ProcessAlive(w.pid)) {
            unlink(w.path.c_str());
            continue;
        }
        out.push_back(std::move(w));
    }
    closedir(d);
    std::sort(out.begin(), out.end(), [](const WindowRef& a, const WindowRef& b) {
        return a.pid != b.pid ? a.pid < b.pid : a.index < b.index;
    });
    return out;
}

bool FindWindow(const std::string& className, WindowRef& out)
{
    for (auto& w : EnumWindows()) {
        if (w.className == className) {
            out = std::move(w);
            return true;
        }
    }
    out = WindowRef{};
    return false;
}

bool SendMessageTimeout(const WindowRef& window, uint32_t msg, uintptr_t wparam, intptr_t lparam, int timeoutMs,
                        intptr_t* result)
{
    if (result)
        *result = 0;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Autobind gives us an abstract address the endpoint can answer to.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0) {
        close(fd);
        return false;
    }
    MessageDatagram m{
        kMagic, kKindSend, g_nextId.fetch_add(1), msg, 0, static_cast<uint64_t>(wparam), static_cast<int64_t>(lparam)};
    if (!SendTo(fd, window, m)) {
        close(fd);
        return false;
    }
    const int64_t deadline = NowMs() + (timeoutMs < 0 ? 0 : timeoutMs);
    bool answered = false;
    for (;;) {
        const int64_t left = deadline - NowMs();
        if (left < 0)
            break;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        AnswerDatagram a{};
        const ssize_t n = recv(fd, &a, sizeof a, MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(sizeof a) && a.magic == kMagic && a.id == m.id) {
            if (result)
                *result = static_cast<intptr_t>(a.result);
            answered = true;
            break;
        }
    }
    close(fd);
    return answered;
}

bool PostMessage(const WindowRef& window, uint32_t msg, uintptr_t wparam, intptr_t lparam)
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    MessageDatagram m{
        kMagic, kKindPost, g_nextId.fetch_add(1), msg, 0, static_cast<uint64_t>(wparam), static_cast<int64_t>(lparam)};
    const bool ok = SendTo(fd, window, m);
    close(fd);
    return ok;
}

size_t CWindowIterator::Collect()
{
    m_windows.clear();
    m_current = 0;
    for (const auto& w : EnumWindows()) {
        if (!OnWindow(w))
            break;
    }
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
