#pragma once
// IProvider: what the manager needs from a dynamic-DNS provider, whichever protocol it speaks.
//   - the public address (IPv4, and IPv6 where the account keeps IPv6 names) and the network it is on;
//   - the account's hosts after a login (name and MD5 digest of the password, as the clients send them);
//   - an update of some hosts to the addresses, with a result per host.
// The web-service client and the dyndns2 client implement it; CConfiguredProvider picks one from
// provider.conf and follows that file while the service runs.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/provider/address6.h"
#include "core/webservice/documents.h"
#include "core/webservice/dynamic_service.h"
#include "shared/base/ipv4.h"
#include "shared/packet/records.h"

// The machine's public addresses, one per address family, as the manager pushes them.
struct AddressPair {
    uint32_t ipv4 = 0;     // 0: none
    address::IPv6 ipv6{};  // all zero: none

    AddressPair() = default;
    AddressPair(uint32_t v4) : ipv4(v4) {}  // IPv4 alone: the web service's only family
    static AddressPair Of(const NetInfo& info)
    {
        AddressPair pair(static_cast<uint32_t>(info.dyip));
        pair.ipv6 = info.dyip6;
        return pair;
    }
    bool HasIPv6() const
    {
        return std::any_of(ipv6.begin(), ipv6.end(), [](uint8_t b) { return b != 0; });
    }
    bool Empty() const { return ipv4 == 0 && !HasIPv6(); }
    // "203.0.113.7", "2001:db8::7", "203.0.113.7 and 2001:db8::7"; "none".
    std::string Text() const
    {
        std::string v4 = ipv4 ? FormatIPv4(ipv4) : std::string(), v6 = HasIPv6() ? address::FormatIPv6(ipv6) : "";
        return v4.empty() ? (v6.empty() ? "none" : v6) : v6.empty() ? v4 : v4 + " and " + v6;
    }
    bool operator==(const AddressPair&) const = default;
};

// What Failure(status) answers for an update client that records its last failure in `recorded`:
// that record for its status, otherwise the general words for the status.
inline CallFailure UpdateFailure(const CallFailure& recorded, int status)
{
    if (status == recorded.status)
        return recorded;
    return CallFailure{status, status == 0 ? webservice::kFailNone : webservice::kFailUnreachable, "update",
                       status == 0 ? "" : "not updated"};
}

class IProvider {
public:
    virtual ~IProvider() = default;

    // 0 when the provider answered; `info` then holds the address (0 = none usable now), the IPv6
    // address when the account keeps IPv6 names (reportsIPv6; zero = none usable now) and the network
    // line. Non-zero leaves `info` untouched.
    virtual int PublicAddress(NetInfo& info) = 0;
    // 0 when the account is known: `account` and `hosts` are filled (enabled flags left at 0).
    virtual int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                      std::vector<DomainRecord>& hosts) = 0;
    // Points the hosts of `results` (host id -> the byte the client sent) at `address` (the families
    // the provider keeps) and writes each host's result into the map. 0 when the provider accepted the
    // request as a whole.
    virtual int Update(const std::string& user, const std::string& digest, const AddressPair& address,
                       UpdateResultMap& results) = 0;

    // True when `hostid`, already pushed with `address`, should be pushed again although nothing
    // changed (a keep-alive some protocols expect); the caller then includes it in the next Update.
    virtual bool RefreshDue(uint32_t /*hostid*/, const AddressPair& /*address*/) const { return false; }
    // After an Update that returned 0: false when it needed no request at all, the server holding every
    // address already (only a family without an address now changed).
    virtual bool LastUpdateSent() const { return true; }

    // Why the last call that returned `status` failed (the failed login's reason byte, the journal).
    virtual CallFailure Failure(int status) const = 0;
    // Ends a call in progress soon (from any thread) and makes later calls fail: the service stops.
    virtual void Cancel() = 0;
    // The provider in a few words, for the journal.
    virtual std::string Describe() const = 0;
};
