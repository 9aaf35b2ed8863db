#pragma once
// IPv6 addresses as the address sources see them: 16 bytes in network order.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace address {

using IPv6 = std::array<uint8_t, 16>;

// The textual forms of RFC 4291 (no zone, no brackets, no prefix length).
bool ParseIPv6(std::string_view text, IPv6& out);
// The canonical form of RFC 5952 (lower case, the longest run of zero groups as "::").
std::string FormatIPv6(const IPv6& address);

// Global unicast, 2000::/3: never link-local, unique local (fc00::/7), loopback, unspecified,
// IPv4-mapped or multicast. The documentation prefix 2001:db8::/32 lies inside and counts.
bool IsGlobalUnicast(const IPv6& address);

// An interface identifier written as an address ("::1234"): the upper 64 bits zero, the lower not.
bool ParseInterfaceId(std::string_view text, IPv6& id);
// The /64 prefix of `address` followed by the interface identifier `id`: another machine on the
// same network as this one.
IPv6 WithInterfaceId(const IPv6& address, const IPv6& id);

}  // namespace address
