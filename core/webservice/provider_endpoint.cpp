#include "core/webservice/provider_endpoint.h"

#include <cstdlib>

#ifndef MORVANE_PROVIDER_DEFAULT_HOST
#define MORVANE_PROVIDER_DEFAULT_HOST "127.0.0.1"
#endif
#ifndef MORVANE_PROVIDER_DEFAULT_CA
#define MORVANE_PROVIDER_DEFAULT_CA ""
#endif

namespace webservice {

bool ParseProviderAddress(const std::string& whole, std::string& host, uint16_t& port, bool* tls)
{
    std::string text = whole;
    bool secure = false;
    if (text.rfind("https://", 0) == 0) {
        if (!tls)
            return false;
        secure = true;
        text.erase(0, 8);
    } else if (text.rfind("http://", 0) == 0) {
        text.erase(0, 7);
    }
    if (!text.empty() && text.back() == '/' && text.size() < whole.size())
        text.pop_back();
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
    if (h.find('/') != std::string::npos)
        return false;
    host = h;
    port = p;
    if (tls)
        *tls = secure;
    return true;
}

}  // namespace webservice

bool ProviderEndpoint(std::string& host, uint16_t& port, bool* tls)
{
    host = "127.0.0.1";
    port = webservice::kProviderPort;
    if (tls)
        *tls = false;
    webservice::ParseProviderAddress(MORVANE_PROVIDER_DEFAULT_HOST, host, port, tls);
    const char* env = std::getenv("MORVANE_PROVIDER");
    if (!env || !*env)
        return true;
    return webservice::ParseProviderAddress(env, host, port, tls);
}

std::string ProviderCaFile()
{
    const char* env = std::getenv("MORVANE_PROVIDER_CA");
    return env && *env ? env : MORVANE_PROVIDER_DEFAULT_CA;
}
