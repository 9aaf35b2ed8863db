#pragma once
// CAccess: how the workers check the secrets account holders present (passwords on the account page and
// in dyndns2, per-host tokens), shared by all of them. A pair already verified costs a database read and no
// hash. Otherwise the check takes its address's slot (CLoginThrottle) and, when it is a slow hash or must
// wait for that slot, runs in the slow lane (connections.h) while the worker goes on with other requests:
// the handler returns no answer and is asked again with the verdict in the request's notes.

#include <string>

#include "tools/provider/connections.h"
#include "tools/provider/credentials.h"

namespace provider {

class CAccess {
public:
    enum class Verdict {
        Accepted,
        Refused,
        Pending,   // request.defer is set: answer nothing now
        Throttled  // too many failures from this address lately: retryAfter seconds
    };

    // What is stored and what the caller presents.
    enum class Kind {
        Hash,       // an Argon2id hash; the password or token
        Digest,     // an account's MD5 digest (an account made before slow hashes); the password
        SameDigest  // the digest; the digest itself (the web service sends it)
    };

    CAccess();
    // `secret` against `stored`. An empty `stored` (no such account or token) costs what a real check
    // costs and is refused. `busy` is the answer when the slow lane is full. `account` is the account the
    // secret was offered for (a token's: its host's owner), which the slowing down of failures goes by.
    Verdict Check(IncomingRequest& request, const std::string& account, const std::string& stored, Kind kind,
                  const std::string& secret, const std::string& busy, int& retryAfter);
    // The slow hash of `secret`, made off the workers under `name`: nullptr with request.defer set while it is
    // being made.
    const std::string* NewHash(IncomingRequest& request, const std::string& name, const std::string& secret,
                               const std::string& busy);
    CLoginThrottle& Throttle() { return m_throttle; }

private:
    CVerifiedCache m_cache;
    CLoginThrottle m_throttle;
    std::string m_dummy;  // a hash nothing matches, checked in place of a missing one
};

}  // namespace provider
