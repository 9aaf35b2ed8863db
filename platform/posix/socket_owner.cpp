#include "platform/socket_owner.h"

#include <grp.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

CSocketOwnerLookup::~CSocketOwnerLookup()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool CSocketOwnerLookup::Open()
{
    if (m_fd >= 0)
        return true;
    m_fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (m_fd < 0)
        return false;
    // The kernel answers while handling the request; the limit only guards against the unforeseen.
    timeval timeout{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return true;
}

bool CSocketOwnerLookup::Ask(uint8_t protocol, const sockaddr* src, const sockaddr* dst, Found& found)
{
    if (!src || !dst || src->sa_family != dst->sa_family || (src->sa_family != AF_INET && src->sa_family != AF_INET6)) {
        errno = EAFNOSUPPORT;
        return false;
    }
    if (!Open())
        return false;

    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++m_sequence;
    inet_diag_req_v2& request = message.request;
    request.sdiag_family = static_cast<uint8_t>(src->sa_family);
    request.sdiag_protocol = protocol;
    request.idiag_states = ~0u;
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (src->sa_family == AF_INET) {
        const auto* f = reinterpret_cast<const sockaddr_in*>(src);
        const auto* t = reinterpret_cast<const sockaddr_in*>(dst);
        request.id.idiag_sport = f->sin_port;
        request.id.idiag_dport = t->sin_port;
        std::memcpy(request.id.idiag_src, &f->sin_addr, sizeof f->sin_addr);
        std::memcpy(request.id.idiag_dst, &t->sin_addr, sizeof t->sin_addr);
    } else {
        const auto* f = reinterpret_cast<const sockaddr_in6*>(src);
        const auto* t = reinterpret_cast<const sockaddr_in6*>(dst);
        request.id.idiag_sport = f->sin6_port;
        request.id.idiag_dport = t->sin6_port;
        std::memcpy(request.id.idiag_src, &f->sin6_addr, sizeof f->sin6_addr);
        std::memcpy(request.id.idiag_dst, &t->sin6_addr, sizeof t->sin6_addr);
        request.id.idiag_if = t->sin6_scope_id ? t->sin6_scope_id : f->sin6_scope_id;
    }

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = ::sendto(m_fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof message))
        return false;

    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        size_t left = static_cast<size_t>(n);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, left);
             header = NLMSG_NEXT(header, left)) {
            if (header->nlmsg_seq != m_sequence)
                continue;  // a late answer to an earlier question
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                errno = error->error ? -error->error : ENOENT;
                return false;
            }
            if (header->nlmsg_type == NLMSG_DONE) {
                errno = ENOENT;
                return false;
            }
            if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY && header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto* answer = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
                found.uid = answer->idiag_uid;
                found.inode = answer->idiag_inode;
                return true;
            }
        }
    }
}

bool CSocketOwnerLookup::UdpReceiverOwner(const sockaddr* from, const sockaddr* to, uid_t& owner)
{
    // The kernel looks the socket up as it would for an arriving datagram: "src" is the sender,
    // "dst" the receiving end.
    Found found;
    if (!Ask(IPPROTO_UDP, from, to, found))
        return false;
    owner = found.uid;
    return true;
}

bool CSocketOwnerLookup::TcpPeerOwner(const sockaddr* local, const sockaddr* remote, uid_t& owner)
{
    // For TCP "src" is the socket's own end. Looked up with our exact address pair, the far end is
    // the connection's socket on the other side; until a process accepts it, it belongs to nobody and
    // older kernels report it as root's, so then the listener is asked: the one a connection from
    // our address and port 0 (no such connection exists) would reach, the kernel's own choice.
    if (!local || !remote || local->sa_family != remote->sa_family ||
        (local->sa_family != AF_INET && local->sa_family != AF_INET6)) {
        errno = EAFNOSUPPORT;
        return false;
    }
    Found found;
    if (Ask(IPPROTO_TCP, remote, local, found) && found.inode != 0) {
        owner = found.uid;
        return true;
    }
    sockaddr_storage anyPort{};
    std::memcpy(&anyPort, local, local->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    if (anyPort.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in*>(&anyPort)->sin_port = 0;
    else
        reinterpret_cast<sockaddr_in6*>(&anyPort)->sin6_port = 0;
    if (!Ask(IPPROTO_TCP, remote, reinterpret_cast<const sockaddr*>(&anyPort), found))
        return false;
    owner = found.uid;
    return true;
}

bool PathOwner(const std::string& path, uid_t& owner)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    owner = st.st_uid;
    return true;
}

bool UserInGroup(uid_t uid, gid_t gid)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    if (found->pw_gid == gid)
        return true;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        if (count <= static_cast<int>(groups.size()) || count > 65536)
            return false;
        groups.resize(static_cast<size_t>(count));
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == gid)
            return true;
    }
    return false;
}

bool CGroupMembershipCache::IsMember(uid_t uid, gid_t gid)
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    Entry& entry = m_entries[{uid, gid}];
    if (entry.expiresMs <= nowMs) {
        entry.member = UserInGroup(uid, gid);
        entry.expiresMs = nowMs + m_ttlMs;
    }
    return entry.member;
}

}  // namespace platform
