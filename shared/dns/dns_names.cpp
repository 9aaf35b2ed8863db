// The text checks of dynamic DNS updates: names, zones, servers and TSIG keys. No library and no network,
// so they serve the configuration checks on every system.
#include "shared/dns/dns_update.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace dns {

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool IsBase64(const std::string& s)
{
    if (s.empty() || s.size() % 4 != 0)
        return false;
    size_t pad = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '=') {
            ++pad;
            continue;
        }
        if (pad || !(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/'))
            return false;
    }
    return pad <= 2;
}

}  // namespace

const char* AlgorithmWireName(const std::string& algorithm)
{
    static const struct {
        const char* name;
        const char* wire;
    } kAlgorithms[] = {{"hmac-sha1", "hmac-sha1."},     {"hmac-sha224", "hmac-sha224."},
                       {"hmac-sha256", "hmac-sha256."}, {"hmac-sha384", "hmac-sha384."},
                       {"hmac-sha512", "hmac-sha512."}, {"hmac-md5", "hmac-md5.sig-alg.reg.int."}};
    for (const auto& a : kAlgorithms)
        if (algorithm == a.name)
            return a.wire;
    return nullptr;
}

bool NormalizeName(const std::string& text, std::string& name)
{
    std::string n = Lower(text);
    if (!n.empty() && n.back() == '.')
        n.pop_back();
    if (n.empty() || n.size() > 253)
        return false;
    size_t label = 0;
    for (char c : n) {
        if (c == '.') {
            if (label == 0)
                return false;
            label = 0;
            continue;
        }
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') || ++label > 63)
            return false;
    }
    if (label == 0)
        return false;
    name = n;
    return true;
}

bool InZone(const std::string& name, const std::string& zone)
{
    if (name.size() == zone.size())
        return name == zone;
    return name.size() > zone.size() && name.compare(name.size() - zone.size(), zone.size(), zone) == 0 &&
           name[name.size() - zone.size() - 1] == '.';
}

bool KnownAlgorithm(const std::string& algorithm)
{
    return AlgorithmWireName(algorithm) != nullptr;
}

bool ParseServer(const std::string& text, std::string& host, uint16_t& port, std::string& why)
{
    std::string h = text;
    std::string p;
    bool hasPort = false;
    if (!h.empty() && h[0] == '[') {
        size_t close = h.find(']');
        if (close == std::string::npos || (close + 1 < h.size() && h[close + 1] != ':')) {
            why = "expected [ADDRESS]:PORT";
            return false;
        }
        hasPort = close + 1 < h.size();
        p = hasPort ? h.substr(close + 2) : "";
        h = h.substr(1, close - 1);
    } else if (std::count(h.begin(), h.end(), ':') == 1) {  // more than one: a bare IPv6 address
        hasPort = true;
        p = h.substr(h.find(':') + 1);
        h = h.substr(0, h.find(':'));
    }
    port = 53;
    if (hasPort) {
        char* end = nullptr;
        long v = std::strtol(p.c_str(), &end, 10);
        if (p.empty() || *end != '\0' || v < 1 || v > 65535) {
            why = "bad port '" + p + "'";
            return false;
        }
        port = static_cast<uint16_t>(v);
    }
    if (h.empty()) {
        why = "no server";
        return false;
    }
    host = h;
    return true;
}

bool ParseKey(const std::string& text, std::string& name, std::string& algorithm, std::string& secret, std::string& why)
{
    size_t first = text.find(':');
    size_t last = text.rfind(':');
    if (first == std::string::npos) {
        why = "expected NAME:ALGORITHM:SECRET";
        return false;
    }
    std::string n = text.substr(0, first);
    std::string a = first == last ? "hmac-sha256" : Lower(text.substr(first + 1, last - first - 1));
    std::string s = text.substr(last + 1);
    std::string normalized;
    if (!NormalizeName(n, normalized)) {
        why = "bad key name '" + n + "'";
        return false;
    }
    if (!KnownAlgorithm(a)) {
        why = "unknown algorithm '" + a + "' (hmac-sha1, hmac-sha224, hmac-sha256, hmac-sha384, hmac-sha512, hmac-md5)";
        return false;
    }
    if (!IsBase64(s)) {
        why = "the secret is not base64";
        return false;
    }
    name = normalized;
    algorithm = a;
    secret = s;
    return true;
}

}  // namespace dns
