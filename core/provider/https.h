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

// True when an HTTP answer arrived (whatever its status).
bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer);

// "Morvane/<version>"
const char* MorvaneUserAgent();
