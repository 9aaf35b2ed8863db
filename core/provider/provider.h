#pragma once
// IProvider: what the manager needs from a dynamic-DNS provider, whichever protocol it speaks.
//   - the public address and the network it is on;
//   - the account's hosts after a login (name and MD5 digest of the password, as the clients send them);
//   - an update of some hosts to an address, with a result per host.
// The web-service client and the dyndns2 client implement it; CConfiguredProvider picks one from
// provider.conf and follows that file while the service runs.

#include <cstdint>
#include <string>
#include <vector>

#include "core/webservice/documents.h"
#include "core/webservice/dynamic_service.h"
#include "shared/packet/records.h"

class IProvider {
public:
    virtual ~IProvider() = default;

    // 0 when the provider answered; `info` then holds the address (0 = none usable now) and the
    // network line. Non-zero leaves `info` untouched.
    virtual int PublicAddress(NetInfo& info) = 0;
    // 0 when the account is known: `account` and `hosts` are filled (enabled flags left at 0).
    virtual int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                      std::vector<DomainRecord>& hosts) = 0;
    // Points the hosts of `results` (host id -> the byte the client sent) at `address` and writes
    // each host's result into the map. 0 when the provider accepted the request as a whole.
    virtual int Update(const std::string& user, const std::string& digest, uint32_t address,
                       UpdateResultMap& results) = 0;

    // True when `hostid`, already pushed with `address`, should be pushed again although nothing
    // changed (a keep-alive some protocols expect); the caller then includes it in the next Update.
    virtual bool RefreshDue(uint32_t /*hostid*/, uint32_t /*address*/) const { return false; }

    // Why the last call that returned `status` failed (the failed login's reason byte, the journal).
    virtual CallFailure Failure(int status) const = 0;
    // Ends a call in progress soon (from any thread) and makes later calls fail: the service stops.
    virtual void Cancel() = 0;
    // The provider in a few words, for the journal.
    virtual std::string Describe() const = 0;
};
