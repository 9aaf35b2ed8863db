#include "core/provider/config.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "core/provider/address6.h"
#include "platform/interfaces.h"
#include "shared/base/files.h"
#include "shared/base/hostname.h"
#include "shared/dns/dns_update.h"

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
    switch (kind) {
    case ProviderConfig::Kind::Dyndns2: return "dyndns2";
    case ProviderConfig::Kind::Cloudflare: return "cloudflare";
    case ProviderConfig::Kind::DuckDNS: return "duckdns";
    case ProviderConfig::Kind::Nsupdate: return "nsupdate";
    case ProviderConfig::Kind::Url: return "url";
    default: return "web-service";
    }
}

bool ParseKind(const std::string& text, ProviderConfig::Kind& kind)
{
    using K = ProviderConfig::Kind;
    for (K k : {K::WebService, K::Dyndns2, K::Cloudflare, K::DuckDNS, K::Nsupdate, K::Url})
        if (text == KindName(k)) {
            kind = k;
            return true;
        }
    return false;
}

bool IsAccountKind(ProviderConfig::Kind kind)
{
    return kind != ProviderConfig::Kind::WebService;
}

std::string AccountName(const ProviderConfig& config)
{
    return config.name.empty() ? KindName(config.kind) : config.name;
}

std::string LoginSecret(const ProviderConfig& config)
{
    if (config.kind == ProviderConfig::Kind::Nsupdate)
        return config.password.substr(config.password.rfind(':') + 1);  // the key's secret
    return config.password;
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

bool ParseAll(const std::string& text, std::vector<ProviderConfig>& accounts)
{
    std::vector<ProviderConfig> all(1);
    bool leading = true;  // still in the lines before the first account= line
    bool leadingUsed = false;
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
        if (key == "account") {
            if (all.size() > kMaxAccounts)
                return false;
            if (!leading || leadingUsed)
                all.emplace_back();
            leading = false;
            all.back().name = value;
            continue;
        }
        leadingUsed = leadingUsed || leading;
        ProviderConfig& c = all.back();
        if (key == "kind") {
            if (!ParseKind(value, c.kind))
                return false;
        } else if (key == "server" || key == "api" || key == "url") {
            c.server = value;
        } else if (key == "user") {
            c.user = value;
        } else if (key == "password" || key == "token" || key == "key") {
            c.password = value;
        } else if (key == "zone") {
            c.zone = value;
        } else if (key == "ttl") {
            char* end = nullptr;
            unsigned long ttl = std::strtoul(value.c_str(), &end, 10);
            c.ttl = value.empty() || *end || ttl == 0 || ttl > 86400 ? 0xFFFFFFFFu : static_cast<uint32_t>(ttl);
        } else if (key == "proxied") {
            c.proxied = value == "yes" ? 1 : value == "no" ? 0 : 2;
        } else if (key == "success") {
            c.success = value;
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
    accounts = std::move(all);
    return true;
}

bool Parse(const std::string& text, ProviderConfig& config)
{
    std::vector<ProviderConfig> accounts;
    if (!ParseAll(text, accounts))
        return false;
    config = std::move(accounts.front());
    return true;
}

bool ReadAll(const std::string& path, std::vector<ProviderConfig>& accounts)
{
    if (!files::Exists(path)) {
        accounts.assign(1, ProviderConfig{});
        return true;
    }
    std::string text;
    return files::ReadAll(path, text) && ParseAll(text, accounts);
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

namespace {

// One account's lines (without the header comment and the account= line).
std::string AccountLines(const ProviderConfig& c)
{
    using K = ProviderConfig::Kind;
    std::string out = "kind=" + std::string(KindName(c.kind)) + "\n";
    if (c.kind == K::WebService) {
        for (const std::string& u : c.checkIp)
            out += "check-ip=" + u + "\n";
        if (!c.caFile.empty())
            out += "ca-file=" + c.caFile + "\n";
        return out;
    }
    const char* serverKey = c.kind == K::Cloudflare ? "api" : c.kind == K::Url ? "url" : "server";
    if (!c.server.empty())
        out += std::string(serverKey) + "=" + c.server + "\n";
    if (!c.zone.empty())
        out += "zone=" + c.zone + "\n";
    if (!c.user.empty() || c.kind == K::Dyndns2)
        out += "user=" + c.user + "\n";
    const char* secretKey = c.kind == K::Cloudflare || c.kind == K::DuckDNS ? "token"
                            : c.kind == K::Nsupdate                         ? "key"
                                                                            : "password";
    out += std::string(secretKey) + "=" + c.password + "\n";
    if (c.ttl)
        out += "ttl=" + std::to_string(c.ttl) + "\n";
    if (c.proxied == 0 || c.proxied == 1)
        out += std::string("proxied=") + (c.proxied ? "yes" : "no") + "\n";
    if (!c.success.empty())
        out += "success=" + c.success + "\n";
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

constexpr const char* kHeader = "# Morvane provider (see providers.md); holds a password: keep it 0660.\n";

}  // namespace

std::string Serialize(const ProviderConfig& c)
{
    return SerializeAll({c});
}

std::string SerializeAll(const std::vector<ProviderConfig>& accounts)
{
    // A single account without a name of its own is written as earlier versions wrote it.
    std::string out = kHeader;
    for (const ProviderConfig& c : accounts) {
        if (accounts.size() > 1 || !c.name.empty())
            out += "\naccount=" + AccountName(c) + "\n";
        out += AccountLines(c);
    }
    return out;
}

bool WriteAll(const std::string& path, const std::vector<ProviderConfig>& accounts)
{
    return files::ReplaceAtomically(path, SerializeAll(accounts),
                                    files::ReplaceOptions{0660, files::FileGroup::Directory});
}

bool Write(const std::string& path, const ProviderConfig& config)
{
    // In the data directory's group, so that the service's user reads it whoever writes it (root
    // included); a writer outside that group keeps its own, still 0660. Set on the new file before
    // the password is written to it, and nothing at `path` is followed: a link put there is replaced.
    return files::ReplaceAtomically(path, Serialize(config), files::ReplaceOptions{0660, files::FileGroup::Directory});
}

namespace {

bool IsAccountNameText(const std::string& name)
{
    if (name.empty() || name.size() > 32)
        return false;
    for (unsigned char ch : name)
        if (!std::isalnum(ch) && ch != '-' && ch != '_' && ch != '.')
            return false;
    return true;
}

bool IsHttpsUrl(const std::string& url)
{
    return url.rfind("https://", 0) == 0 && url.size() > 8;
}

// What the kinds other than dyndns2 need besides the common checks.
std::string CheckKind(const ProviderConfig& c)
{
    using K = ProviderConfig::Kind;
    switch (c.kind) {
    case K::Cloudflare:
        if (!c.server.empty() && !IsHttpsUrl(c.server))
            return "the API must be an https:// URL";
        if (c.password.empty())
            return "an API token is needed";
        if (c.proxied == 2)
            return "proxied must be yes or no";
        break;
    case K::DuckDNS:
        if (!c.server.empty() && !IsHttpsUrl(c.server))
            return "the server must be an https:// URL";
        if (c.password.empty())
            return "a token is needed";
        break;
    case K::Nsupdate: {
        std::string host, name, algorithm, secret, why, zone;
        uint16_t port = 0;
        if (!dns::ParseServer(c.server, host, port, why))
            return "the server must be HOST[:PORT] (" + why + ")";
        if (!dns::NormalizeName(c.zone, zone) || zone != c.zone)
            return "the zone must be a plain DNS name in lower case without a final dot: '" + c.zone + "'";
        if (c.password.empty() || !dns::ParseKey(c.password, name, algorithm, secret, why))
            return "a TSIG key is needed" + (why.empty() ? std::string() : " (" + why + ")");
        for (const std::string& h : c.hosts) {
            std::string normalized;
            if (!dns::NormalizeName(h, normalized) || !dns::InZone(normalized, zone))
                return "host " + h + " is not in zone " + zone;
        }
        break;
    }
    case K::Url: {
        if (!IsHttpsUrl(c.server))
            return "the URL template must be an https:// URL";
        // A misspelt placeholder such as {ip} would travel as it stands: named, not sent.
        for (size_t open = c.server.find('{'); open != std::string::npos; open = c.server.find('{', open + 1)) {
            size_t close = c.server.find('}', open);
            std::string name = close == std::string::npos ? "" : c.server.substr(open, close - open + 1);
            bool word = name.size() > 2 && std::all_of(name.begin() + 1, name.end() - 1,
                                                       [](unsigned char ch) { return std::isalnum(ch) || ch == '_'; });
            if (word && name != "{host}" && name != "{ipv4}" && name != "{ipv6}" && name != "{password}")
                return "the URL template holds " + name + ", which is none of {host} {ipv4} {ipv6} {password}";
        }
        bool v4 = c.server.find("{ipv4}") != std::string::npos, v6 = c.server.find("{ipv6}") != std::string::npos;
        if (c.WantsIPv4() && !v4)
            return "the URL template has no {ipv4} although IPv4 addresses are kept";
        if (c.WantsIPv6() && !v6)
            return "the URL template has no {ipv6} although IPv6 addresses are kept";
        if (c.password.empty())
            return "a password is needed (the Basic password, the template's {password}, and the login's)";
        break;
    }
    default: break;
    }
    if (c.ttl == 0xFFFFFFFFu)
        return "ttl must be a number of seconds from 1 to 86400";
    if (c.ttl && c.kind != K::Cloudflare && c.kind != K::Nsupdate)
        return "ttl is for cloudflare and nsupdate accounts";
    return {};
}

}  // namespace

std::string Check(const ProviderConfig& c)
{
    for (const auto* list : {&c.checkIp, &c.checkIp6})
        for (const std::string& u : *list)
            if (HasLineBreak(u) || u.rfind("https://", 0) != 0)
                return "a check-IP address must be an https:// URL: '" + u + "'";
    if (!c.name.empty() && !IsAccountNameText(c.name))
        return "not an account name: '" + c.name + "' (letters, digits, '-', '_' and '.', at most 32)";
    if (c.kind == ProviderConfig::Kind::WebService)
        return {};
    if (c.ip == ProviderConfig::Families::Invalid)
        return "ip must be ipv4, ipv6 or both";
    if (c.dualRequest == ProviderConfig::DualRequest::Invalid)
        return "dual-request must be one or separate";
    if (c.dualRequest != ProviderConfig::DualRequest::One && c.kind != ProviderConfig::Kind::Dyndns2)
        return "dual-request is for dyndns2 accounts";
    if (c.kind == ProviderConfig::Kind::Dyndns2) {
        if (!IsHttpsUrl(c.server))
            return "the server must be an https:// URL";
        if (c.user.empty())
            return "a user name is needed";
        if (c.password.empty())
            return "a password is needed";
    }
    if (!c.interfaceName.empty() && platform::kInterfaceSourcesMissing)
        return platform::kInterfaceSourcesMissing;
    if (c.kind == ProviderConfig::Kind::Nsupdate && dns::kUpdatesMissing)
        return dns::kUpdatesMissing;
    for (const std::string* text : {&c.server, &c.user, &c.password, &c.interfaceName, &c.caFile, &c.zone, &c.success})
        if (HasLineBreak(*text))
            return "values must not contain line breaks";
    if (std::string problem = CheckKind(c); !problem.empty())
        return problem;
    if (c.hosts.empty())
        return "at least one host is needed";
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

std::string CheckAll(const std::vector<ProviderConfig>& accounts)
{
    if (accounts.empty())
        return "no account";
    if (accounts.size() > kMaxAccounts)
        return "more than " + std::to_string(kMaxAccounts) + " accounts";
    std::set<std::string> names, hosts;
    for (const ProviderConfig& c : accounts) {
        std::string name = AccountName(c);
        if (std::string problem = Check(c); !problem.empty())
            return accounts.size() > 1 ? "account " + name + ": " + problem : problem;
        if (accounts.size() > 1 && c.kind == ProviderConfig::Kind::WebService)
            return "the web service cannot be used beside other accounts";
        if (!names.insert(name).second)
            return "two accounts are named " + name + " (give one a name of its own with --name)";
        for (const std::string& h : c.hosts) {
            std::string lower = h;
            for (char& ch : lower)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (!hosts.insert(lower).second)
                return "host " + h + " is in more than one account (each host belongs to one)";
        }
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

std::vector<DomainRecord> HostRecords(const std::vector<ProviderConfig>& accounts)
{
    ProviderConfig all;
    for (const ProviderConfig& c : accounts)
        all.hosts.insert(all.hosts.end(), c.hosts.begin(), c.hosts.end());
    return HostRecords(all);
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
