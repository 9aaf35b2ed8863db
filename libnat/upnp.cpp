// UPnP IGD over miniupnpc: discovery, the external address and port mappings.
#include "libnat/lnat.h"
#include "libnat/nat_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <miniupnpc/upnpcommands.h>

namespace libnat {

namespace {

constexpr int kSsdpWaitMs = 2000;

int FromMiniupnpc(int r)
{
    switch (r) {
    case UPNPCOMMAND_SUCCESS: return LNAT_OK;
    case UPNPCOMMAND_INVALID_ARGS: return LNAT_ERR_INVALID_ARGUMENT;
    case UPNPCOMMAND_HTTP_ERROR: return LNAT_ERR_HTTP;
    case UPNPCOMMAND_INVALID_RESPONSE: return LNAT_ERR_INVALID_RESPONSE;
    case UPNPCOMMAND_MEM_ALLOC_ERROR: return LNAT_ERR_NO_MEMORY;
    default: break;
    }
    if (r >= 400 && r <= 899)
        return r;
    return LNAT_ERR_UNKNOWN;
}

}  // namespace

int DiscoverUpnp(UpnpController* c)
{
    int status = 0;
    if (const char* url = std::getenv("MORVANE_UPNP_ROOTDESC_URL"); url && *url) {
        if (UPNP_GetIGDFromUrl(url, &c->urls, &c->data, c->lanaddr, sizeof c->lanaddr) != 1) {
            FreeUPNPUrls(&c->urls);
            return LNAT_ERR_NO_GATEWAY;
        }
        status = UPNPIGD_IsConnected(&c->urls, &c->data) ? 1 : 2;
    } else {
        const char* ifname = std::getenv("MORVANE_UPNP_IF");
        if (ifname && !*ifname)
            ifname = nullptr;
        if (!SsdpReachable(ifname))
            return LNAT_ERR_SOCKET;
        int error = 0;
        // All searches go out at once and share one wait; asking type after type would wait
        // once per type when nothing answers.
        static const char* const kTypes[] = {
            "urn:schemas-upnp-org:device:InternetGatewayDevice:1", "urn:schemas-upnp-org:service:WANIPConnection:1",
            "urn:schemas-upnp-org:service:WANPPPConnection:1", "upnp:rootdevice", nullptr};
        UPNPDev* devices =
            upnpDiscoverDevices(kTypes, kSsdpWaitMs, ifname, nullptr, 0 /* any local port */, 0, 2, &error, 1);
        if (!devices)
            return error == UPNPDISCOVER_SOCKET_ERROR   ? LNAT_ERR_SOCKET
                   : error == UPNPDISCOVER_MEMORY_ERROR ? LNAT_ERR_NO_MEMORY
                                                        : LNAT_ERR_NO_GATEWAY;
#if defined(MINIUPNPC_API_VERSION) && MINIUPNPC_API_VERSION >= 18
        char wanaddr[64] = {};
        const int igd =
            UPNP_GetValidIGD(devices, &c->urls, &c->data, c->lanaddr, sizeof c->lanaddr, wanaddr, sizeof wanaddr);
        // 1 connected, 2 connected behind a reserved address, 3 not connected, 4 not a gateway.
        status = igd == 1 || igd == 2 ? 1 : igd == 3 ? 2 : 0;
        if (igd == 4)
            FreeUPNPUrls(&c->urls);
#else
        const int igd = UPNP_GetValidIGD(devices, &c->urls, &c->data, c->lanaddr, sizeof c->lanaddr);
        // 1 connected, 2 not connected, 3 some other UPnP device.
        status = igd == 1 ? 1 : igd == 2 ? 2 : 0;
        if (igd == 3)
            FreeUPNPUrls(&c->urls);
#endif
        freeUPNPDevlist(devices);
    }
    if (status == 0)
        return LNAT_ERR_NO_GATEWAY;
    if (status == 2) {
        FreeUPNPUrls(&c->urls);
        return LNAT_ERR_NOT_CONNECTED;
    }
    c->method = NatMethod::Upnp;
    Say(kInfo, "UPnP gateway %s, LAN address %s.", c->urls.controlURL ? c->urls.controlURL : "", c->lanaddr);
    return LNAT_OK;
}

int UpnpPublicAddress(UpnpController* c, char* out, size_t size)
{
    (void)size;  // miniupnpc writes at most 16 bytes
    const int r = FromMiniupnpc(UPNP_GetExternalIPAddress(c->urls.controlURL, c->data.first.servicetype, out));
    if (r == LNAT_OK && out[0] == '\0')
        return LNAT_ERR_NO_ADDRESS;
    return r;
}

int UpnpSetMapping(UpnpController* c, const char* internal_host, int port, const char* protocol,
                   const char* description)
{
    const char* host = internal_host && *internal_host ? internal_host : c->lanaddr;
    if (!*host)
        return LNAT_ERR_NO_ADDRESS;
    char portText[8];
    std::snprintf(portText, sizeof portText, "%d", port);
    return FromMiniupnpc(UPNP_AddPortMapping(c->urls.controlURL, c->data.first.servicetype, portText, portText, host,
                                             description ? description : "", protocol, nullptr, "0"));
}

int UpnpRemoveMapping(UpnpController* c, int port, const char* protocol)
{
    char portText[8];
    std::snprintf(portText, sizeof portText, "%d", port);
    return FromMiniupnpc(
        UPNP_DeletePortMapping(c->urls.controlURL, c->data.first.servicetype, portText, protocol, nullptr));
}

void UpnpFree(UpnpController* c)
{
    FreeUPNPUrls(&c->urls);
}

const char* UpnpErrorText(int code)
{
    switch (code) {
    case 401: return "invalid action";
    case 402: return "invalid arguments";
    case 501: return "action failed on the gateway";
    case 600: return "argument value invalid";
    case 601: return "argument value out of range";
    case 605: return "string argument too long";
    case 606: return "action not authorised";
    case 713: return "specified array index invalid";
    case 714: return "no such port mapping on the gateway";
    case 715: return "wildcard not permitted in source address";
    case 716: return "wildcard not permitted in external port";
    case 718: return "port mapping conflicts with one held for another host";
    case 724: return "internal and external port must be the same";
    case 725: return "gateway supports only permanent leases";
    case 726: return "remote host must be a wildcard";
    case 727: return "external port must be a wildcard";
    case 728: return "no port mappings available on the gateway";
    case 729: return "conflict with another mechanism";
    case 732: return "wildcard not permitted in internal port";
    default: return "error reported by the gateway";
    }
}

}  // namespace libnat
