// libnat over miniupnpc (UPnP IGD) with a NAT-PMP fallback over libnatpmp.
#include "libnat/lnat.h"

#include <arpa/inet.h>
#include <poll.h>
#include <strings.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <natpmp.h>

namespace {

enum class Method { Upnp, NatPmp };

constexpr int kSsdpWaitMs = 2000;
// libnatpmp on its own retries for about two minutes; a missing gateway must not block that long.
constexpr int kNatPmpBudgetMs = 3000;
// NAT-PMP has no permanent lease (0 means "delete"); ask for a year and let the gateway shorten it.
constexpr uint32_t kNatPmpLifetime = 365u * 24u * 3600u;

}  // namespace

struct UpnpController {
    Method method = Method::Upnp;
    UPNPUrls urls{};
    IGDdatas data{};
    char lanaddr[64] = {};
    natpmp_t natpmp{};
};

namespace {

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

int FromNatPmp(int r)
{
    switch (r) {
    case NATPMP_ERR_INVALIDARGS: return LNAT_ERR_INVALID_ARGUMENT;
    case NATPMP_ERR_SOCKETERROR:
    case NATPMP_ERR_FCNTLERROR:
    case NATPMP_ERR_CONNECTERR:
    case NATPMP_ERR_SENDERR:
    case NATPMP_ERR_CLOSEERR:
    case NATPMP_ERR_GETTIMEOFDAYERR: return LNAT_ERR_SOCKET;
    case NATPMP_ERR_CANNOTGETGATEWAY:
    case NATPMP_ERR_NOGATEWAYSUPPORT:
    case NATPMP_ERR_RECVFROM:  // ICMP unreachable: nothing listens on the gateway
    case NATPMP_ERR_WRONGPACKETSOURCE: return LNAT_ERR_NO_GATEWAY;
    case NATPMP_ERR_UNSUPPORTEDVERSION:
    case NATPMP_ERR_UNSUPPORTEDOPCODE:
    case NATPMP_ERR_UNDEFINEDERROR:
    case NATPMP_ERR_NOTAUTHORIZED:
    case NATPMP_ERR_NETWORKFAILURE:
    case NATPMP_ERR_OUTOFRESOURCES: return LNAT_ERR_NATPMP_REFUSED;
    case NATPMP_TRYAGAIN: return LNAT_ERR_TIMEOUT;
    default: return LNAT_ERR_UNKNOWN;
    }
}

long NowMs()
{
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Waits for the answer to the pending request, resending as libnatpmp schedules it, within the budget.
int NatPmpAwait(natpmp_t* n, natpmpresp_t* resp)
{
    const long deadline = NowMs() + kNatPmpBudgetMs;
    for (;;) {
        timeval tv{};
        if (getnatpmprequesttimeout(n, &tv) < 0)
            return NATPMP_ERR_GETTIMEOFDAYERR;
        long waitMs = tv.tv_sec * 1000 + tv.tv_usec / 1000;
        const long left = deadline - NowMs();
        if (left <= 0)
            return NATPMP_TRYAGAIN;
        if (waitMs > left)
            waitMs = left;
        if (waitMs < 0)
            waitMs = 0;
        pollfd p{n->s, POLLIN, 0};
        poll(&p, 1, static_cast<int>(waitMs));
        const int r = readnatpmpresponseorretry(n, resp);
        if (r != NATPMP_TRYAGAIN)
            return r;
    }
}

int NatPmpPublicAddress(UpnpController* c, char* out, size_t size)
{
    int r = sendpublicaddressrequest(&c->natpmp);
    if (r < 0)
        return FromNatPmp(r);
    natpmpresp_t resp{};
    r = NatPmpAwait(&c->natpmp, &resp);
    if (r < 0)
        return FromNatPmp(r);
    if (resp.type != NATPMP_RESPTYPE_PUBLICADDRESS)
        return LNAT_ERR_INVALID_RESPONSE;
    if (resp.pnu.publicaddress.addr.s_addr == 0)
        return LNAT_ERR_NO_ADDRESS;
    if (!inet_ntop(AF_INET, &resp.pnu.publicaddress.addr, out, static_cast<socklen_t>(size)))
        return LNAT_ERR_BUFFER;
    return LNAT_OK;
}

int NatPmpMap(UpnpController* c, int protocol, uint16_t privatePort, uint16_t publicPort, uint32_t lifetime,
              natpmpresp_t* resp)
{
    int r = sendnewportmappingrequest(&c->natpmp, protocol, privatePort, publicPort, lifetime);
    if (r < 0)
        return FromNatPmp(r);
    r = NatPmpAwait(&c->natpmp, resp);
    if (r < 0)
        return FromNatPmp(r);
    const int expected = protocol == NATPMP_PROTOCOL_TCP ? NATPMP_RESPTYPE_TCPPORTMAPPING
                                                         : NATPMP_RESPTYPE_UDPPORTMAPPING;
    if (resp->type != expected)
        return LNAT_ERR_INVALID_RESPONSE;
    return LNAT_OK;
}

int DiscoverNatPmp(UpnpController* c)
{
    int force = 0;
    in_addr_t forced = 0;
    if (const char* gw = std::getenv("MORVANE_NATPMP_GATEWAY"); gw && *gw) {
        in_addr a{};
        if (inet_pton(AF_INET, gw, &a) != 1)
            return LNAT_ERR_INVALID_ARGUMENT;
        force = 1;
        forced = a.s_addr;
    }
    // initnatpmp opens its socket first and returns on a later failure (no default gateway, no
    // connect) without closing it: closed here, or every failed attempt would keep one.
    c->natpmp.s = -1;
    int r = initnatpmp(&c->natpmp, force, forced);
    if (r < 0) {
        if (c->natpmp.s >= 0)
            ::close(c->natpmp.s);
        c->natpmp.s = -1;
        return FromNatPmp(r);
    }
    char addr[INET_ADDRSTRLEN] = {};
    r = NatPmpPublicAddress(c, addr, sizeof addr);
    if (r != LNAT_OK) {
        closenatpmp(&c->natpmp);
        return r;
    }
    c->method = Method::NatPmp;
    in_addr gwAddr{};
    gwAddr.s_addr = c->natpmp.gateway;
    char gwText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &gwAddr, gwText, sizeof gwText);
    std::printf("NAT-PMP gateway %s.\n", gwText);
    std::fflush(stdout);
    return LNAT_OK;
}

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
        int error = 0;
        // All searches go out at once and share one wait; asking type after type would wait
        // once per type when nothing answers.
        static const char* const kTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                             "urn:schemas-upnp-org:service:WANIPConnection:1",
                                             "urn:schemas-upnp-org:service:WANPPPConnection:1",
                                             "upnp:rootdevice", nullptr};
        UPNPDev* devices = upnpDiscoverDevices(kTypes, kSsdpWaitMs, ifname, nullptr, 0 /* any local port */, 0, 2,
                                               &error, 1);
        if (!devices)
            return error == UPNPDISCOVER_SOCKET_ERROR ? LNAT_ERR_SOCKET
                   : error == UPNPDISCOVER_MEMORY_ERROR ? LNAT_ERR_NO_MEMORY
                                                         : LNAT_ERR_NO_GATEWAY;
#if defined(MINIUPNPC_API_VERSION) && MINIUPNPC_API_VERSION >= 18
        char wanaddr[64] = {};
        const int igd = UPNP_GetValidIGD(devices, &c->urls, &c->data, c->lanaddr, sizeof c->lanaddr, wanaddr,
                                         sizeof wanaddr);
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
    c->method = Method::Upnp;
    std::printf("UPnP gateway %s, LAN address %s.\n", c->urls.controlURL ? c->urls.controlURL : "",
                c->lanaddr);
    std::fflush(stdout);
    return LNAT_OK;
}

// "TCP" / "UDP" in any letter case; null when it is neither.
const char* NormalisedProtocol(const char* protocol)
{
    if (!protocol)
        return nullptr;
    if (strcasecmp(protocol, "TCP") == 0)
        return "TCP";
    if (strcasecmp(protocol, "UDP") == 0)
        return "UDP";
    return nullptr;
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

}  // namespace

extern "C" {

int LNat_Upnp_Discover(UpnpController** controller)
{
    if (!controller)
        return LNAT_ERR_INVALID_ARGUMENT;
    *controller = nullptr;
    auto* c = new (std::nothrow) UpnpController;
    if (!c)
        return LNAT_ERR_NO_MEMORY;

    const char* method = std::getenv("MORVANE_NAT_METHOD");
    const bool upnp = !method || !*method || strcasecmp(method, "upnp") == 0;
    const bool natpmp = !method || !*method || strcasecmp(method, "natpmp") == 0;

    int r = LNAT_ERR_NO_GATEWAY;
    if (upnp) {
        r = DiscoverUpnp(c);
        // A gateway that answered but is not connected is an answer: no fallback.
        if (r == LNAT_OK || r == LNAT_ERR_NOT_CONNECTED || r == LNAT_ERR_NO_MEMORY) {
            if (r == LNAT_OK)
                *controller = c;
            else
                delete c;
            return r;
        }
    }
    if (natpmp) {
        const int n = DiscoverNatPmp(c);
        // Nothing answered either way (no route for the multicast counts as nothing answering).
        const bool nobody = (n == LNAT_ERR_NO_GATEWAY || n == LNAT_ERR_SOCKET) &&
                            (!upnp || r == LNAT_ERR_NO_GATEWAY || r == LNAT_ERR_SOCKET);
        r = nobody ? LNAT_ERR_NO_GATEWAY : n;
    } else if (r == LNAT_ERR_SOCKET) {
        r = LNAT_ERR_NO_GATEWAY;
    }
    if (r == LNAT_OK)
        *controller = c;
    else
        delete c;
    return r;
}

int LNat_Upnp_Get_Public_Ip(UpnpController* c, char* buf, int size)
{
    if (!c || !buf || size <= 0)
        return LNAT_ERR_INVALID_ARGUMENT;
    char addr[64] = {};
    int r = LNAT_OK;
    if (c->method == Method::NatPmp) {
        r = NatPmpPublicAddress(c, addr, sizeof addr);
    } else {
        r = FromMiniupnpc(UPNP_GetExternalIPAddress(c->urls.controlURL, c->data.first.servicetype, addr));
        if (r == LNAT_OK && addr[0] == '\0')
            r = LNAT_ERR_NO_ADDRESS;
    }
    if (r != LNAT_OK)
        return r;
    const size_t len = std::strlen(addr);
    if (len + 1 > static_cast<size_t>(size))
        return LNAT_ERR_BUFFER;
    std::memcpy(buf, addr, len + 1);
    return LNAT_OK;
}

int LNat_Upnp_Set_Port_Mapping(UpnpController* c, const char* internal_host, int port, const char* protocol,
                               const char* description)
{
    if (!c)
        return LNAT_ERR_INVALID_ARGUMENT;
    if (port < 1 || port > 65535)
        return LNAT_ERR_PORT;
    const char* proto = NormalisedProtocol(protocol);
    if (!proto)
        return LNAT_ERR_PROTOCOL;

    if (c->method == Method::NatPmp) {
        // NAT-PMP maps for the sender only; another host has to ask for itself.
        if (internal_host && std::strcmp(internal_host, "") != 0) {
            in_addr want{};
            if (inet_pton(AF_INET, internal_host, &want) != 1)
                return LNAT_ERR_HOST_UNSUPPORTED;
            sockaddr_in self{};
            socklen_t len = sizeof self;
            if (getsockname(c->natpmp.s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
                self.sin_addr.s_addr != want.s_addr)
                return LNAT_ERR_HOST_UNSUPPORTED;
        }
        const int np = proto[0] == 'T' ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP;
        const auto p = static_cast<uint16_t>(port);
        natpmpresp_t resp{};
        const int r = NatPmpMap(c, np, p, p, kNatPmpLifetime, &resp);
        if (r != LNAT_OK)
            return r;
        if (resp.pnu.newportmapping.mappedpublicport != p) {
            // Another external port is of no use to a name that points at this port: give it back.
            natpmpresp_t undo{};
            NatPmpMap(c, np, p, 0, 0, &undo);
            return LNAT_ERR_PORT_TAKEN;
        }
        return LNAT_OK;
    }

    const char* host = internal_host && *internal_host ? internal_host : c->lanaddr;
    if (!*host)
        return LNAT_ERR_NO_ADDRESS;
    char portText[8];
    std::snprintf(portText, sizeof portText, "%d", port);
    return FromMiniupnpc(UPNP_AddPortMapping(c->urls.controlURL, c->data.first.servicetype, portText, portText,
                                             host, description ? description : "", proto, nullptr, "0"));
}

int LNat_Upnp_Remove_Port_Mapping(UpnpController* c, int port, const char* protocol)
{
    if (!c)
        return LNAT_ERR_INVALID_ARGUMENT;
    if (port < 1 || port > 65535)
        return LNAT_ERR_PORT;
    const char* proto = NormalisedProtocol(protocol);
    if (!proto)
        return LNAT_ERR_PROTOCOL;
    if (c->method == Method::NatPmp) {
        natpmpresp_t resp{};
        return NatPmpMap(c, proto[0] == 'T' ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP,
                         static_cast<uint16_t>(port), 0, 0, &resp);
    }
    char portText[8];
    std::snprintf(portText, sizeof portText, "%d", port);
    return FromMiniupnpc(
        UPNP_DeletePortMapping(c->urls.controlURL, c->data.first.servicetype, portText, proto, nullptr));
}

int LNat_Upnp_Controller_Free(UpnpController** controller)
{
    if (!controller || !*controller)
        return LNAT_OK;
    UpnpController* c = *controller;
    if (c->method == Method::NatPmp)
        closenatpmp(&c->natpmp);
    else
        FreeUPNPUrls(&c->urls);
    delete c;
    *controller = nullptr;
    return LNAT_OK;
}

int LNat_Print_Error(int error)
{
    const char* text = nullptr;
    switch (error) {
    case LNAT_OK: text = "success"; break;
    case LNAT_ERR_INVALID_ARGUMENT: text = "invalid argument"; break;
    case LNAT_ERR_NO_GATEWAY: text = "no UPnP or NAT-PMP gateway found"; break;
    case LNAT_ERR_NOT_CONNECTED: text = "gateway found but not connected"; break;
    case LNAT_ERR_SOCKET: text = "socket error"; break;
    case LNAT_ERR_NO_MEMORY: text = "out of memory"; break;
    case LNAT_ERR_HTTP: text = "HTTP error talking to the gateway"; break;
    case LNAT_ERR_INVALID_RESPONSE: text = "invalid response from the gateway"; break;
    case LNAT_ERR_UNKNOWN: text = "unknown error from the gateway"; break;
    case LNAT_ERR_PROTOCOL: text = "protocol must be TCP or UDP"; break;
    case LNAT_ERR_PORT: text = "port must be between 1 and 65535"; break;
    case LNAT_ERR_BUFFER: text = "buffer too small"; break;
    case LNAT_ERR_NO_ADDRESS: text = "gateway has no external address"; break;
    case LNAT_ERR_TIMEOUT: text = "gateway stopped answering"; break;
    case LNAT_ERR_PORT_TAKEN: text = "gateway offered a different external port"; break;
    case LNAT_ERR_HOST_UNSUPPORTED: text = "NAT-PMP maps ports only for this machine"; break;
    case LNAT_ERR_NATPMP_REFUSED: text = "NAT-PMP gateway refused the request"; break;
    default: text = error >= 400 && error <= 899 ? UpnpErrorText(error) : "unknown error"; break;
    }
    std::fprintf(stderr, "libnat error %d: %s\n", error, text);
    return LNAT_OK;
}

}  // extern "C"
