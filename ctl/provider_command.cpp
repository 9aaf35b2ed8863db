// morvanectl provider ...: which provider accounts the service uses, kept in the data directory.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/provider/config.h"
#include "ctl/cli.h"
#include "shared/base/files.h"
#include "shared/base/hostname.h"
#include "shared/base/names.h"
#include "shared/base/secret_file.h"
#include "shared/dns/dns_update.h"
#include "shared/dns/key_file.h"

namespace ctl {

namespace {

using Kind = ProviderConfig::Kind;

constexpr size_t kMaxSecret = 16 * 1024;

std::string FamiliesText(const ProviderConfig& c)
{
    if (c.ip == ProviderConfig::Families::Both)
        return c.kind == Kind::Dyndns2 && c.dualRequest == ProviderConfig::DualRequest::Separate
                   ? "IPv4 and IPv6, one request per family"
                   : "IPv4 and IPv6";
    return c.ip == ProviderConfig::Families::IPv6 ? "IPv6" : "IPv4";
}

std::string KeyName(const ProviderConfig& c)
{
    return c.password.substr(0, c.password.find(':'));
}

std::string InterfaceId(const ProviderConfig& c, const std::string& host)
{
    auto it = c.interfaceIds.find(host);
    return it == c.interfaceIds.end() ? std::string() : it->second;
}

// The fields of one account for provider show --json (without braces).
std::string AccountJson(const ProviderConfig& c)
{
    bool account = providerconf::IsAccountKind(c.kind);
    std::vector<std::string> urls =
        account ? (c.WantsIPv4() ? providerconf::CheckIpUrls(c) : std::vector<std::string>{}) : c.checkIp;
    std::vector<std::string> urls6 =
        account && c.WantsIPv6() ? providerconf::CheckIp6Urls(c) : std::vector<std::string>{};
    auto list = [](const std::vector<std::string>& items) {
        std::string out = "[";
        for (const std::string& i : items) {
            if (out.size() > 1)
                out += ',';
            out += JsonString(i);
        }
        return out + "]";
    };
    std::string out = "\"kind\":" + JsonString(providerconf::KindName(c.kind));
    if (account) {
        std::string ids = "{";
        for (const std::string& h : c.hosts)
            if (!InterfaceId(c, h).empty()) {
                if (ids.size() > 1)
                    ids += ',';
                ids += JsonString(h) + ":" + JsonString(InterfaceId(c, h));
            }
        out += ",\"name\":" + JsonString(providerconf::AccountName(c)) + ",\"server\":" + JsonString(c.server) +
               ",\"user\":" + JsonString(c.user) + ",\"hosts\":" + list(c.hosts) + ",\"interface_ids\":" + ids +
               "},\"ip\":" + JsonString(providerconf::FamiliesName(c.ip)) +
               ",\"dual_request\":" + JsonString(providerconf::DualRequestName(c.dualRequest)) +
               ",\"interface\":" + JsonString(c.interfaceName) + ",\"router\":" + (c.router ? "true" : "false") +
               ",\"ca_file\":" + JsonString(c.caFile) + ",\"check_ip6\":" + list(urls6);
        if (c.kind == Kind::Nsupdate)
            out += ",\"zone\":" + JsonString(c.zone) + ",\"key_name\":" + JsonString(KeyName(c));
        if (c.ttl)
            out += ",\"ttl\":" + std::to_string(c.ttl);
        if (c.proxied == 0 || c.proxied == 1)
            out += std::string(",\"proxied\":") + (c.proxied ? "true" : "false");
        if (!c.success.empty())
            out += ",\"success\":" + JsonString(c.success);
    }
    return out + ",\"check_ip\":" + list(urls);
}

void ShowAccount(const ProviderConfig& c)
{
    bool account = providerconf::IsAccountKind(c.kind);
    std::printf("Provider:  %s\n", providerconf::KindName(c.kind));
    std::vector<std::string> urls =
        account ? (c.WantsIPv4() ? providerconf::CheckIpUrls(c) : std::vector<std::string>{}) : c.checkIp;
    std::vector<std::string> urls6 =
        account && c.WantsIPv6() ? providerconf::CheckIp6Urls(c) : std::vector<std::string>{};
    if (account) {
        std::printf("Account:   %s\n", providerconf::AccountName(c).c_str());
        switch (c.kind) {
        case Kind::Dyndns2:
            std::printf("Server:    %s\nUser:      %s\nPassword:  %s\n", c.server.c_str(), c.user.c_str(),
                        c.password.empty() ? "(none)" : "(stored)");
            break;
        case Kind::Cloudflare:
            std::printf("API:       %s\nToken:     (stored)\n",
                        c.server.empty() ? providerconf::kCloudflareApi : c.server.c_str());
            break;
        case Kind::DuckDNS:
            std::printf("Server:    %s\nToken:     (stored)\n",
                        c.server.empty() ? providerconf::kDuckDnsServer : c.server.c_str());
            break;
        case Kind::Nsupdate:
            std::printf("Server:    %s\nZone:      %s\nKey:       %s (secret stored)\n", c.server.c_str(),
                        c.zone.c_str(), KeyName(c).c_str());
            break;
        default:
            std::printf("URL:       %s\n", c.server.c_str());
            if (!c.user.empty())
                std::printf("User:      %s\n", c.user.c_str());
            std::printf("Password:  (stored)\nSuccess:   %s\n",
                        c.success.empty() ? "any 2xx status" : ("the answer contains \"" + c.success + "\"").c_str());
            break;
        }
        if (c.ttl)
            std::printf("TTL:       %u s\n", c.ttl);
        if (c.proxied == 0 || c.proxied == 1)
            std::printf("Proxied:   %s\n", c.proxied ? "yes" : "no");
        for (const std::string& h : c.hosts)
            std::printf("Host:      %s%s\n", h.c_str(),
                        InterfaceId(c, h).empty()
                            ? ""
                            : (" (IPv6: this machine's /64 with " + InterfaceId(c, h) + ")").c_str());
        std::printf("Families:  %s\n", c.kind == Kind::Dyndns2 && c.ip == ProviderConfig::Families::Both &&
                                               c.dualRequest != ProviderConfig::DualRequest::Separate
                                           ? "IPv4 and IPv6, in one request"
                                           : FamiliesText(c).c_str());
        const bool interface4 = !c.interfaceName.empty() && c.checkIp.empty();
        const bool interface6 = !c.interfaceName.empty() && c.checkIp6.empty();
        if (interface4 || interface6)
            std::printf("Address:   interface %s%s\n", c.interfaceName.c_str(),
                        interface4 && interface6 ? ""
                        : interface4             ? " (IPv4)"
                                                 : " (IPv6)");
        if (!interface4 && c.WantsIPv4()) {
            if (urls.empty())
                std::printf("Address:   %s\n", c.router ? "router (UPnP/NAT-PMP) alone" : "no source");
            else
                std::printf("Address:   check-IP URLs in turn%s\n",
                            c.router ? "; the router (UPnP/NAT-PMP) only when one agrees" : "");
        }
        if (!interface6 && c.WantsIPv6())
            std::printf("IPv6:      %s\n", urls6.empty() ? "no source" : "check-IP6 URLs in turn");
        if (!c.caFile.empty())
            std::printf("CA file:   %s\n", c.caFile.c_str());
    }
    for (const std::string& u : urls)
        std::printf("Check-IP:  %s\n", u.c_str());
    for (const std::string& u : urls6)
        std::printf("Check-IP6: %s\n", u.c_str());
}

// Which options each kind takes (beyond --name, --host and the address options every account has).
bool Takes(Kind kind, const std::string& option)
{
    static const struct {
        const char* option;
        std::set<Kind> kinds;
    } kTable[] = {
        {"--server", {Kind::Dyndns2, Kind::DuckDNS, Kind::Nsupdate}},
        {"--user", {Kind::Dyndns2, Kind::Url}},
        {"--dual-request", {Kind::Dyndns2}},
        {"--token-file", {Kind::Cloudflare, Kind::DuckDNS}},
        {"--ttl", {Kind::Cloudflare, Kind::Nsupdate}},
        {"--proxied", {Kind::Cloudflare}},
        {"--api", {Kind::Cloudflare}},
        {"--zone", {Kind::Nsupdate}},
        {"--key-file", {Kind::Nsupdate}},
        {"--key-name", {Kind::Nsupdate}},
        {"--url", {Kind::Url}},
        {"--password-file", {Kind::Dyndns2, Kind::Url}},
        {"--success", {Kind::Url}},
    };
    for (const auto& row : kTable)
        if (option == row.option)
            return row.kinds.count(kind) > 0;
    return true;
}

std::string KindsTaking(const std::string& option)
{
    std::string out;
    using K = Kind;
    for (K k : {K::Dyndns2, K::Cloudflare, K::DuckDNS, K::Nsupdate, K::Url})
        if (Takes(k, option))
            out += (out.empty() ? "" : " and ") + std::string(providerconf::KindName(k));
    return out;
}

// A secret from a file ("-": standard input), without the final line break.
bool SecretFromFile(const std::string& path, std::string& secret, std::string& why)
{
    if (!files::ReadSecretFile(path, kMaxSecret, secret, why))
        return false;
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r' || secret.back() == ' '))
        secret.pop_back();
    if (secret.find_first_of("\r\n") != std::string::npos) {
        why = path + " holds more than one line";
        return false;
    }
    return true;
}

// Parses `provider set|add KIND OPTIONS...` from args[first] on into `c`, reading its secret. 0 or
// the exit code after saying what is wrong.
int ParseAccount(const Options& opt, size_t first, const std::string& verb, ProviderConfig& c)
{
    const std::string& kind = opt.args[first];
    const std::string where = "provider " + verb + " " + kind;
    if (!providerconf::ParseKind(kind, c.kind))
        return Fail(opt, kExitUsage,
                    "provider " + verb + ": unknown kind '" + kind +
                        "' (web-service, dyndns2, cloudflare, duckdns, nsupdate or url)");
    std::string secretFile, keyFile, keyName;
    for (size_t i = first + 1; i < opt.args.size(); ++i) {
        const std::string& a = opt.args[i];
        bool hasValue = i + 1 < opt.args.size();
        if (a == "--password" || a == "--token" || a == "--key" || a == "--secret")
            return Fail(opt, kExitUsage,
                        "secrets are never taken from the command line: give a file (or - for standard input) with " +
                            std::string(c.kind == Kind::Nsupdate                                ? "--key-file"
                                        : c.kind == Kind::Cloudflare || c.kind == Kind::DuckDNS ? "--token-file"
                                                                                                : "--password-file") +
                            ", or type it when asked");
        if (c.kind == Kind::WebService && a != "--check-ip" && a != "--ca-file")
            return Fail(opt, kExitUsage, where + ": '" + a + "' is for the other kinds");
        if (!Takes(c.kind, a))
            return Fail(opt, kExitUsage, where + ": " + a + " is for " + KindsTaking(a) + " accounts");
        bool flag = a == "--no-router" || a == "--no-check-ip-defaults";
        if (!flag && !hasValue)
            return Fail(opt, kExitUsage,
                        where + ": unexpected '" + a + "'" + (a.rfind("--", 0) == 0 ? " (it needs a value)" : ""));
        const std::string v = flag ? std::string() : opt.args[i + 1];
        i += flag ? 0 : 1;
        if (a == "--check-ip") {
            c.checkIp.push_back(v);
        } else if (a == "--ca-file") {
            c.caFile = v;
        } else if (a == "--name") {
            c.name = v;
        } else if (a == "--server" || a == "--api" || a == "--url") {
            c.server = v;
        } else if (a == "--user") {
            c.user = v;
        } else if (a == "--host") {
            // Written as the server will be asked for it: without a final dot. NAME=::ID gives the host
            // this machine's IPv6 prefix with that interface id.
            std::string name, text = v, id;
            if (size_t eq = text.find('='); eq != std::string::npos) {
                id = text.substr(eq + 1);
                text.resize(eq);
            }
            c.hosts.push_back(hostname::FromText(text, name) ? name : text);
            if (!id.empty() || text.size() != v.size())
                c.interfaceIds[c.hosts.back()] = id;
        } else if (a == "--ip") {
            if (!providerconf::ParseFamilies(v, c.ip))
                return Fail(opt, kExitUsage, where + ": --ip takes ipv4, ipv6 or both");
        } else if (a == "--dual-request") {
            if (!providerconf::ParseDualRequest(v, c.dualRequest))
                return Fail(opt, kExitUsage, where + ": --dual-request takes one or separate");
        } else if (a == "--check-ip6") {
            c.checkIp6.push_back(v);
        } else if (a == "--interface") {
            c.interfaceName = v;
        } else if (a == "--no-router") {
            c.router = false;
        } else if (a == "--no-check-ip-defaults") {
            c.checkIpDefaults = false;
        } else if (a == "--token-file" || a == "--password-file") {
            secretFile = v;
        } else if (a == "--key-file") {
            keyFile = v;
        } else if (a == "--key-name") {
            keyName = v;
        } else if (a == "--zone") {
            std::string zone;
            c.zone = dns::NormalizeName(v, zone) ? zone : v;
        } else if (a == "--ttl") {
            char* end = nullptr;
            unsigned long ttl = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end || ttl < 1 || ttl > 86400)
                return Fail(opt, kExitUsage, where + ": --ttl takes a number of seconds from 1 to 86400");
            c.ttl = static_cast<uint32_t>(ttl);
        } else if (a == "--proxied") {
            if (v != "yes" && v != "no")
                return Fail(opt, kExitUsage, where + ": --proxied takes yes or no");
            c.proxied = v == "yes" ? 1 : 0;
        } else if (a == "--success") {
            c.success = v;
        } else {
            return Fail(opt, kExitUsage, where + ": unexpected '" + a + "'");
        }
    }
    if (c.kind == Kind::WebService)
        return 0;
    if (c.dualRequest != ProviderConfig::DualRequest::One && c.ip != ProviderConfig::Families::Both)
        return Fail(opt, kExitUsage, where + ": --dual-request is for --ip both");
    if (!c.checkIp6.empty() && !c.WantsIPv6())
        return Fail(opt, kExitUsage, where + ": --check-ip6 is for --ip ipv6 or both");
    if (c.kind == Kind::Nsupdate && keyFile.empty())
        return Fail(opt, kExitUsage,
                    where + ": --key-file FILE is needed (the key as tsig-keygen writes it; - for standard input)");
    if (c.kind == Kind::Nsupdate && c.zone.empty())
        return Fail(opt, kExitUsage, where + ": --zone ZONE is needed");
    // Everything but the secret is checked before it is asked for.
    c.password = c.kind == Kind::Nsupdate ? "key:hmac-sha256:AAAA" : "x";
    std::string problem = providerconf::Check(c);
    if (!problem.empty())
        return Fail(opt, kExitUsage, where + ": " + problem);
    if (!c.caFile.empty() && !files::Exists(c.caFile))
        return Fail(opt, kExitUsage, "no CA file at " + c.caFile);
    std::string why;
    if (c.kind == Kind::Nsupdate) {
        std::string text;
        std::vector<dns::TsigKey> keys;
        dns::TsigKey key;
        if (!files::ReadSecretFile(keyFile, kMaxSecret, text, why) || !dns::ParseKeyFile(text, keys, why) ||
            !dns::ChooseKey(keys, keyName, key, why))
            return Fail(opt, kExitUsage, where + ": " + (keyFile == "-" ? "standard input" : keyFile) + ": " + why);
        c.password = key.name + ":" + key.algorithm + ":" + key.secret;
    } else if (!secretFile.empty()) {
        if (!SecretFromFile(secretFile, c.password, why))
            return Fail(opt, kExitUsage, where + ": " + why);
    } else {
        c.password = ReadPassword();
    }
    if (c.password.empty())
        return Fail(opt, kExitUsage,
                    std::string("the ") +
                        (c.kind == Kind::Cloudflare || c.kind == Kind::DuckDNS ? "token" : "password") +
                        " must not be empty");
    problem = providerconf::Check(c);
    return problem.empty() ? 0 : Fail(opt, kExitUsage, where + ": " + problem);
}

int Save(const Options& opt, const std::string& path, const std::vector<ProviderConfig>& accounts)
{
    std::string problem = providerconf::CheckAll(accounts);
    if (!problem.empty())
        return Fail(opt, kExitUsage, "provider: " + problem);
    if (!providerconf::WriteAll(path, accounts))
        return Fail(opt, kExitFailed, "cannot write " + path + " (" + std::strerror(errno) + ")");
    return kExitOk;
}

std::string LoginName(const ProviderConfig& c)
{
    return c.kind == Kind::Dyndns2 ? c.user : providerconf::AccountName(c);
}

}  // namespace

int ProviderCommand(const Options& opt)
{
    const std::string path = opt.dir + "/" + kProviderFileName;
    const std::string verb = opt.args.size() >= 2 ? opt.args[1] : "";
    if (verb == "show") {
        std::vector<ProviderConfig> accounts;
        if (!providerconf::ReadAll(path, accounts))
            return Fail(opt, kExitFailed, "cannot read " + path);
        if (opt.json) {
            if (accounts.size() == 1) {
                std::printf("{\"ok\":true,%s}\n", AccountJson(accounts.front()).c_str());
            } else {
                std::string all;
                for (const ProviderConfig& c : accounts)
                    all += (all.empty() ? "{" : ",{") + AccountJson(c) + "}";
                std::printf("{\"ok\":true,\"accounts\":[%s]}\n", all.c_str());
            }
            return kExitOk;
        }
        for (size_t i = 0; i < accounts.size(); ++i) {
            if (i)
                std::printf("\n");
            ShowAccount(accounts[i]);
        }
        return kExitOk;
    }
    if (verb == "remove") {
        if (opt.args.size() != 3)
            return Fail(opt, kExitUsage,
                        "provider remove: expected the account's name (see: morvanectl provider show)");
        std::vector<ProviderConfig> accounts;
        if (!providerconf::ReadAll(path, accounts))
            return Fail(opt, kExitFailed, "cannot read " + path);
        size_t before = accounts.size();
        std::erase_if(accounts, [&](const ProviderConfig& c) {
            return providerconf::IsAccountKind(c.kind) && providerconf::AccountName(c) == opt.args[2];
        });
        if (accounts.size() == before)
            return Fail(opt, kExitUsage, "provider remove: no account named " + opt.args[2]);
        if (accounts.empty())
            accounts.emplace_back();  // back to the web service
        if (int rc = Save(opt, path, accounts); rc != kExitOk)
            return rc;
        if (opt.json)
            std::printf("{\"ok\":true,\"accounts\":%zu}\n",
                        providerconf::IsAccountKind(accounts.front().kind) ? accounts.size() : 0);
        else
            std::printf("Account %s removed; %s.\n", opt.args[2].c_str(),
                        providerconf::IsAccountKind(accounts.front().kind)
                            ? (std::to_string(accounts.size()) + " account(s) left").c_str()
                            : "the service uses the web service again");
        return kExitOk;
    }
    if (opt.args.size() < 3 || (verb != "set" && verb != "add"))
        return Fail(opt, kExitUsage, "provider: expected 'show', 'set KIND ...', 'add KIND ...' or 'remove NAME'");

    ProviderConfig c;
    if (int rc = ParseAccount(opt, 2, verb, c); rc != 0)
        return rc;
    std::vector<ProviderConfig> accounts;
    if (verb == "add") {
        if (c.kind == Kind::WebService)
            return Fail(opt, kExitUsage,
                        "provider add: the web service is not an account to add; use provider set web-service");
        if (!providerconf::ReadAll(path, accounts))
            return Fail(opt, kExitFailed, "cannot read " + path);
        if (!providerconf::IsAccountKind(accounts.front().kind))
            accounts.clear();  // the web service gives way to the accounts
        for (const ProviderConfig& other : accounts)
            if (providerconf::AccountName(other) == providerconf::AccountName(c))
                return Fail(opt, kExitUsage,
                            "provider add: there is already an account named " + providerconf::AccountName(c) +
                                "; give this one --name NAME");
    }
    accounts.push_back(c);
    if (int rc = Save(opt, path, accounts); rc != kExitOk)
        return rc;
    if (opt.json)
        std::printf("{\"ok\":true,\"kind\":%s,\"name\":%s}\n", JsonString(providerconf::KindName(c.kind)).c_str(),
                    JsonString(providerconf::AccountName(c)).c_str());
    else if (c.kind == Kind::Dyndns2 && accounts.size() == 1)
        std::printf("Provider set to the dyndns2 account %s at %s (%zu host(s), %s).\n"
                    "The service uses it at once; log in with: morvanectl login %s\n",
                    c.user.c_str(), c.server.c_str(), c.hosts.size(), FamiliesText(c).c_str(), c.user.c_str());
    else if (c.kind != Kind::WebService)
        std::printf("%s the %s account %s (%zu host(s), %s)%s.\n"
                    "The service uses it at once; log in with: morvanectl login %s (its %s as the password)\n",
                    verb == "add" ? "Added" : "Provider set to", providerconf::KindName(c.kind),
                    providerconf::AccountName(c).c_str(), c.hosts.size(), FamiliesText(c).c_str(),
                    accounts.size() > 1 ? (", " + std::to_string(accounts.size()) + " accounts in all").c_str() : "",
                    LoginName(c).c_str(),
                    c.kind == Kind::Cloudflare || c.kind == Kind::DuckDNS ? "token"
                    : c.kind == Kind::Nsupdate                            ? "TSIG key's secret"
                                                                          : "password");
    else
        std::printf("Provider set to the web service; log in with its account: morvanectl login\n");
    return kExitOk;
}

}  // namespace ctl
