#pragma once
// One HTTPS request through libcurl, as the provider clients and the check-IP sources make it:
// certificate and host-name verification always on, HTTPS only (also after a redirect), a User-Agent
// naming Morvane and its version, bounded time and answer size.

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

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
    std::string method;                // empty: GET; "POST", "PATCH", ... send `body`
    std::vector<std::string> headers;  // "Name: value" lines added to the request
    std::string body;
    size_t maxBody = 4096;  // the answer's body beyond this is dropped
};

struct HttpsAnswer {
    long status = 0;       // HTTP status; 0 when no answer came
    std::string body;      // at most the first maxBody bytes
    std::string error;     // libcurl's text when the exchange failed
    long retryAfter = -1;  // seconds, from a Retry-After header in seconds; -1: none
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

// Percent-encoding for a URL's query: unreserved characters as they are, and those in `keep` (a
// list separator a server expects bare, say), everything else as %XX.
std::string QueryEscape(const std::string& text, const char* keep = "");
// The request's method, headers and body go along, as for a GET (the same call: kept for the readers
// of a request that is not a GET).
inline bool HttpsSend(const HttpsRequest& request, HttpsAnswer& answer)
{
    return HttpsGet(request, answer);
}

// "Morvane/<version>"
const char* MorvaneUserAgent();
