#include "tools/provider/address.h"

#include <arpa/inet.h>

namespace provider {

bool ParseAddress(std::string_view text, IpFamily& family, std::string& canonical)
{
    // inet_pton wants a terminated string; anything longer than the longest form is no address.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN)
        return false;
    std::string copy(text);
    in_addr a4{};
    if (inet_pton(AF_INET, copy.c_str(), &a4) == 1) {
        char out[INET_ADDRSTRLEN];
        family = IpFamily::V4;
        canonical = inet_ntop(AF_INET, &a4, out, sizeof out);
        return true;
    }
    in6_addr a6{};
    if (inet_pton(AF_INET6, copy.c_str(), &a6) == 1) {
        family = IpFamily::V6;
        canonical = FormatIpv6(a6);
        return true;
    }
    return false;
}

IpFamily FamilyOf(std::string_view address)
{
    return address.find(':') == std::string_view::npos ? IpFamily::V4 : IpFamily::V6;
}

const char* FamilyName(IpFamily family)
{
    return family == IpFamily::V4 ? "IPv4" : "IPv6";
}

bool IsGlobalIpv6(const in6_addr& address)
{
    return (address.s6_addr[0] & 0xE0) == 0x20;
}

std::string FormatIpv6(const in6_addr& address)
{
    char out[INET6_ADDRSTRLEN];
    return inet_ntop(AF_INET6, &address, out, sizeof out) ? out : "";
}

}  // namespace provider
