#pragma once
// The address-change hook: an optional executable "on-address-change" in the program directory, run
// after each successful push of the public address to the provider. It gets the new address and the
// host ids in its environment:
//   MORVANE_ADDRESS      the IPv4 address, dotted (203.0.113.7); empty for an account that keeps IPv6 only
//   MORVANE_ADDRESS6     the IPv6 address (2001:db8::7) of an account that keeps IPv6 names; else empty
//   MORVANE_HOSTIDS      the host ids pushed, separated by spaces
//   MORVANE_PROGRAM_DIR  the program directory
// It runs detached with standard streams on /dev/null and is killed when it takes longer than the
// time-out, so it never holds up the service.

#include <cstdint>
#include <string>
#include <vector>

inline constexpr const char* kAddressHookName = "on-address-change";
inline constexpr int kAddressHookTimeoutMs = 30000;

// Starts the hook when it exists and passes the checks; returns at once. True when it was started (a
// journal line says so); a hook that could not be started is logged as such and gives false.
bool RunAddressHook(const std::string& programDir, uint32_t address, const std::string& address6,
                    const std::vector<uint32_t>& hostids, int timeoutMs = kAddressHookTimeoutMs);
