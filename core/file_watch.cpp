// CFileWatch over inotify: its descriptor is the one the worker polls, and no thread is needed.
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/interface_watch.h"
#include "shared/base/files.h"

struct CFileWatch::Watcher {};

CFileWatch::CFileWatch() = default;

CFileWatch::~CFileWatch()
{
    Close();
}

bool CFileWatch::Open(const std::string& path, std::string& why)
{
    Close();
    size_t slash = path.rfind('/');
    m_name = slash == std::string::npos ? path : path.substr(slash + 1);
    m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Replaced atomically (moved in), written in place, created or removed; not every write (IN_MODIFY):
    // a file is looked at once it is complete.
    if (m_fd < 0 || inotify_add_watch(m_fd, files::DirName(path).c_str(),
                                      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR) < 0) {
        why = std::string("cannot watch ") + files::DirName(path) + ": " + std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

void CFileWatch::Close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void CFileWatch::OnReadable(uint32_t now)
{
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                Close();  // the file is then looked at before each provider call only
            return;
        }
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            // The name is padded with zero bytes; an overflow may have dropped the one that mattered.
            if ((event->len && m_name == event->name) || (event->mask & IN_Q_OVERFLOW))
                m_settle.Note(now);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
}
