#pragma once
// CInterfaceWatch: the worker's ear on the interface the provider takes the address from. It holds a
// subscription to the kernel's address and link notifications while an interface is followed; the
// worker polls its descriptor beside the channel. A change on that interface makes an address check
// due once the notifications have been quiet for kInterfaceQuietMs (a change usually comes as a
// burst: an address removed, another added, a link going down and up), and at the latest
// kInterfaceSettleMaxMs after the first one. Nothing runs, and no timer is set, while nothing changes.

#include <cstdint>
#include <memory>
#include <string>

#include "core/provider/rtnetlink.h"

inline constexpr uint32_t kInterfaceQuietMs = 100;
inline constexpr uint32_t kInterfaceSettleMaxMs = 500;

// A burst of changes settling: due kInterfaceQuietMs after the last change, at the latest
// kInterfaceSettleMaxMs after the first.
class CSettle {
public:
    void Note(uint32_t now);
    // Milliseconds until due (0: now), or -1 while no change waits.
    int64_t DueIn(uint32_t now) const;
    void Taken() { m_pending = false; }

private:
    bool m_pending = false;
    uint32_t m_first = 0;
    uint32_t m_last = 0;
};

class CInterfaceWatch {
public:
    // Follows the interface `name` for the changes `kinds` (rtnl::EventKind bits); an empty name
    // follows nothing. Cheap when nothing changed since the last call.
    void Follow(const std::string& name, unsigned kinds);
    // For the worker's poll(); -1 while nothing is followed.
    int Descriptor() const { return m_events.Descriptor(); }
    // The descriptor is readable: reads what is queued; a change on the interface starts or
    // prolongs the wait for quiet.
    void OnReadable(uint32_t now);
    // Milliseconds until a check is due (0: now), or -1 while no change waits for one.
    int64_t DueIn(uint32_t now) const { return m_settle.DueIn(now); }
    // A check starts now and covers the changes seen so far.
    void Taken() { m_settle.Taken(); }

private:
    rtnl::CInterfaceEvents m_events;
    std::string m_name;
    unsigned m_kinds = 0;
    CSettle m_settle;
};

// CFileWatch: the worker's eye on one file of a directory (provider.conf): a descriptor that waits in
// the worker's poll() beside the channel (inotify on the directory; on Windows a wake event that a
// thread waiting for the directory's changes signals). The file replaced,
// written, created or removed makes a look due as a change of the interface does; other files of the
// directory are read and dropped, and nothing wakes up while nothing is written there.
class CFileWatch {
public:
    CFileWatch();
    ~CFileWatch();
    CFileWatch(const CFileWatch&) = delete;
    CFileWatch& operator=(const CFileWatch&) = delete;

    bool Open(const std::string& path, std::string& why);
    void Close();
    int Descriptor() const { return m_fd; }
    void OnReadable(uint32_t now);
    int64_t DueIn(uint32_t now) const { return m_settle.DueIn(now); }
    void Taken() { m_settle.Taken(); }

private:
    struct Watcher;  // where the system needs a thread to wait for the directory
    int m_fd = -1;
    std::string m_name;
    CSettle m_settle;
    std::unique_ptr<Watcher> m_watcher;
};
