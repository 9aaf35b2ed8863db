#include "core/provider/config.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "core/provider/address6.h"
#include "shared/base/files.h"
#include "shared/base/hostname.h"

namespace providerconf {

namespace {

// Public check-IP services used when none is configured; builds for closed networks set the CMake
// lists MORVANE_CHECK_IP_DEFAULTS and MORVANE_CHECK_IP6_DEFAULTS (empty for none).
std::vector<std::string> BuiltInCheckIp(const char* list)
{
    std::vector<std::string> urls;
    std::stringstream in(list);
    std::string url;
    while (std::getline(in, url, ';'))
        if (!url.empty())
            urls.push_back(url);
    return urls;
}

bool HasLineBreak(const std::string& text)
{
    return text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos;
}

uint32_t HashName(const std::string& name)
{
    uint32_t h = 2166136261u;  // FNV-1a
    for (unsigned char c : name) {
        h ^= static_cast<uint32_t>(std::tolower(c));
        h *= 16777619u;
    }
    return h & 0x7FFFFFFFu;  // stays positive where a host id is read as a signed number
}

}  // namespace

const char* KindName(ProviderConfig::Kind kind)
{
    return kind == ProviderConfig::Kind::Dyndns2 ? "dyndns2" : "web-service";
}

const char* FamiliesName(ProviderConfig::Families families)
{
    switch (families) {
    case ProviderConfig::Families::IPv4: return "ipv4";
    case ProviderConfig::Families::IPv6: return "ipv6";
    case ProviderConfig::Families::Both: return "both";
    default: return "?";
    }
}

const char* DualRequestName(ProviderConfig::DualRequest mode)
{
    return mode == ProviderConfig::DualRequest::One        ? "one"
           : mode == ProviderConfig::DualRequest::Separate ? "separate"
                                                           : "?";
}

bool ParseFamilies(const std::string& text, ProviderConfig::Families& families)
{
    for (auto f : {ProviderConfig::Families::IPv4, ProviderConfig::Families::IPv6, ProviderConfig::Families::Both})
        if (text == FamiliesName(f)) {
            families = f;
            return true;
        }
    return false;
}

bool ParseDualRequest(const std::string& text, ProviderConfig::DualRequest& mode)
{
    for (auto m : {ProviderConfig::DualRequest::One, ProviderConfig::DualRequest::Separate})
        if (text == DualRequestName(m)) {
            mode = m;
            return true;
        }
    return false;
}

bool Parse(const std::string& text, ProviderConfig& config)
{
    ProviderConfig c;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "kind") {
            if (value == "dyndns2")
                c.kind = ProviderConfig::Kind::Dyndns2;
            else if (value == "web-service")
                c.kind = ProviderConfig::Kind::WebService;
            else
                return false;
        } else if (key == "server") {
            c.server = value;
        } else if (key == "user") {
            c.user = value;
        } else if (key == "password") {
            c.password = value;
        } else if (key == "host") {
            // NAME or NAME=::ID; a host name never holds '='.
            size_t id = value.find('=');
            c.hosts.push_back(value.substr(0, id));
            if (id != std::string::npos)
                c.interfaceIds[c.hosts.back()] = value.substr(id + 1);
        } else if (key == "ip") {
            if (!ParseFamilies(value, c.ip))
                c.ip = ProviderConfig::Families::Invalid;
        } else if (key == "dual-request") {
            if (!ParseDualRequest(value, c.dualRequest))
                c.dualRequest = ProviderConfig::DualRequest::Invalid;
        } else if (key == "check-ip") {
            c.checkIp.push_back(value);
        } else if (key == "check-ip6") {
            c.checkIp6.push_back(value);
        } else if (key == "check-ip-defaults") {
            c.checkIpDefaults = value != "off";
        } else if (key == "interface") {
            c.interfaceName = value;
        } else if (key == "router") {
            c.router = value != "off";
        } else if (key == "ca-file") {
            c.caFile = value;
        }
    }
    config = std::move(c);
    return true;
}

bool Read(const std::string& path, ProviderConfig& config)
{
    if (!files::Exists(path)) {
        config = ProviderConfig{};
        return true;
    }
    std::string text;
    return files::ReadAll(path, text) && Parse(text, config);
}

std::string Serialize(const ProviderConfig& c)
{
    std::string out = "# Morvane provider (see providers.md); holds a password: keep it 0660.\n";
    out += "kind=" + std::string(KindName(c.kind)) + "\n";
    if (c.kind == ProviderConfig::Kind::WebService) {
        for (const std::string& u : c.checkIp)
            out += "check-ip=" + u + "\n";
        if (!c.caFile.empty())
            out += "ca-file=" + c.caFile + "\n";
        return out;
    }
    out += "server=" + c.server + "\n";
    out += "user=" + c.user + "\n";
    out += "password=" + c.password + "\n";
    for (const std::string& h : c.hosts) {
        auto id = c.interfaceIds.find(h);
        out += "host=" + h + (id != c.interfaceIds.end() ? "=" + id->second : std::string()) + "\n";
    }
    if (c.ip != ProviderConfig::Families::IPv4)
        out += "ip=" + std::string(FamiliesName(c.ip)) + "\n";
    if (c.dualRequest != ProviderConfig::DualRequest::One)
        out += "dual-request=" + std::string(DualRequestName(c.dualRequest)) + "\n";
    for (const std::string& u : c.checkIp)
        out += "check-ip=" + u + "\n";
    for (const std::string& u : c.checkIp6)
        out += "check-ip6=" + u + "\n";
    if (!c.checkIpDefaults)
        out += "check-ip-defaults=off\n";
    if (!c.interfaceName.empty())
        out += "interface=" + c.interfaceName + "\n";
    if (!c.router)
        out += "router=off\n";
    if (!c.caFile.empty())
        out += "ca-file=" + c.caFile + "\n";
    return out;
}

bool Write(const std::string& path, const ProviderConfig& config)
{
    // In the data directory's group, so that the service's user reads it whoever writes it (root
    // included); a writer outside that group keeps its own, still 0660. Set on the new file before
    // the password is written to it, and nothing at `path` is followed: a link put there is replaced.
    return files::ReplaceAtomically(path, Serialize(config), files::ReplaceOptions{0660, files::FileGroup::Directory});
}

std::string Check(const ProviderConfig& c)
{
    for (const auto* list : {&c.checkIp, &c.checkIp6})
        for (const std::string& u : *list)
            if (HasLineBreak(u) || u.rfind("https://", 0) != 0)
                return "a check-IP address must be an https:// URL: '" + u + "'";
    if (c.kind != ProviderConfig::Kind::Dyndns2)
        return {};
    if (c.ip == ProviderConfig::Families::Invalid)
        return "ip must be ipv4, ipv6 or both";
    if (c.dualRequest == ProviderConfig::DualRequest::Invalid)
        return "dual-request must be one or separate";
    if (c.server.rfind("https://", 0) != 0 || c.server.size() <= 8)
        return "the server must be an https:// URL";
    if (c.user.empty())
        return "a user name is needed";
    if (c.password.empty())
        return "a password is needed";
    if (c.hosts.empty())
        return "at least one host is needed";
    for (const std::string* text : {&c.server, &c.user, &c.password, &c.interfaceName, &c.caFile})
        if (HasLineBreak(*text))
            return "values must not contain line breaks";
    for (const std::string& h : c.hosts)
        if (!hostname::IsHostName(h))
            return "not a host name: '" + h + "' (" + hostname::kRule + ")";
    for (const auto& [host, id] : c.interfaceIds) {
        address::IPv6 parsed{};
        if (std::find(c.hosts.begin(), c.hosts.end(), host) == c.hosts.end())
            return "an interface id for a host that is not configured: '" + host + "'";
        if (!address::ParseInterfaceId(id, parsed))
            return "not an interface id: '" + id + "' for " + host +
                   " (an IPv6 address whose upper 64 bits are zero, such as ::1234)";
        if (!c.WantsIPv6())
            return "an interface id (" + host + "=" + id + ") is for IPv6 addresses: use ip ipv6 or both";
    }
    return {};
}

std::vector<std::string> CheckIpUrls(const ProviderConfig& config)
{
    if (!config.checkIp.empty())
        return config.checkIp;
    return config.checkIpDefaults ? BuiltInCheckIp(MORVANE_CHECK_IP_DEFAULTS) : std::vector<std::string>{};
}

std::vector<std::string> CheckIp6Urls(const ProviderConfig& config)
{
    if (!config.checkIp6.empty())
        return config.checkIp6;
    return config.checkIpDefaults ? BuiltInCheckIp(MORVANE_CHECK_IP6_DEFAULTS) : std::vector<std::string>{};
}

std::vector<DomainRecord> HostRecords(const ProviderConfig& config)
{
    std::vector<DomainRecord> records;
    std::set<uint32_t> used;
    for (const std::string& name : config.hosts) {
        uint32_t id = HashName(name);
        while (id == 0 || used.count(id))
            id = (id + 1) & 0x7FFFFFFFu;
        used.insert(id);
        DomainRecord r;
        r.domain = name;
        r.hostid = id;
        records.push_back(std::move(r));
    }
    return records;
}

}  // namespace providerconf
