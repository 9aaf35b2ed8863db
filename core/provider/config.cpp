#include "core/provider/config.h"

#include <algorithm>
#include <set>
#include <sstream>

#include "shared/base/files.h"
#include "shared/base/hostname.h"

namespace providerconf {

namespace {

// Public check-IP services used when none is configured; builds for closed networks set the CMake
// list MORVANE_CHECK_IP_DEFAULTS (empty for none).
std::vector<std::string> BuiltInCheckIp()
{
    std::vector<std::string> urls;
    std::string list = MORVANE_CHECK_IP_DEFAULTS;
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
            c.hosts.push_back(value);
        } else if (key == "check-ip") {
            c.checkIp.push_back(value);
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
    for (const std::string& h : c.hosts)
        out += "host=" + h + "\n";
    for (const std::string& u : c.checkIp)
        out += "check-ip=" + u + "\n";
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
    for (const std::string& u : c.checkIp)
        if (HasLineBreak(u) || u.rfind("https://", 0) != 0)
            return "a check-IP address must be an https:// URL: '" + u + "'";
    if (c.kind != ProviderConfig::Kind::Dyndns2)
        return {};
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
    return {};
}

std::vector<std::string> CheckIpUrls(const ProviderConfig& config)
{
    if (!config.checkIp.empty())
        return config.checkIp;
    return config.checkIpDefaults ? BuiltInCheckIp() : std::vector<std::string>{};
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
