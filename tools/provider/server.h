#pragma once
// The provider's SOAP server: accepts on one address and serves each connection on a small pool of
// threads, each with its own SOAP context and database connection.

#include <csignal>
#include <cstdint>
#include <string>

struct ProviderServerOptions {
    std::string database;
    std::string listen = "127.0.0.1";
    int port = 1800;     // 0 picks a free port (printed on start)
    int threads = 4;
    unsigned long maxRequestBytes = 64 * 1024;
    int ioTimeout = 5;  // seconds a client may stall between bytes
    int historyKeep = 1000;  // history rows kept per host
    int historyDays = 30;    // and none older (0: no age limit)
};

// Runs until *stop becomes non-zero. Prints "listening on ADDR:PORT" once bound. Returns 0 on a clean stop.
int RunProviderServer(const ProviderServerOptions& options, volatile std::sig_atomic_t* stop);

namespace provider {

// The answer documents, built here so the tests can check them without a socket.
std::string NetInfoDocument(int32_t dyip, int nettype, const std::string& location);
// Text of the dotted IPv4 address as one number, first octet most significant. False when malformed.
bool ParseDotted(const std::string& text, uint32_t& address);

}  // namespace provider
