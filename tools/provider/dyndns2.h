#pragma once
// The dyndns2 update protocol beside the web service: GET /nic/update?hostname=a,b&myip=A.B.C.D with
// HTTP Basic authentication against the same accounts, answered one line per host.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/provider/http.h"

class CProviderStore;

namespace provider {

struct Dyndns2Options {
    // Unchanged-address updates of one host in a row answered "nochg"; the next ones get "abuse" until the
    // address really changes.
    int nochgLimit = 5;
    size_t maxHosts = 20;  // more in one request: "numhost"
    // True when the host's DNS publication is known to be failing: its update is stored and answered
    // "dnserr". Unset: never.
    std::function<bool(CProviderStore& store, uint32_t hostid)> publicationFailing;
};

constexpr const char kDyndns2Path[] = "/nic/update";

// The whole HTTP answer to one request for kDyndns2Path. `peer` is the caller's IPv4 address, used when
// the request names none.
std::string Dyndns2Answer(CProviderStore& store, const http::Request& request, uint32_t peer,
                          const Dyndns2Options& options);

}  // namespace provider
