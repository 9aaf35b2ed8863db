#pragma once
// IPv4 addresses as the address sources and the dyndns2 client see them. Addresses are 32-bit values
// with the first octet in the high byte (as NetInfo carries them).

#include <cstdint>
#include <string>
#include <string_view>

namespace address {

// Exactly four decimal octets 0-255 separated by dots, without leading zeros, signs or spaces.
bool ParseBare(std::string_view text, uint32_t& out);
// Like ParseBare after trimming the white space around the text (a check-IP answer ends in a newline).
bool ParseAnswer(std::string_view text, uint32_t& out);

// 10/8, 172.16/12, 192.168/16, 127/8, 169.254/16, 100.64/10 (carrier-grade NAT), 0/8 and
// 224/3: never a name's address on the Internet.
bool IsPublic(uint32_t address);
// 100.64.0.0/10.
bool IsSharedAddressSpace(uint32_t address);

}  // namespace address
