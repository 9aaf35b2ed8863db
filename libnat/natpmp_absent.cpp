// NAT-PMP for a build without libnatpmp: no gateway is ever found that way, and the first look says
// why, beside the progress lines of the UPnP search.
#include <cstdio>

#include "libnat/lnat.h"
#include "libnat/nat_internal.h"

namespace libnat {

int DiscoverNatPmp(UpnpController*)
{
    static bool said = false;
    if (!said)
        std::printf("NAT-PMP is not available in this build (UPnP only).\n");
    said = true;
    return LNAT_ERR_NO_GATEWAY;
}

int NatPmpPublicAddress(UpnpController*, char*, size_t)
{
    return LNAT_ERR_NO_GATEWAY;
}

int NatPmpSetMapping(UpnpController*, const char*, int, const char*)
{
    return LNAT_ERR_NO_GATEWAY;
}

int NatPmpRemoveMapping(UpnpController*, int, const char*)
{
    return LNAT_ERR_NO_GATEWAY;
}

void NatPmpFree(UpnpController*) {}

}  // namespace libnat
