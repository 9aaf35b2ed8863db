#pragma once
// The three operations of the dynamic-DNS web service, one exchange each over the given context.
// Status 0 = success, otherwise the SOAP library's error code unchanged. `result` is written only
// when the whole exchange succeeds.

#include <string>

struct soap;

namespace webservice {

// Time limits of one call, in seconds.
struct Timeouts {
    int connect = 10;
    int send = 30;
    int recv = 30;
    int transfer = 60;  // whole send or whole receive, so a server that drips bytes cannot hold a call
    int total = 40;     // the whole call, connect to last byte; well inside the service's stop wait
};

// Largest answer accepted; the documents are a few kilobytes.
constexpr unsigned long kMaxResponseBytes = 4ul * 1024 * 1024;

// Puts a fresh context into the state every call expects: UTF-8 strings, time limits, no SIGPIPE,
// the size cap and the request headers of this client.
void PrepareContext(struct soap* soap, const Timeouts& timeouts);

// Makes the context write the headers this client sends (User-Agent "gSOAP/2.7") and never raise
// SIGPIPE. Idempotent; the operations below call it themselves.
void UseClientHeaders(struct soap* soap);

}  // namespace webservice

int updateDynamic(struct soap* soap, const char* endpoint, const char* action, const std::string& username,
                  const std::string& password, const std::string& dynamicList, std::string& result);
int getDynamic(struct soap* soap, const char* endpoint, const char* action, const std::string& username,
               const std::string& password, std::string& result);
int getDynamicIP(struct soap* soap, const char* endpoint, const char* action, std::string& result);
