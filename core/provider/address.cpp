#include "core/provider/address.h"

namespace address {

bool ParseBare(std::string_view text, uint32_t& out)
{
    uint32_t value = 0;
    int octets = 0;
    size_t i = 0;
    while (octets < 4) {
        size_t start = i;
        unsigned octet = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            octet = octet * 10 + unsigned(text[i++] - '0');
        size_t digits = i - start;
        if (digits == 0 || octet > 255 || (digits > 1 && text[start] == '0'))
            return false;
        value = value << 8 | octet;
        if (++octets < 4) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    if (i != text.size())
        return false;
    out = value;
    return true;
}

bool ParseAnswer(std::string_view text, uint32_t& out)
{
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return false;
    size_t last = text.find_last_not_of(space);
    return ParseBare(text.substr(first, last - first + 1), out);
}

bool IsSharedAddressSpace(uint32_t a)
{
    return (a & 0xFFC00000u) == 0x64400000u;
}

bool IsPublic(uint32_t a)
{
    struct Block {
        uint32_t base, mask;
    };
    static constexpr Block kNotPublic[] = {
        {0x00000000u, 0xFF000000u},  // 0/8
        {0x0A000000u, 0xFF000000u},  // 10/8
        {0x64400000u, 0xFFC00000u},  // 100.64/10
        {0x7F000000u, 0xFF000000u},  // 127/8
        {0xA9FE0000u, 0xFFFF0000u},  // 169.254/16
        {0xAC100000u, 0xFFF00000u},  // 172.16/12
        {0xC0A80000u, 0xFFFF0000u},  // 192.168/16
        {0xE0000000u, 0xE0000000u},  // multicast, reserved, broadcast
    };
    for (const Block& b : kNotPublic)
        if ((a & b.mask) == b.base)
            return false;
    return true;
}

}  // namespace address
