#pragma once
// The dyndns2 update protocol beside the web service: GET /nic/update?hostname=a,b&myip=A.B.C.D with
// HTTP Basic authentication against the same accounts (or, with the host name as user name, one of that
// host's tokens), answered one line per host. Dual-stack: a request may name an IPv4 address, an IPv6
// address or one of each; each family of a host is set on its own.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tools/provider/access.h"
#include "tools/provider/address.h"
#include "tools/provider/connections.h"
#include "tools/provider/http.h"
#include "tools/provider/store.h"

namespace provider {

struct Dyndns2Options {
    // Unchanged-address updates of one host in a row answered "nochg"; the next ones get "abuse" until the
    // address really changes.
    int nochgLimit = 5;
    size_t maxHosts = 20;  // more in one request: "numhost"
    // True when the DNS publication of the host's address of that family is known to be failing: its update
    // is stored and answered "dnserr". Unset: never.
    std::function<bool(CProviderStore& store, uint32_t hostid, IpFamily family)> publicationFailing;
    // Told the result of each host's line ("good", "nochg", "throttled" for a change held back by the
    // minimum interval, ...), for the metrics.
    std::function<void(const char* result)> count;
};

constexpr const char kDyndns2Path[] = "/nic/update";

enum class WantedVerdict {
    Ok,
    Malformed,   // not an address, one of the wrong family, or two of one family
    NotStorable  // an IPv6 address that is not global unicast (link-local, ULA, multicast, mapped, loopback)
};

// The addresses of `myip` (a comma-separated list, at most one per family, either order), `myipv4`,
// `myipv6` and `myip6`, a "/len" suffix dropped, in canonical text; with none of them, the caller's own:
// `peer` (IPv4, also for an IPv4-mapped caller) or else `peer6`.
WantedVerdict WantedFromQuery(const std::vector<std::pair<std::string, std::string>>& params, uint32_t peer,
                              const std::string& peer6, ProviderAddresses& wanted);

// The whole HTTP answer to one request for kDyndns2Path; empty with request.defer set while its
// credentials are being checked off the workers.
std::string Dyndns2Answer(CProviderStore& store, CAccess& access, IncomingRequest& request,
                          const Dyndns2Options& options);

}  // namespace provider
