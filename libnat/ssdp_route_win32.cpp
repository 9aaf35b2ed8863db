// Whether an SSDP search can leave at all (see nat_internal.h), with Winsock: the multicast interface
// is an IPv4 address, or an interface index written as 0.x.x.x.
#include "platform/win32/compat/win32.h"

#include <iphlpapi.h>
#include <netioapi.h>

#include "libnat/nat_internal.h"

namespace libnat {

bool SsdpReachable(const char* ifname)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return true;  // the search itself reports that
    in_addr via{};
    if (ifname && ::inet_pton(AF_INET, ifname, &via) != 1) {
        ULONG index = if_nametoindex(ifname);
        if (index == 0) {
            closesocket(s);
            Say(kWarning, "UPnP discovery: no search sent: no interface %s", ifname);
            return false;
        }
        via.s_addr = htonl(index);
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    ::inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
    // A connected datagram socket looks up the route, through the multicast interface when set.
    const bool ok = (!ifname || ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&via),
                                             static_cast<int>(sizeof via)) == 0) &&
                    ::connect(s, reinterpret_cast<sockaddr*>(&group), static_cast<int>(sizeof group)) == 0;
    const int error = WSAGetLastError();
    closesocket(s);
    if (!ok)
        Say(kWarning, "UPnP discovery: no search sent to %s:%d %s%s: Winsock error %d", kSsdpGroup, kSsdpPort,
            ifname ? "out of " : "(no route to it on any interface)", ifname ? ifname : "", error);
    return ok;
}

}  // namespace libnat
