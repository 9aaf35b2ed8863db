#pragma once
// Which address of a local interface the service publishes, from the interface's addresses as the
// kernel lists them (flags and lifetimes included).
//
// IPv6: global unicast only (2000::/3); never a temporary (privacy) address, a deprecated one
// (flagged, or preferred lifetime 0), one still in or failed by duplicate address detection
// (tentative, optimistic, DAD failed). Among the rest a permanent address (configured without
// lifetimes) comes first, then the longest preferred lifetime, then the lowest address. The address
// in use stays while it is eligible and no better class (a permanent one for a non-permanent one)
// appears, so two good addresses never take turns as their lifetimes count down.
//
// IPv4: not tentative or failed; a public address before a private one, then one not deprecated,
// then the interface's primary address before secondary ones, then the kernel's order.

#include <cstdint>
#include <string>
#include <vector>

#include "core/provider/address6.h"
#include "core/provider/rtnetlink.h"

namespace address {

bool IsEligibleIPv6(const rtnl::AddressRecord& record);
// Index in `records` of the IPv6 address to publish, or -1. `current` is the one in use (null: none).
int ChooseIPv6(const std::vector<rtnl::AddressRecord>& records, const IPv6* current);
// Index in `records` of the IPv4 address to publish, or -1.
int ChooseIPv4(const std::vector<rtnl::AddressRecord>& records);

// The interface's addresses read now and chosen by the rules above. False with the reason when
// the interface does not exist, cannot be read, or has no eligible address.
bool InterfaceIPv4(const std::string& name, uint32_t& address, std::string& why);
bool InterfaceIPv6(const std::string& name, const IPv6* current, IPv6& address, std::string& why);

}  // namespace address
