// libnat: the LNat_* functions over UPnP IGD (upnp.cpp) with a NAT-PMP fallback (natpmp.cpp).
#include "libnat/lnat.h"
#include "libnat/nat_internal.h"

#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

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

// The checks every mapping call starts with; `proto` gets the normalised protocol.
int CheckMappingArguments(const UpnpController* c, int port, const char* protocol, const char*& proto)
{
    if (!c)
        return LNAT_ERR_INVALID_ARGUMENT;
    if (port < 1 || port > 65535)
        return LNAT_ERR_PORT;
    proto = NormalisedProtocol(protocol);
    return proto ? LNAT_OK : LNAT_ERR_PROTOCOL;
}

}  // namespace

void libnat::Say(int priority, const char* format, ...)
{
    char line[512];
    int n = std::snprintf(line, sizeof line, "<%d>", priority);
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, format, args);
    va_end(args);
    std::strcat(line, "\n");
    std::fputs(line, stderr);
    std::fflush(stderr);
}

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
        r = libnat::DiscoverUpnp(c);
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
        const int n = libnat::DiscoverNatPmp(c);
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
    if (c->method == NatMethod::NatPmp)
        r = libnat::NatPmpPublicAddress(c, addr, sizeof addr);
    else
        r = libnat::UpnpPublicAddress(c, addr, sizeof addr);
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
    const char* proto = nullptr;
    if (int r = CheckMappingArguments(c, port, protocol, proto); r != LNAT_OK)
        return r;
    if (c->method == NatMethod::NatPmp)
        return libnat::NatPmpSetMapping(c, internal_host, port, proto);
    return libnat::UpnpSetMapping(c, internal_host, port, proto, description);
}

int LNat_Upnp_Remove_Port_Mapping(UpnpController* c, int port, const char* protocol)
{
    const char* proto = nullptr;
    if (int r = CheckMappingArguments(c, port, protocol, proto); r != LNAT_OK)
        return r;
    if (c->method == NatMethod::NatPmp)
        return libnat::NatPmpRemoveMapping(c, port, proto);
    return libnat::UpnpRemoveMapping(c, port, proto);
}

int LNat_Upnp_Controller_Free(UpnpController** controller)
{
    if (!controller || !*controller)
        return LNAT_OK;
    UpnpController* c = *controller;
    if (c->method == NatMethod::NatPmp)
        libnat::NatPmpFree(c);
    else
        libnat::UpnpFree(c);
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
    default: text = error >= 400 && error <= 899 ? libnat::UpnpErrorText(error) : "unknown error"; break;
    }
    libnat::Say(libnat::kWarning, "libnat error %d: %s", error, text);
    return LNAT_OK;
}

}  // extern "C"
