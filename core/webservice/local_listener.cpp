#include "core/webservice/local_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/socket_owner.h"

namespace webservice {

namespace {

// One passwd entry by name or by uid; false when there is none (or the database cannot be read).
template <typename Lookup>
bool FindUser(Lookup lookup, uid_t& uid, std::string& name)
{
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (lookup(&entry, buffer, &found) == ERANGE && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!found)
        return false;
    uid = found->pw_uid;
    name = found->pw_name;
    return true;
}

bool UidOf(const char* user, uid_t& uid)
{
    std::string name;
    return FindUser(
        [&](passwd* e, std::vector<char>& b, passwd** f) { return ::getpwnam_r(user, e, b.data(), b.size(), f); }, uid,
        name);
}

// "uid 1000 (alice)", or "uid 1000" for a user the database does not know.
std::string UserText(uid_t uid)
{
    uid_t same = uid;
    std::string name;
    std::string text = "uid " + std::to_string(uid);
    if (FindUser(
            [&](passwd* e, std::vector<char>& b, passwd** f) { return ::getpwuid_r(uid, e, b.data(), b.size(), f); },
            same, name))
        text += " (" + name + ")";
    return text;
}

// "127.0.0.1:1800", "[::1]:1800".
std::string AddressText(const sockaddr_storage& address)
{
    char text[INET6_ADDRSTRLEN + 16] = "?";
    if (address.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(address);
        char host[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "%s:%u", host, unsigned(ntohs(a.sin_port)));
    } else {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
        char host[INET6_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
        std::snprintf(text, sizeof text, "[%s]:%u", host, unsigned(ntohs(a.sin6_port)));
    }
    return text;
}

}  // namespace

bool IsLoopback(const sockaddr* address)
{
    if (!address)
        return false;
    if (address->sa_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr) >> 24) == 127;
    if (address->sa_family != AF_INET6)
        return false;
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
}

bool TrustedLocalPeer(int fd, std::string& why)
{
    sockaddr_storage local{}, remote{};
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) {
        why = std::string("cannot tell where the connection leads: ") + std::strerror(errno) + "; nothing sent";
        return false;
    }
    if (!IsLoopback(reinterpret_cast<const sockaddr*>(&remote)))
        return true;
    uid_t owner = 0;
    platform::CSocketOwnerLookup lookup;
    if (!lookup.TcpPeerOwner(reinterpret_cast<const sockaddr*>(&local), reinterpret_cast<const sockaddr*>(&remote),
                             owner)) {
        why = "cannot tell who listens on " + AddressText(remote) + " (" + std::strerror(errno) + "); nothing sent";
        return false;
    }
    uid_t providerUser = 0;
    if (owner == 0 || owner == ::geteuid() || (UidOf(kProviderUser, providerUser) && owner == providerUser))
        return true;
    std::string allowed =
        ::geteuid() != 0 ? "root, the service's user (" + UserText(::geteuid()) + ") or " : "root or ";
    why = "the listener on " + AddressText(remote) + " belongs to " + UserText(owner) + ", not to " + allowed +
          kProviderUser + "; nothing sent";
    return false;
}

}  // namespace webservice
