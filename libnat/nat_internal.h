#pragma once
// What the exported LNat_* functions (lnat.cpp) share with the two ways of reaching a gateway:
// UPnP IGD over miniupnpc (upnp.cpp) and NAT-PMP over libnatpmp (natpmp.cpp). Internal to libnat.

#include <cstddef>
#include <cstdint>

#include <miniupnpc/miniupnpc.h>
// A build without libnatpmp (natpmp_absent.cpp) reaches gateways over UPnP only.
#ifndef MORVANE_NO_NATPMP
#include <natpmp.h>
#endif

enum class NatMethod { Upnp, NatPmp };

struct UpnpController {
    NatMethod method = NatMethod::Upnp;
    UPNPUrls urls{};
    IGDdatas data{};
    char lanaddr[64] = {};
#ifndef MORVANE_NO_NATPMP
    natpmp_t natpmp{};
#endif
};

namespace libnat {

// Journal priorities of libnat's lines (the syslog levels the service's own lines use).
enum Priority { kError = 3, kWarning = 4, kInfo = 6 };
// One line on standard error, led by "<priority>" as the journal reads it, written in one piece.
void Say(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

inline constexpr const char* kSsdpGroup = "239.255.255.250";
inline constexpr int kSsdpPort = 1900;
// Whether a search can leave for the SSDP group at all, out of `ifname` (a name or an IPv4
// address) when given; says once what failed when not (ssdp_route*.cpp, one per system).
bool SsdpReachable(const char* ifname);

// Each returns an LNAT_* code. `protocol` is "TCP" or "UDP" (already normalised); `port` 1..65535.

// Looks for an Internet gateway device; on success `c` uses UPnP.
int DiscoverUpnp(UpnpController* c);
int UpnpPublicAddress(UpnpController* c, char* out, size_t size);
int UpnpSetMapping(UpnpController* c, const char* internalHost, int port, const char* protocol,
                   const char* description);
int UpnpRemoveMapping(UpnpController* c, int port, const char* protocol);
void UpnpFree(UpnpController* c);
// Text of a UPnP error code (400..899).
const char* UpnpErrorText(int code);

// Looks for a NAT-PMP gateway; on success `c` uses NAT-PMP.
int DiscoverNatPmp(UpnpController* c);
int NatPmpPublicAddress(UpnpController* c, char* out, size_t size);
int NatPmpSetMapping(UpnpController* c, const char* internalHost, int port, const char* protocol);
int NatPmpRemoveMapping(UpnpController* c, int port, const char* protocol);
void NatPmpFree(UpnpController* c);

}  // namespace libnat
