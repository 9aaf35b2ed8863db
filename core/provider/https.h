#pragma once
// One HTTPS GET through libcurl, as both the dyndns2 client and the check-IP sources make it:
// certificate and host-name verification always on, HTTPS only (also after a redirect), a User-Agent
// naming Morvane and its version, bounded time and answer size.

#include <atomic>
#include <string>

struct HttpsRequest {
    std::string url;
    std::string user;  // Basic authentication when not empty
    std::string password;
    std::string caFile;  // trust these authorities instead of the system's
    long timeoutMs = 20000;
    long connectTimeoutMs = 10000;
    // 4 or 6: connect over that address family only (a check-IP service answers with the address the
    // request came from); 0: either.
    int ipVersion = 0;
    // Set from another thread to end the exchange within about a second (a stop).
    const std::atomic<bool>* cancel = nullptr;
};

struct HttpsAnswer {
    long status = 0;    // HTTP status; 0 when no answer came
    std::string body;   // at most the first 4 KiB
    std::string error;  // libcurl's text when the exchange failed
};

// True when an HTTP answer arrived (whatever its status). In a process that called UseHttpsHelper
// the exchange runs in a child process; otherwise here (HttpsGetHere).
bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer);
// The exchange in this process: libcurl, and the TLS and other libraries it loads, are mapped on the
// first call and stay.
bool HttpsGetHere(const HttpsRequest& request, HttpsAnswer& answer);

// The service: each request runs in `program` started with kHttpsHelperArgument, which makes it and
// ends, so that an idle service keeps none of libcurl's pages (about 3 MB of its memory). The request
// (the password with it) goes over a pipe, never on a command line or in the environment; a cancel
// or a child that overruns the request's time ends the child.
inline constexpr const char* kHttpsHelperArgument = "--https-request";
void UseHttpsHelper(const std::string& program);
// The child's side: one request on standard input, its answer on standard output. Returns the exit
// status.
int HttpsHelperMain();

// "Morvane/<version>"
const char* MorvaneUserAgent();
