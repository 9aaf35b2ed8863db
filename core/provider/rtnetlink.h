#pragma once
// The kernel's routing socket (rtnetlink), for what the service needs of it: the addresses of an
// interface with their flags and lifetimes (one dump), and notifications when addresses or links
// change. Only messages from the kernel are read; every read has a deadline and every list a bound.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rtnl {

// A lifetime without end (IFA_CACHEINFO).
inline constexpr uint32_t kForever = 0xFFFFFFFFu;
// At most this many addresses are kept from one dump.
inline constexpr size_t kMaxAddresses = 1024;

// One address of an interface, as RTM_NEWADDR describes it.
struct AddressRecord {
    int family = 0;  // AF_INET or AF_INET6
    uint32_t ifindex = 0;
    uint8_t prefixLength = 0;
    uint8_t scope = 0;
    uint32_t flags = 0;                    // IFA_F_*, the 32-bit IFA_FLAGS when the kernel gives it
    uint32_t preferredSeconds = kForever;  // remaining, from IFA_CACHEINFO
    uint32_t validSeconds = kForever;
    std::array<uint8_t, 16> address{};  // IFA_LOCAL, else IFA_ADDRESS; IPv4 in the first 4 bytes
};

// Appends the RTM_NEWADDR records of one datagram of rtnetlink messages to `out` (at most
// kMaxAddresses in all), of the interface `ifindex` only unless it is 0. `done` is set at NLMSG_DONE, `interrupted` when the kernel says the dump
// changed under it, `error` to the errno of an NLMSG_ERROR. Only messages with sequence `sequence`
// count (0: any). False when the datagram is malformed.
struct DumpState {
    bool done = false;
    bool interrupted = false;
    int error = 0;
};
bool ParseAddresses(const void* data, size_t size, uint32_t sequence, uint32_t ifindex, std::vector<AddressRecord>& out,
                    DumpState& state);

// The addresses of `family` (AF_INET, AF_INET6 or AF_UNSPEC) on the interface with index `ifindex`
// (0: every interface), read with one dump. False with the reason when no complete answer came
// within `timeoutMs`.
bool ReadAddresses(int family, uint32_t ifindex, std::vector<AddressRecord>& out, std::string& why,
                   int timeoutMs = 1000);

// What a batch of notifications touched on the watched interface.
enum EventKind : unsigned {
    kIPv4Address = 1u,
    kIPv6Address = 2u,
    kLink = 4u,
    kOverrun = 8u,  // notifications were lost: anything may have changed
};

// Which changes on the interface `ifindex` (or named `name`: a link message for an interface that is
// gone no longer has an index to compare) one datagram of notifications reports, as EventKind bits.
unsigned ClassifyEvents(const void* data, size_t size, uint32_t ifindex, const std::string& name);

// A subscription to address and link notifications (RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR,
// RTNLGRP_LINK). The descriptor goes into the caller's poll(); nothing wakes up while nothing changes.
class CInterfaceEvents {
public:
    CInterfaceEvents() = default;
    ~CInterfaceEvents();
    CInterfaceEvents(const CInterfaceEvents&) = delete;
    CInterfaceEvents& operator=(const CInterfaceEvents&) = delete;

    bool Open(std::string& why);
    void Close();
    int Descriptor() const { return m_socket; }
    // Reads what is queued (without waiting) and says what it changed on the interface `name`. A
    // socket that fails for another reason than an overrun is closed (Descriptor() then is -1).
    unsigned Drain(const std::string& name);

private:
    int m_socket = -1;
};

}  // namespace rtnl
