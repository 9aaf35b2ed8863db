#pragma once
// The addresses a host can be given, as the provider stores, publishes and compares them: IPv4 and IPv6
// in canonical text (inet_ntop's form), so that "2001:DB8:0::1" and "2001:db8::1" are one address.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// A network: ADDRESS/BITS of either family (an address alone is the host itself).
struct Cidr {
    IpFamily family = IpFamily::V4;
    unsigned char bytes[16] = {};
    int bits = 0;
    static Cidr Loopback4();  // 127.0.0.0/8
    static Cidr Loopback6();  // ::1/128
};
bool ParseCidr(std::string_view text, Cidr& cidr);
// A caller (`peer` IPv4, also an IPv4-mapped one; else `peer6`) inside one of the networks.
bool InAnyCidr(uint32_t peer, const std::string& peer6, const std::vector<Cidr>& networks);

}  // namespace provider
