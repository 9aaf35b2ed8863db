#include "core/webservice/provider_endpoint.h"

#include <cstdlib>

#ifndef MORVANE_PROVIDER_DEFAULT_HOST
#define MORVANE_PROVIDER_DEFAULT_HOST "127.0.0.1"
#endif

namespace webservice {

bool ParseProviderAddress(const std::string& text, std::string& host, uint16_t& port)
{
    std::string h;
    std::string portText;
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        h = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            portText = text.substr(close + 2);
            if (portText.empty())
                return false;
        }
    } else {
        size_t colon = text.find(':');
        h = text.substr(0, colon);
        if (colon != std::string::npos) {
            portText = text.substr(colon + 1);
            if (portText.empty() || portText.find(':') != std::string::npos)
                return false;
        }
    }
    if (h.empty())
        return false;
    uint16_t p = kProviderPort;
    if (!portText.empty()) {
        unsigned long value = 0;
        for (char c : portText) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<unsigned long>(c - '0');
            if (value > 65535)
                return false;
        }
        if (value == 0)
            return false;
        p = static_cast<uint16_t>(value);
    }
    host = h;
    port = p;
    return true;
}

}  // namespace webservice

bool ProviderEndpoint(std::string& host, uint16_t& port)
{
    host = MORVANE_PROVIDER_DEFAULT_HOST;
    port = webservice::kProviderPort;
    const char* env = std::getenv("MORVANE_PROVIDER");
    if (!env || !*env)
        return true;
    return webservice::ParseProviderAddress(env, host, port);
}
