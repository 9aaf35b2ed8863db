#include "shared/base/ipv4.h"

#include <cstdio>

std::string FormatIPv4(uint32_t address)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return buf;
}
