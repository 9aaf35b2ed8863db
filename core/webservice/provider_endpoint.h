#pragma once
// Where the provider's web service is: the built-in endpoint (CMake MORVANE_PROVIDER_HOST) or the
// environment variable MORVANE_PROVIDER when set: "host", "host:port", "[v6addr]:port", each optionally
// preceded by "http://" or "https://". The port is 1800 unless given, with or without TLS.

#include <cstdint>
#include <string>

namespace webservice {

constexpr uint16_t kProviderPort = 1800;

// Parses "host", "host:port" or "[v6addr]:port", after an optional "http://" or "https://" (and before an
// optional "/"). False on an empty host or a port outside 1..65535, and on "https://" when `tls` is null.
bool ParseProviderAddress(const std::string& text, std::string& host, uint16_t& port, bool* tls = nullptr);

}  // namespace webservice

// Fills host, port (and whether to use TLS) from MORVANE_PROVIDER, or the defaults when it is unset or
// empty. False when the variable is set but malformed; the outputs then hold the defaults.
bool ProviderEndpoint(std::string& host, uint16_t& port, bool* tls = nullptr);

// The CA file (PEM) an https provider's certificate must chain to: MORVANE_PROVIDER_CA, else the build's
// MORVANE_PROVIDER_CA. Empty: the system's CA store.
std::string ProviderCaFile();
