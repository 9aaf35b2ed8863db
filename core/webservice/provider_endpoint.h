#pragma once
// Where the provider's web service is: the built-in host and port 1800, or the environment variable
// MORVANE_PROVIDER ("host" or "host:port", "[v6addr]:port") when set.

#include <cstdint>
#include <string>

namespace webservice {

constexpr uint16_t kProviderPort = 1800;

// Parses "host", "host:port" or "[v6addr]:port". False on an empty host or a port outside 1..65535.
bool ParseProviderAddress(const std::string& text, std::string& host, uint16_t& port);

}  // namespace webservice

// Fills host and port from MORVANE_PROVIDER, or the defaults when it is unset or empty. False when the
// variable is set but malformed; host and port then hold the defaults.
bool ProviderEndpoint(std::string& host, uint16_t& port);
