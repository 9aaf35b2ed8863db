#include "shared/base/ipv4.h"

#include <arpa/inet.h>

#include <cstdio>

std::string FormatIPv4(uint32_t address)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return buf;
}

std::string FormatIPv6(const std::array<uint8_t, 16>& address)
{
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
    return text;
}
