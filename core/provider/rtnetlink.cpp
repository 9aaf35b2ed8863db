#include "core/provider/rtnetlink.h"

#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace rtnl {

namespace {

// Big enough for any one datagram the kernel sends: it sizes dump chunks to the reader's buffer,
// up to 32 KiB.
constexpr size_t kBufferSize = 32768;
// One drain reads at most this many datagrams; poll() reports the rest at once.
constexpr int kMaxReadsPerDrain = 256;
// A dump the kernel reports as changed while it ran is asked again this often at most.
constexpr int kDumpTries = 3;

size_t Align(size_t n)
{
    return (n + NLMSG_ALIGNTO - 1) & ~size_t(NLMSG_ALIGNTO - 1);
}

// Calls visit(header, payload, payloadSize) for each message; the data may be unaligned (copies are
// read). False when a length runs past the datagram.
template <class Visit>
bool ForEachMessage(const void* data, size_t size, Visit visit)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    size_t at = 0;
    while (size - at >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, bytes + at, sizeof header);
        if (header.nlmsg_len < NLMSG_HDRLEN || header.nlmsg_len > size - at)
            return false;
        visit(header, bytes + at + NLMSG_HDRLEN, size_t(header.nlmsg_len) - NLMSG_HDRLEN);
        at += Align(header.nlmsg_len);
        if (at > size)
            break;
    }
    return true;
}

// Calls visit(type, payload, payloadSize) for each attribute; stops at a malformed one.
template <class Visit>
void ForEachAttribute(const uint8_t* bytes, size_t size, Visit visit)
{
    size_t at = 0;
    while (size - at >= sizeof(rtattr)) {
        rtattr attribute;
        std::memcpy(&attribute, bytes + at, sizeof attribute);
        if (attribute.rta_len < sizeof attribute || attribute.rta_len > size - at)
            return;
        visit(attribute.rta_type & NLA_TYPE_MASK, bytes + at + RTA_LENGTH(0),
              size_t(attribute.rta_len) - RTA_LENGTH(0));
        at += Align(attribute.rta_len);
        if (at > size)
            return;
    }
}

size_t AddressLength(int family)
{
    return family == AF_INET ? 4 : family == AF_INET6 ? 16 : 0;
}

// One RTM_NEWADDR payload; false when it is not an IPv4 or IPv6 address.
bool ReadRecord(const uint8_t* payload, size_t size, AddressRecord& record)
{
    ifaddrmsg message;
    if (size < sizeof message)
        return false;
    std::memcpy(&message, payload, sizeof message);
    size_t length = AddressLength(message.ifa_family);
    if (length == 0)
        return false;
    record.family = message.ifa_family;
    record.ifindex = message.ifa_index;
    record.prefixLength = message.ifa_prefixlen;
    record.scope = message.ifa_scope;
    record.flags = message.ifa_flags;
    bool haveLocal = false, haveAddress = false;
    size_t offset = NLMSG_ALIGN(sizeof message);
    if (offset > size)
        return false;
    ForEachAttribute(payload + offset, size - offset, [&](unsigned type, const uint8_t* value, size_t n) {
        if ((type == IFA_LOCAL || (type == IFA_ADDRESS && !haveLocal)) && n == length) {
            // On a point-to-point link IFA_ADDRESS is the peer; IFA_LOCAL is ours.
            std::memcpy(record.address.data(), value, length);
            haveLocal = haveLocal || type == IFA_LOCAL;
            haveAddress = true;
        } else if (type == IFA_FLAGS && n >= sizeof(uint32_t)) {
            std::memcpy(&record.flags, value, sizeof(uint32_t));
        } else if (type == IFA_CACHEINFO && n >= sizeof(ifa_cacheinfo)) {
            ifa_cacheinfo info;
            std::memcpy(&info, value, sizeof info);
            record.preferredSeconds = info.ifa_prefered;
            record.validSeconds = info.ifa_valid;
        }
    });
    return haveAddress;
}

std::string LinkName(const uint8_t* payload, size_t size)
{
    std::string name;
    size_t offset = NLMSG_ALIGN(sizeof(ifinfomsg));
    if (offset > size)
        return name;
    ForEachAttribute(payload + offset, size - offset, [&](unsigned type, const uint8_t* value, size_t n) {
        if (type == IFLA_IFNAME)
            name.assign(reinterpret_cast<const char*>(value), strnlen(reinterpret_cast<const char*>(value), n));
    });
    return name;
}

int64_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One datagram from the kernel (others are dropped) within the deadline; its size, 0 on a time-out,
// -1 on an error (errno).
ssize_t ReceiveFromKernel(int socket, uint8_t* buffer, size_t size, int64_t deadline)
{
    for (;;) {
        int64_t left = deadline - NowMs();
        if (left <= 0)
            return 0;
        pollfd pfd{socket, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return -1;
        if (ready <= 0)
            continue;
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        ssize_t n =
            ::recvfrom(socket, buffer, size, MSG_DONTWAIT | MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
            return -1;
        if (from.nl_pid != 0)
            continue;  // another process on this socket's address, not the kernel
        if (size_t(n) > size) {
            errno = EMSGSIZE;
            return -1;
        }
        return n;
    }
}

}  // namespace

bool ParseAddresses(const void* data, size_t size, uint32_t sequence, uint32_t ifindex, std::vector<AddressRecord>& out,
                    DumpState& state)
{
    return ForEachMessage(data, size, [&](const nlmsghdr& header, const uint8_t* payload, size_t n) {
        if (sequence != 0 && header.nlmsg_seq != sequence)
            return;
        if (header.nlmsg_flags & NLM_F_DUMP_INTR)
            state.interrupted = true;
        if (header.nlmsg_type == NLMSG_DONE) {
            // A dump that failed part-way ends with the (negative) error in place of the count.
            int32_t status = 0;
            if (n >= sizeof status)
                std::memcpy(&status, payload, sizeof status);
            state.error = status < 0 ? -status : 0;
            state.done = true;
        } else if (header.nlmsg_type == NLMSG_ERROR) {
            nlmsgerr error;
            if (n >= sizeof error) {
                std::memcpy(&error, payload, sizeof error);
                state.error = error.error < 0 ? -error.error : error.error;
            } else {
                state.error = EPROTO;
            }
        } else if (header.nlmsg_type == RTM_NEWADDR && out.size() < kMaxAddresses) {
            AddressRecord record;
            if (ReadRecord(payload, n, record) && (ifindex == 0 || record.ifindex == ifindex))
                out.push_back(record);
        }
    });
}

bool ReadAddresses(int family, uint32_t ifindex, std::vector<AddressRecord>& out, std::string& why, int timeoutMs)
{
    static std::atomic<uint32_t> s_sequence{1};
    int socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (socket < 0) {
        why = std::string("no routing socket: ") + std::strerror(errno);
        return false;
    }
    // Lets the kernel pick this interface's addresses itself; older kernels ignore it and the
    // records are picked here.
    int one = 1;
    ::setsockopt(socket, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);

    // On the heap and only while reading: an idle service keeps nothing of it.
    std::vector<uint64_t> storage(kBufferSize / sizeof(uint64_t));
    uint8_t* buffer = reinterpret_cast<uint8_t*>(storage.data());
    int64_t deadline = NowMs() + timeoutMs;
    bool complete = false;
    for (int attempt = 0; attempt < kDumpTries && !complete; ++attempt) {
        struct {
            nlmsghdr header;
            ifaddrmsg message;
        } request{};
        uint32_t sequence = s_sequence.fetch_add(1) | 1u;  // never 0, which would match anything
        request.header.nlmsg_len = sizeof request;
        request.header.nlmsg_type = RTM_GETADDR;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = sequence;
        request.message.ifa_family = static_cast<uint8_t>(family);
        request.message.ifa_index = ifindex;
        sockaddr_nl kernel{};
        kernel.nl_family = AF_NETLINK;
        if (::sendto(socket, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
            why = std::string("cannot ask the kernel for the addresses: ") + std::strerror(errno);
            break;
        }
        out.clear();
        DumpState state;
        while (!state.done && state.error == 0) {
            ssize_t n = ReceiveFromKernel(socket, buffer, kBufferSize, deadline);
            if (n <= 0) {
                why = n == 0 ? "the kernel did not list the addresses in time"
                             : std::string("cannot read the addresses: ") + std::strerror(errno);
                break;
            }
            if (!ParseAddresses(buffer, size_t(n), sequence, ifindex, out, state)) {
                why = "malformed address list from the kernel";
                break;
            }
        }
        if (state.error != 0)
            why = std::string("the kernel refused to list the addresses: ") + std::strerror(state.error);
        if (!state.done || state.error != 0)
            break;
        complete = !state.interrupted;
        if (!complete)
            why = "the addresses kept changing while they were listed";
    }
    ::close(socket);
    if (!complete)
        out.clear();
    return complete;
}

unsigned ClassifyEvents(const void* data, size_t size, uint32_t ifindex, const std::string& name)
{
    unsigned kinds = 0;
    ForEachMessage(data, size, [&](const nlmsghdr& header, const uint8_t* payload, size_t n) {
        if (header.nlmsg_type == RTM_NEWADDR || header.nlmsg_type == RTM_DELADDR) {
            ifaddrmsg message;
            if (n < sizeof message)
                return;
            std::memcpy(&message, payload, sizeof message);
            if (ifindex == 0 || message.ifa_index != ifindex)
                return;
            if (message.ifa_family == AF_INET)
                kinds |= kIPv4Address;
            else if (message.ifa_family == AF_INET6)
                kinds |= kIPv6Address;
        } else if (header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK) {
            ifinfomsg message;
            if (n < sizeof message)
                return;
            std::memcpy(&message, payload, sizeof message);
            if ((ifindex != 0 && uint32_t(message.ifi_index) == ifindex) ||
                (!name.empty() && LinkName(payload, n) == name))
                kinds |= kLink;
        }
    });
    return kinds;
}

CInterfaceEvents::~CInterfaceEvents()
{
    Close();
}

bool CInterfaceEvents::Open(std::string& why)
{
    Close();
    m_socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (m_socket < 0) {
        why = std::string("no routing socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    bool ok = ::bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    for (int group : {RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV6_IFADDR, RTNLGRP_LINK})
        ok = ok && ::setsockopt(m_socket, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) == 0;
    if (!ok) {
        why = std::string("cannot subscribe to address changes: ") + std::strerror(errno);
        Close();
    }
    return ok;
}

void CInterfaceEvents::Close()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
}

unsigned CInterfaceEvents::Drain(const std::string& name)
{
    if (m_socket < 0)
        return 0;
    // Looked up each time: the interface may have been created, removed or renamed since.
    uint32_t ifindex = if_nametoindex(name.c_str());
    std::vector<uint64_t> storage(kBufferSize / sizeof(uint64_t));
    uint8_t* buffer = reinterpret_cast<uint8_t*>(storage.data());
    unsigned kinds = 0;
    for (int i = 0; i < kMaxReadsPerDrain; ++i) {
        sockaddr_nl from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(m_socket, buffer, kBufferSize, MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ENOBUFS) {
            kinds |= kOverrun;  // the queue overflowed: what was lost may have been ours
            continue;
        }
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Broken for good: closed, so that poll() does not report it again and again.
                Close();
                kinds |= kOverrun;
            }
            break;
        }
        if (from.nl_pid != 0)
            continue;
        if (size_t(n) > kBufferSize) {
            kinds |= kOverrun;
            continue;
        }
        kinds |= ClassifyEvents(buffer, size_t(n), ifindex, name);
    }
    return kinds;
}

}  // namespace rtnl
