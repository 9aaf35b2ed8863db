// NAT-PMP over libnatpmp: the fallback when no UPnP gateway answers.
#include "libnat/lnat.h"
#include "libnat/nat_internal.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace libnat {

namespace {

// libnatpmp on its own retries for about two minutes; a missing gateway must not block that long.
constexpr int kNatPmpBudgetMs = 3000;
// NAT-PMP has no permanent lease (0 means "delete"); ask for a year and let the gateway shorten it.
constexpr uint32_t kNatPmpLifetime = 365u * 24u * 3600u;

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

}  // namespace

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

namespace {

int NatPmpMap(UpnpController* c, int protocol, uint16_t privatePort, uint16_t publicPort, uint32_t lifetime,
              natpmpresp_t* resp)
{
    int r = sendnewportmappingrequest(&c->natpmp, protocol, privatePort, publicPort, lifetime);
    if (r < 0)
        return FromNatPmp(r);
    r = NatPmpAwait(&c->natpmp, resp);
    if (r < 0)
        return FromNatPmp(r);
    const int expected =
        protocol == NATPMP_PROTOCOL_TCP ? NATPMP_RESPTYPE_TCPPORTMAPPING : NATPMP_RESPTYPE_UDPPORTMAPPING;
    if (resp->type != expected)
        return LNAT_ERR_INVALID_RESPONSE;
    return LNAT_OK;
}

}  // namespace

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
    c->method = NatMethod::NatPmp;
    in_addr gwAddr{};
    gwAddr.s_addr = c->natpmp.gateway;
    char gwText[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &gwAddr, gwText, sizeof gwText);
    Say(kInfo, "NAT-PMP gateway %s.", gwText);
    return LNAT_OK;
}

int NatPmpSetMapping(UpnpController* c, const char* internal_host, int port, const char* protocol)
{
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
    const int np = protocol[0] == 'T' ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP;
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

int NatPmpRemoveMapping(UpnpController* c, int port, const char* protocol)
{
    natpmpresp_t resp{};
    return NatPmpMap(c, protocol[0] == 'T' ? NATPMP_PROTOCOL_TCP : NATPMP_PROTOCOL_UDP, static_cast<uint16_t>(port), 0,
                     0, &resp);
}

void NatPmpFree(UpnpController* c)
{
    closenatpmp(&c->natpmp);
}

}  // namespace libnat
