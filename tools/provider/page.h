#pragma once
// The account page: account holders sign in with their password and see their hosts (addresses of both
// families, their publication, recent history), make and revoke per-host update tokens, and change their
// password. Server-rendered HTML in English and Chinese, a little CSS, no script. A session is a random
// cookie (HttpOnly, SameSite=Strict, Secure under TLS) whose hash the store keeps; every form carries a
// token of its session (the sign-in form one of a cookie of its own), and a form without it changes
// nothing.

#include <cstdint>
#include <string>

#include "tools/provider/access.h"
#include "tools/provider/connections.h"
#include "tools/provider/store.h"

namespace provider {

constexpr const char kPagePath[] = "/account";

struct PageOptions {
    bool secure = false;                     // served over TLS: cookies are Secure
    int64_t idleMs = 30 * 60 * 1000;         // a session unused this long ends
    int64_t maxAgeMs = 12 * 60 * 60 * 1000;  // and any session after this long
    size_t historyRows = 10;                 // per host
};

// The answer to a request for kPagePath or below it; empty with request.defer set while a password or
// token is being hashed off the workers.
std::string PageAnswer(CProviderStore& store, CAccess& access, IncomingRequest& request, const PageOptions& options);

// Text with &, <, >, " and ' replaced by their character references.
std::string HtmlEscape(std::string_view text);

}  // namespace provider
