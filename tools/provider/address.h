#pragma once
// The addresses a host can be given, as the provider stores, publishes and compares them: IPv4 and IPv6
// in canonical text (inet_ntop's form), so that "2001:DB8:0::1" and "2001:db8::1" are one address.

#include <netinet/in.h>

#include <string>
#include <string_view>

namespace provider {

// The number is what the store keeps in its `family` columns.
enum class IpFamily { V4 = 4, V6 = 6 };

// `text` as an address of either family in canonical text. False when it is neither.
bool ParseAddress(std::string_view text, IpFamily& family, std::string& canonical);
// The family of stored address text.
IpFamily FamilyOf(std::string_view address);
const char* FamilyName(IpFamily family);  // "IPv4", "IPv6"

// An IPv6 address the world can reach a host at: global unicast (2000::/3, which holds the documentation
// prefix 2001:db8::/32 too). Link-local, unique-local (fc00::/7), multicast, loopback, unspecified and
// IPv4-mapped addresses are not, and are never stored as a host's address.
bool IsGlobalIpv6(const in6_addr& address);
std::string FormatIpv6(const in6_addr& address);

}  // namespace provider
