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

Cidr Cidr::Loopback4()
{
    Cidr c;
    c.bytes[0] = 127;
    c.bits = 8;
    return c;
}

Cidr Cidr::Loopback6()
{
    Cidr c;
    c.family = IpFamily::V6;
    c.bytes[15] = 1;
    c.bits = 128;
    return c;
}

bool ParseCidr(std::string_view text, Cidr& cidr)
{
    size_t slash = text.find('/');
    std::string address(text.substr(0, slash));
    Cidr c;
    if (inet_pton(AF_INET, address.c_str(), c.bytes) == 1) {
        c.family = IpFamily::V4;
        c.bits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), c.bytes) == 1) {
        c.family = IpFamily::V6;
        c.bits = 128;
    } else {
        return false;
    }
    if (slash != std::string_view::npos) {
        std::string_view length = text.substr(slash + 1);
        int bits = 0;
        if (length.empty() || length.size() > 3)
            return false;
        for (char ch : length) {
            if (ch < '0' || ch > '9')
                return false;
            bits = bits * 10 + (ch - '0');
        }
        if (bits > c.bits)
            return false;
        c.bits = bits;
    }
    cidr = c;
    return true;
}

bool InAnyCidr(uint32_t peer, const std::string& peer6, const std::vector<Cidr>& networks)
{
    unsigned char bytes[16] = {};
    IpFamily family = IpFamily::V4;
    if (peer6.empty()) {
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<unsigned char>(peer >> (24 - 8 * i));
    } else if (inet_pton(AF_INET6, peer6.c_str(), bytes) == 1) {
        family = IpFamily::V6;
    } else {
        return false;
    }
    for (const Cidr& n : networks) {
        if (n.family != family)
            continue;
        bool inside = true;
        for (int bit = 0; inside && bit < n.bits; ++bit) {
            unsigned char mask = static_cast<unsigned char>(0x80 >> (bit % 8));
            inside = (bytes[bit / 8] & mask) == (n.bytes[bit / 8] & mask);
        }
        if (inside)
            return true;
    }
    return false;
}

}  // namespace provider
