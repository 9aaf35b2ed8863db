#pragma once
// CInterfaceWatch: the worker's ear on the interface the provider takes the address from. It holds a
// subscription to the kernel's address and link notifications while an interface is followed; the
// worker polls its descriptor beside the channel. A change on that interface makes an address check
// due once the notifications have been quiet for kInterfaceQuietMs (a change usually comes as a
// burst: an address removed, another added, a link going down and up), and at the latest
// kInterfaceSettleMaxMs after the first one. Nothing runs, and no timer is set, while nothing changes.

#include <cstdint>
#include <string>

#include "core/provider/rtnetlink.h"

inline constexpr uint32_t kInterfaceQuietMs = 100;
inline constexpr uint32_t kInterfaceSettleMaxMs = 500;

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
    int64_t DueIn(uint32_t now) const;
    // A check starts now and covers the changes seen so far.
    void Taken() { m_pending = false; }

private:
    rtnl::CInterfaceEvents m_events;
    std::string m_name;
    unsigned m_kinds = 0;
    bool m_pending = false;
    uint32_t m_firstChange = 0;
    uint32_t m_lastChange = 0;
};
