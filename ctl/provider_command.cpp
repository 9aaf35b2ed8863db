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
        std::vector<std::string> urls = dyn ? providerconf::CheckIpUrls(c) : c.checkIp;
        if (opt.json) {
            std::string hosts = "[", checks = "[";
            for (const std::string& h : c.hosts)
                hosts += (hosts.size() > 1 ? "," : "") + JsonString(h);
            for (const std::string& u : urls)
                checks += (checks.size() > 1 ? "," : "") + JsonString(u);
            std::printf("{\"ok\":true,\"kind\":%s", JsonString(providerconf::KindName(c.kind)).c_str());
            if (dyn)
                std::printf(",\"server\":%s,\"user\":%s,\"hosts\":%s],\"interface\":%s,\"router\":%s,\"ca_file\":%s",
                            JsonString(c.server).c_str(), JsonString(c.user).c_str(), hosts.c_str(),
                            JsonString(c.interfaceName).c_str(), c.router ? "true" : "false",
                            JsonString(c.caFile).c_str());
            std::printf(",\"check_ip\":%s]}\n", checks.c_str());
            return kExitOk;
        }
        std::printf("Provider:  %s\n", providerconf::KindName(c.kind));
        if (dyn) {
            std::printf("Server:    %s\nUser:      %s\nPassword:  %s\n", c.server.c_str(), c.user.c_str(),
                        c.password.empty() ? "(none)" : "(stored)");
            for (const std::string& h : c.hosts)
                std::printf("Host:      %s\n", h.c_str());
            if (!c.interfaceName.empty())
                std::printf("Address:   interface %s\n", c.interfaceName.c_str());
            else if (urls.empty())
                std::printf("Address:   %s\n", c.router ? "router (UPnP/NAT-PMP) alone" : "no source");
            else
                std::printf("Address:   check-IP URLs in turn%s\n",
                            c.router ? "; the router (UPnP/NAT-PMP) only when one agrees" : "");
            if (!c.caFile.empty())
                std::printf("CA file:   %s\n", c.caFile.c_str());
        }
        for (const std::string& u : urls)
            std::printf("Check-IP:  %s\n", u.c_str());
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
            // Written as the dyndns2 server will be asked for it: without a final dot.
            std::string name;
            const std::string& text = opt.args[++i];
            c.hosts.push_back(hostname::FromText(text, name) ? name : text);
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
        std::printf("Provider set to the dyndns2 account %s at %s (%zu host(s)).\n"
                    "The service uses it from its next check; log in with: morvanectl login %s\n",
                    c.user.c_str(), c.server.c_str(), c.hosts.size(), c.user.c_str());
    else
        std::printf("Provider set to the web service; log in with its account: morvanectl login\n");
    return kExitOk;
}

}  // namespace ctl
