#include "core/interface_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "shared/base/files.h"

void CSettle::Note(uint32_t now)
{
    if (!m_pending)
        m_first = now;
    m_pending = true;
    m_last = now;
}

int64_t CSettle::DueIn(uint32_t now) const
{
    if (!m_pending)
        return -1;
    int64_t quiet = int64_t(kInterfaceQuietMs) - int64_t(uint32_t(now - m_last));
    int64_t bound = int64_t(kInterfaceSettleMaxMs) - int64_t(uint32_t(now - m_first));
    return std::max<int64_t>(0, std::min(quiet, bound));
}

void CInterfaceWatch::Follow(const std::string& name, unsigned kinds)
{
    m_kinds = kinds;
    if (name == m_name)
        return;  // also after a failure to subscribe: tried again when the name changes
    m_name = name;
    m_settle.Taken();
    m_events.Close();
    if (name.empty())
        return;
    std::string why;
    if (m_events.Open(why))
        JournalPrint(kJournalInfo, "address: following the changes of interface %s", name.c_str());
    else
        JournalPrint(kJournalWarning, "address: %s; interface %s is checked only at the periodic address check",
                     why.c_str(), name.c_str());
}

void CInterfaceWatch::OnReadable(uint32_t now)
{
    unsigned seen = m_events.Drain(m_name);
    if (m_events.Descriptor() < 0)
        JournalPrint(kJournalWarning,
                     "address: the notifications of interface %s failed; it is checked only at the periodic "
                     "address check",
                     m_name.c_str());
    if (seen & m_kinds)
        m_settle.Note(now);
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
