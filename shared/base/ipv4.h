#pragma once
// IPv4 addresses as text.

#include <cstdint>
#include <string>

// Dotted-quad text of an address held in host byte order (0xCB007107 -> "203.0.113.7").
std::string FormatIPv4(uint32_t address);
