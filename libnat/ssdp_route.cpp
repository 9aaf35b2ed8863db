// Whether an SSDP search can leave at all (see nat_internal.h).
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "libnat/nat_internal.h"

namespace libnat {

// Without a route miniupnpc prints "sendto: Network is unreachable" once per
// search type and nothing says what failed: this says it once, with what was tried and why.
bool SsdpReachable(const char* ifname)
{
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return true;  // the search itself reports that
    ip_mreqn via{};
    if (ifname && ::inet_pton(AF_INET, ifname, &via.imr_address) != 1 &&
        (via.imr_ifindex = static_cast<int>(::if_nametoindex(ifname))) == 0) {
        ::close(s);
        Say(kWarning, "UPnP discovery: no search sent: no interface %s", ifname);
        return false;
    }
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    ::inet_pton(AF_INET, kSsdpGroup, &group.sin_addr);
    // A connected datagram socket looks up the route, through the multicast interface when set.
    const bool ok = (!ifname || ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &via, sizeof via) == 0) &&
                    ::connect(s, reinterpret_cast<sockaddr*>(&group), sizeof group) == 0;
    const int error = errno;
    ::close(s);
    if (!ok)
        Say(kWarning, "UPnP discovery: no search sent to %s:%d %s%s: %s", kSsdpGroup, kSsdpPort,
            ifname ? "out of " : "(no route to it on any interface)", ifname ? ifname : "", std::strerror(error));
    return ok;
}

}  // namespace libnat
