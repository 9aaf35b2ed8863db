#include "core/provider/address6.h"

#include <arpa/inet.h>

#include <algorithm>

#include "shared/base/ipv4.h"

namespace address {

bool ParseIPv6(std::string_view text, IPv6& out)
{
    // inet_pton wants a terminated string and stops at nothing else: a NUL inside is refused here.
    if (text.empty() || text.size() >= INET6_ADDRSTRLEN || text.find('\0') != std::string_view::npos)
        return false;
    std::string copy(text);
    IPv6 parsed{};
    if (inet_pton(AF_INET6, copy.c_str(), parsed.data()) != 1)
        return false;
    out = parsed;
    return true;
}

std::string FormatIPv6(const IPv6& address)
{
    return ::FormatIPv6(address);
}

bool IsGlobalUnicast(const IPv6& address)
{
    return (address[0] & 0xE0) == 0x20;
}

bool ParseInterfaceId(std::string_view text, IPv6& id)
{
    IPv6 parsed{};
    if (!ParseIPv6(text, parsed))
        return false;
    bool upperZero = std::all_of(parsed.begin(), parsed.begin() + 8, [](uint8_t b) { return b == 0; });
    bool lowerZero = std::all_of(parsed.begin() + 8, parsed.end(), [](uint8_t b) { return b == 0; });
    if (!upperZero || lowerZero)
        return false;
    id = parsed;
    return true;
}

IPv6 WithInterfaceId(const IPv6& address, const IPv6& id)
{
    IPv6 out = address;
    std::copy(id.begin() + 8, id.end(), out.begin() + 8);
    return out;
}

}  // namespace address
