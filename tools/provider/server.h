#pragma once
// The provider's server: the SOAP web service, dyndns2 (GET /nic/update), the account page (/account),
// GET /healthz and GET /metrics on one port, over HTTP or HTTPS. Connections are read by one event loop (connections.h); a small pool of threads answers complete
// requests, each with its own SOAP context and database connection.

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/provider/address.h"

class CProviderStore;

struct ProviderServerOptions {
    std::string database;
    std::string listen = "127.0.0.1";  // either family; "::" serves IPv4 callers too
    int port = 1800;                   // 0 picks a free port (printed on start)
    int threads = 4;
    unsigned long maxRequestBytes = 64 * 1024;
    int ioTimeout = 5;  // seconds a client may stall between bytes; twice that for a whole request
    size_t maxConnections = 512;
    std::string tlsCert;  // both set: HTTPS only
    std::string tlsKey;
    int tlsThreads = 0;  // handshake threads; 0: one per processor
    int nochgLimit = 5;  // dyndns2: unchanged updates of a host in a row before "abuse"
    // dyndns2 answers "dnserr" for a stored update of a host whose DNS publication is failing. Unset: the
    // store's publication state decides (CProviderStore::PublicationFailing).
    std::function<bool(CProviderStore& store, uint32_t hostid, provider::IpFamily family)> publicationFailing;
    int historyKeep = 1000;  // history rows kept per host
    int historyDays = 30;    // and none older (0: no age limit)
    int minInterval = 60;    // seconds between accepted changes of one host's addresses (0: no limit)
    // Who may read GET /metrics; loopback by default.
    std::vector<provider::Cidr> metricsFrom = {provider::Cidr::Loopback4(), provider::Cidr::Loopback6()};
    int slowThreads = 1;  // password hashes at once
};

// Runs until *stop becomes non-zero. Prints "listening on ADDR:PORT" once bound. Returns 0 on a clean stop.
int RunProviderServer(const ProviderServerOptions& options, volatile std::sig_atomic_t* stop);

namespace provider {

// The answer documents, built here so the tests can check them without a socket.
std::string NetInfoDocument(int32_t dyip, int nettype, const std::string& location);
// Text of the dotted IPv4 address as one number, first octet most significant. False when malformed.
bool ParseDotted(const std::string& text, uint32_t& address);

}  // namespace provider
