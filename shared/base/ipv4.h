#pragma once
// IPv4 and IPv6 addresses as text.

#include <array>
#include <cstdint>
#include <string>

// Dotted-quad text of an address held in host byte order (0xCB007107 -> "203.0.113.7").
std::string FormatIPv4(uint32_t address);

// The canonical form of RFC 5952 of 16 bytes in network order ("2001:db8::7").
std::string FormatIPv6(const std::array<uint8_t, 16>& address);
