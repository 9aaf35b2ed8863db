// morvanectl provider ...: which provider the service uses, kept in the data directory.

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <string>
#include <vector>

#include "core/provider/config.h"
#include "ctl/cli.h"
#include "shared/base/files.h"
#include "shared/base/hostname.h"
#include "shared/base/names.h"

namespace ctl {

int ProviderCommand(const Options& opt)
{
    const std::string path = opt.dir + "/" + kProviderFileName;
    if (opt.args.size() >= 2 && opt.args[1] == "show") {
        ProviderConfig c;
        if (!providerconf::Read(path, c))
            return Fail(opt, kExitFailed, "cannot read " + path);
        bool dyn = c.kind == ProviderConfig::Kind::Dyndns2;
        std::vector<std::string> urls =
            dyn ? (c.WantsIPv4() ? providerconf::CheckIpUrls(c) : std::vector<std::string>{}) : c.checkIp;
        std::vector<std::string> urls6 =
            dyn && c.WantsIPv6() ? providerconf::CheckIp6Urls(c) : std::vector<std::string>{};
        auto id6 = [&](const std::string& host) {
            auto it = c.interfaceIds.find(host);
            return it == c.interfaceIds.end() ? std::string() : it->second;
        };
        if (opt.json) {
            std::string hosts = "[", checks = "[", checks6 = "[", ids = "{";
            for (const std::string& h : c.hosts) {
                hosts += (hosts.size() > 1 ? "," : "") + JsonString(h);
                if (!id6(h).empty())
                    ids += (ids.size() > 1 ? "," : "") + JsonString(h) + ":" + JsonString(id6(h));
            }
            for (const std::string& u : urls)
                checks += (checks.size() > 1 ? "," : "") + JsonString(u);
            for (const std::string& u : urls6)
                checks6 += (checks6.size() > 1 ? "," : "") + JsonString(u);
            std::printf("{\"ok\":true,\"kind\":%s", JsonString(providerconf::KindName(c.kind)).c_str());
            if (dyn)
                std::printf(",\"server\":%s,\"user\":%s,\"hosts\":%s],\"interface_ids\":%s},\"ip\":%s,"
                            "\"dual_request\":%s,\"interface\":%s,\"router\":%s,\"ca_file\":%s,\"check_ip6\":%s]",
                            JsonString(c.server).c_str(), JsonString(c.user).c_str(), hosts.c_str(), ids.c_str(),
                            JsonString(providerconf::FamiliesName(c.ip)).c_str(),
                            JsonString(providerconf::DualRequestName(c.dualRequest)).c_str(),
                            JsonString(c.interfaceName).c_str(), c.router ? "true" : "false",
                            JsonString(c.caFile).c_str(), checks6.c_str());
            std::printf(",\"check_ip\":%s]}\n", checks.c_str());
            return kExitOk;
        }
        std::printf("Provider:  %s\n", providerconf::KindName(c.kind));
        if (dyn) {
            std::printf("Server:    %s\nUser:      %s\nPassword:  %s\n", c.server.c_str(), c.user.c_str(),
                        c.password.empty() ? "(none)" : "(stored)");
            for (const std::string& h : c.hosts)
                std::printf("Host:      %s%s\n", h.c_str(),
                            id6(h).empty() ? "" : (" (IPv6: this machine's /64 with " + id6(h) + ")").c_str());
            std::printf("Families:  %s\n", c.ip == ProviderConfig::Families::Both
                                               ? (c.dualRequest == ProviderConfig::DualRequest::Separate
                                                      ? "IPv4 and IPv6, one request per family"
                                                      : "IPv4 and IPv6, in one request")
                                           : c.ip == ProviderConfig::Families::IPv6 ? "IPv6"
                                                                                    : "IPv4");
            if (!c.interfaceName.empty())
                std::printf("Address:   interface %s\n", c.interfaceName.c_str());
            if (c.interfaceName.empty() && c.WantsIPv4()) {
                if (urls.empty())
                    std::printf("Address:   %s\n", c.router ? "router (UPnP/NAT-PMP) alone" : "no source");
                else
                    std::printf("Address:   check-IP URLs in turn%s\n",
                                c.router ? "; the router (UPnP/NAT-PMP) only when one agrees" : "");
            }
            if (c.interfaceName.empty() && c.WantsIPv6())
                std::printf("IPv6:      %s\n", urls6.empty() ? "no source" : "check-IP6 URLs in turn");
            if (!c.caFile.empty())
                std::printf("CA file:   %s\n", c.caFile.c_str());
        }
        for (const std::string& u : urls)
            std::printf("Check-IP:  %s\n", u.c_str());
        for (const std::string& u : urls6)
            std::printf("Check-IP6: %s\n", u.c_str());
        return kExitOk;
    }
    if (opt.args.size() < 3 || opt.args[1] != "set")
        return Fail(opt, kExitUsage, "provider: expected 'show', 'set web-service' or 'set dyndns2 ...'");

    ProviderConfig c;
    const std::string& kind = opt.args[2];
    if (kind == "dyndns2")
        c.kind = ProviderConfig::Kind::Dyndns2;
    else if (kind != "web-service")
        return Fail(opt, kExitUsage, "provider set: unknown kind '" + kind + "' (web-service or dyndns2)");
    for (size_t i = 3; i < opt.args.size(); ++i) {
        const std::string& a = opt.args[i];
        bool hasValue = i + 1 < opt.args.size();
        bool dynOnly = true;
        if (a == "--check-ip" && hasValue) {
            c.checkIp.push_back(opt.args[++i]);
            dynOnly = false;
        } else if (a == "--ca-file" && hasValue) {
            c.caFile = opt.args[++i];
            dynOnly = false;
        } else if (a == "--server" && hasValue) {
            c.server = opt.args[++i];
        } else if (a == "--user" && hasValue) {
            c.user = opt.args[++i];
        } else if (a == "--host" && hasValue) {
            // Written as the dyndns2 server will be asked for it: without a final dot. NAME=::ID gives
            // the host this machine's IPv6 prefix with that interface id.
            std::string name, text = opt.args[++i], id;
            if (size_t eq = text.find('='); eq != std::string::npos) {
                id = text.substr(eq + 1);
                text.resize(eq);
            }
            c.hosts.push_back(hostname::FromText(text, name) ? name : text);
            if (!id.empty() || text.size() != opt.args[i].size())
                c.interfaceIds[c.hosts.back()] = id;
        } else if (a == "--ip" && hasValue) {
            if (!providerconf::ParseFamilies(opt.args[++i], c.ip))
                return Fail(opt, kExitUsage, "provider set: --ip takes ipv4, ipv6 or both");
        } else if (a == "--dual-request" && hasValue) {
            if (!providerconf::ParseDualRequest(opt.args[++i], c.dualRequest))
                return Fail(opt, kExitUsage, "provider set: --dual-request takes one or separate");
        } else if (a == "--check-ip6" && hasValue) {
            c.checkIp6.push_back(opt.args[++i]);
        } else if (a == "--interface" && hasValue) {
            c.interfaceName = opt.args[++i];
        } else if (a == "--no-router") {
            c.router = false;
        } else if (a == "--no-check-ip-defaults") {
            c.checkIpDefaults = false;
        } else if (a == "--password") {
            return Fail(opt, kExitUsage, "the password is never taken from the command line; it is asked for");
        } else {
            return Fail(opt, kExitUsage, "provider set: unexpected '" + a + "'");
        }
        if (dynOnly && c.kind != ProviderConfig::Kind::Dyndns2)
            return Fail(opt, kExitUsage, "provider set web-service: '" + a + "' is for dyndns2 accounts");
    }
    if (c.kind == ProviderConfig::Kind::Dyndns2) {
        if (c.dualRequest != ProviderConfig::DualRequest::One && c.ip != ProviderConfig::Families::Both)
            return Fail(opt, kExitUsage, "provider set dyndns2: --dual-request is for --ip both");
        if (!c.checkIp6.empty() && !c.WantsIPv6())
            return Fail(opt, kExitUsage, "provider set dyndns2: --check-ip6 is for --ip ipv6 or both");
        c.password = "x";  // checked once the rest is known to be right
        std::string problem = providerconf::Check(c);
        if (!problem.empty())
            return Fail(opt, kExitUsage, "provider set dyndns2: " + problem);
        if (!c.caFile.empty() && !files::Exists(c.caFile))
            return Fail(opt, kExitUsage, "no CA file at " + c.caFile);
        c.password = ReadPassword();
        if (c.password.empty())
            return Fail(opt, kExitUsage, "the password must not be empty");
    }
    std::string problem = providerconf::Check(c);
    if (!problem.empty())
        return Fail(opt, kExitUsage, "provider set: " + problem);
    if (!providerconf::Write(path, c))
        return Fail(opt, kExitFailed, "cannot write " + path + " (" + std::strerror(errno) + ")");
    if (opt.json)
        std::printf("{\"ok\":true,\"kind\":%s}\n", JsonString(providerconf::KindName(c.kind)).c_str());
    else if (c.kind == ProviderConfig::Kind::Dyndns2)
        std::printf("Provider set to the dyndns2 account %s at %s (%zu host(s), %s).\n"
                    "The service uses it at once; log in with: morvanectl login %s\n",
                    c.user.c_str(), c.server.c_str(), c.hosts.size(),
                    c.ip == ProviderConfig::Families::Both   ? "IPv4 and IPv6"
                    : c.ip == ProviderConfig::Families::IPv6 ? "IPv6"
                                                             : "IPv4",
                    c.user.c_str());
    else
        std::printf("Provider set to the web service; log in with its account: morvanectl login\n");
    return kExitOk;
}

}  // namespace ctl
