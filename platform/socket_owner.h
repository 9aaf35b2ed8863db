#pragma once
// Who owns a local socket, asked of the kernel (socket diagnostics over netlink), and whether a user
// belongs to a group. The loopback channel uses both to serve, and to talk to, its owners only; the
// web-service client asks who listens on a loopback provider port before it sends an account's digest.

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace platform {

// One netlink socket kept open for repeated questions; not shared between threads.
class CSocketOwnerLookup {
public:
    CSocketOwnerLookup() = default;
    ~CSocketOwnerLookup();
    CSocketOwnerLookup(const CSocketOwnerLookup&) = delete;
    CSocketOwnerLookup& operator=(const CSocketOwnerLookup&) = delete;

    // The user owning the UDP socket that a datagram sent from `from` to `to` would reach: the one
    // bound to `to`'s exact address and port (or the wildcard), and connected to `from` if connected
    // at all, the kernel's own choice. Both addresses are AF_INET or both AF_INET6. False when no
    // socket would take it or the kernel cannot be asked (errno says why).
    bool UdpReceiverOwner(const sockaddr* from, const sockaddr* to, uid_t& owner);

    // The user owning the far end of the TCP connection from `local` to `remote` (both local
    // addresses of one family): the socket that accepted it once accepted, until then the listener
    // holding it. False when neither exists or the kernel cannot be asked (errno says why).
    bool TcpPeerOwner(const sockaddr* local, const sockaddr* remote, uid_t& owner);

private:
    struct Found {
        uid_t uid = 0;
        unsigned inode = 0;  // 0: a socket no process holds yet (an unaccepted connection)
    };
    bool Open();
    // One exact lookup; `src` is the end the kernel looks the socket up by, as each protocol defines it.
    bool Ask(uint8_t protocol, const sockaddr* src, const sockaddr* dst, Found& found);

    int m_fd = -1;
    uint32_t m_sequence = 0;
};

// The user owning a file or directory (following a link). False when it cannot be looked at.
bool PathOwner(const std::string& path, uid_t& owner);

// True when `uid` is `gid`'s member, by its primary group or the group database. Unknown users are
// members of nothing.
bool UserInGroup(uid_t uid, gid_t gid);

// UserInGroup with answers kept for `ttlMs`, for callers asking once per datagram.
class CGroupMembershipCache {
public:
    explicit CGroupMembershipCache(int ttlMs = 10000) : m_ttlMs(ttlMs) {}
    bool IsMember(uid_t uid, gid_t gid);

private:
    struct Entry {
        bool member = false;
        int64_t expiresMs = 0;
    };
    int m_ttlMs;
    std::map<std::pair<uid_t, gid_t>, Entry> m_entries;
};

}  // namespace platform
