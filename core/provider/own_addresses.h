#pragma once
// What the clients that find the machine's addresses themselves share (dyndns2 and the account kinds
// on CAccountProvider): their hosts with what the server last took, which addresses a host should
// have now, the login check against the account's secret, and the public addresses as the service
// reports them, each change of what is found said once.

#include <cstdint>
#include <functional>
#include <string>

#include "core/provider/accepted_state.h"
#include "core/provider/address_sources.h"
#include "core/provider/config.h"
#include "core/provider/provider.h"

// One host of the account.
struct OwnHost {
    std::string name;
    AddressPair accepted;         // per family, the address the server last took
    bool hasInterfaceId = false;  // its IPv6 address is this machine's /64 with interfaceId (NAME=::ID)
    address::IPv6 interfaceId{};
};

// `host` named `name`, with its interface id from `config`.
void InitOwnHost(OwnHost& host, const ProviderConfig& config, const std::string& name);
// What `host` should point at now: each family the account keeps, when the machine has a usable
// address of it (a public IPv4 address, a global unicast IPv6 one).
AddressPair WantedAddresses(const ProviderConfig& config, const OwnHost& host, const AddressPair& machine);
// `host.accepted` from the state file.
void LoadAccepted(const CAcceptedAddresses& state, OwnHost& host);
// A domain record's data column: what the server holds in the families the account keeps ("V4,V6").
std::string HeldText(const ProviderConfig& config, const AddressPair& accepted);
// True when `digest` is the MD5 digest (hexadecimal, any case) of `secret`; constant time.
bool DigestMatches(const std::string& secret, const std::string& digest);
// The account as a login answers it: `user`, active and validated.
UserInfo OwnUserInfo(const std::string& user);
// `clock()` when given, else the steady clock, in milliseconds.
uint64_t MonotonicMs(const std::function<uint64_t()>& clock);

// The public addresses of an account as PublicAddress reports them. A private, shared (carrier-grade
// NAT) or loopback IPv4 address and an IPv6 address that is not global unicast are reported but
// never offered for an update; the journal hears of each change once, its lines starting with `tag`.
class CAddressReport {
public:
    NetInfo Find(CAddressSources* sources, const ProviderConfig& config, const std::string& tag);

private:
    uint32_t m_last4 = 1;  // the last non-public address logged (1: none, 0: no address)
    int m_last6 = -1;      // what was said last of the IPv6 address: 0 none, 1 usable, 2 not global
};
