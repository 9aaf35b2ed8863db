// morvanectl: control the Morvane service from a terminal.

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <optional>
#include <string>
#include <vector>

#include "ctl/client.h"
#include "platform/data_dir.h"
#include "platform/process.h"
#include "platform/program.h"
#include "shared/base/files.h"
#include "shared/base/ipv4.h"
#include "shared/packet/records.h"
#include "shared/base/md5.h"
#include "shared/base/names.h"
#include "shared/packet/commands.h"
#include "shared/packet/status_records.h"
#include "shared/xml/data_files.h"

#include "ctl/cli.h"

using namespace ctl;

namespace {

const char* kUsage =
    "Usage: morvanectl [options] <command> [arguments]\n"
    "\n"
    "Controls the Morvane service (MorvaneCore) over its socket (/run/morvane/channel once\n"
    "installed, else beside the data files), or over loopback UDP with MORVANE_UDP_CHANNEL=1.\n"
    "\n"
    "Account and domains:\n"
    "  login [ACCOUNT]           log in; the password is asked for (or read from standard input)\n"
    "                            and remembered as its MD5 digest, like the desktop program does\n"
    "  domains                   show the domains with their switches, the public address (IPv4, and\n"
    "                            IPv6 for an account that keeps it) and network\n"
    "  on HOST...                keep these domains pointed at this machine (host id or domain name)\n"
    "  off HOST...               stop updating these domains\n"
    "  refresh                   fetch the domain list from the provider again\n"
    "Router ports (PORT is a number, optionally /tcp or /udp; tcp by default):\n"
    "  ports                     list the port mappings\n"
    "  map PORT                  map the port now (adds it, kept mapped, when new)\n"
    "  unmap PORT                remove the mapping from the router now\n"
    "  enable PORT               keep the port mapped at start-up and on address changes\n"
    "  disable PORT              stop restoring the port (the router keeps it until unmapped)\n"
    "  delete PORT               unmap the port and forget it\n"
    "Provider:\n"
    "  provider show             the provider accounts the service uses (never shows a secret)\n"
    "  provider set web-service [--check-ip URL]...\n"
    "                            the provider's own web service (the default); check-IP URLs only\n"
    "                            cross-check the address it reports\n"
    "  provider set dyndns2 --server https://HOST[/PATH] --user NAME --host NAME[=::ID]...\n"
    "                       [--dual-request one|separate] [--password-file FILE]\n"
    "                            a dyndns2 account (/nic/update); both families go in one request\n"
    "                            (myip=V4,V6) unless --dual-request separate\n"
    "  provider set cloudflare --host NAME... --token-file FILE [--ttl N] [--proxied yes|no] [--api URL]\n"
    "                            Cloudflare's API v4 with a token allowing Zone:Read and DNS:Edit;\n"
    "                            TTL and proxied kept as the record has them unless given\n"
    "  provider set duckdns --host NAME... --token-file FILE [--server URL]\n"
    "                            DuckDNS; all hosts in one request\n"
    "  provider set nsupdate --server HOST[:PORT] --zone ZONE --key-file FILE [--key-name NAME]\n"
    "                        --host NAME... [--ttl N]\n"
    "                            RFC 2136 updates signed with the TSIG key (tsig-keygen's format)\n"
    "                            straight to your own primary\n"
    "  provider set url --url TEMPLATE --host NAME... [--user NAME] [--password-file FILE]\n"
    "                   [--success TEXT]\n"
    "                            one HTTPS GET; {host} {ipv4} {ipv6} {password} replaced (URL-encoded);\n"
    "                            success when the answer contains TEXT, else on a 2xx status\n"
    "    Every kind but web-service also takes [--name NAME] [--ip ipv4|ipv6|both]\n"
    "    [--check-ip URL]... [--check-ip6 URL]... [--no-check-ip-defaults] [--interface NAME]\n"
    "    [--no-router] [--ca-file FILE]. Secrets come from the file (- for standard input) or are\n"
    "    asked for, never from the command line. --ip: the families kept (ipv4 by default); IPv6\n"
    "    from --interface or --check-ip6 URLs. NAME=::ID: that host's IPv6 address is this machine's\n"
    "    /64 with interface id ID. Then log in with: morvanectl login ACCOUNT (the dyndns2 user or\n"
    "    the account's name; its password, token or TSIG secret as the password)\n"
    "  provider add KIND [--name NAME] ...\n"
    "                            add an account beside the others (options as for provider set);\n"
    "                            each host belongs to one account; a failing account never holds\n"
    "                            back the others\n"
    "  provider remove NAME      remove an account (the last one: back to the web service)\n"
    "Other:\n"
    "  watch [SECONDS]           print what the service reports (address changes...) until\n"
    "                            interrupted or for SECONDS\n"
    "  service install [PATH]    register MorvaneCore (default: beside morvanectl) as the service\n"
    "  service start|stop|status|remove\n"
    "\n"
    "Options:\n"
    "  --dir DIR       the service's data directory, where user.xml lives (default: $MORVANE_DATA_DIR,\n"
    "                  else the data directory: beside morvanectl in a build or unpacked folder,\n"
    "                  /var/lib/morvane once installed)\n"
    "  --json          machine-readable output\n"
    "  --timeout SEC   how long to wait for the service (default 5; logins wait 60)\n"
    "  -h, --help      this text\n"
    "\n"
    "Exit codes: 0 ok, 1 usage, 2 service not installed, 3 service not running, 4 no answer,\n"
    "5 login refused by the provider, 6 the service reported a failure, 7 no remembered login,\n"
    "8 the provider could not be reached or did not answer, 9 the provider's answer could not be read,\n"
    "10 permission denied.\n";

std::atomic<bool> g_interrupted{false};

// ---- output ----

const char* NetTypeName(int32_t code)
{
    const NetTypeNames* type = FindNetType(code);
    return type ? type->name : "";
}

const char* Protocol(uint8_t type)
{
    const char* name = PortProtocolName(type);
    return name ? name : "?";
}

std::string DomainsJson(const std::vector<DomainRecord>& domains)
{
    std::string out = "[";
    for (size_t i = 0; i < domains.size(); ++i) {
        const DomainRecord& d = domains[i];
        if (i)
            out += ',';
        out += "{\"hostid\":";
        out += std::to_string(d.hostid);
        out += ",\"domain\":";
        out += JsonString(d.domain);
        out += ",\"data\":";
        out += JsonString(d.data);
        out += ",\"enabled\":";
        out += d.enabled ? "true}" : "false}";
    }
    return out + "]";
}

std::string PortsJson(const std::vector<PortMapEntry>& ports)
{
    std::string out = "[";
    for (size_t i = 0; i < ports.size(); ++i) {
        const PortMapEntry& p = ports[i];
        if (i)
            out += ',';
        out += "{\"port\":";
        out += std::to_string(p.port);
        out += ",\"protocol\":";
        out += JsonString(Protocol(p.type));
        out += ",\"mapped\":";
        out += p.op == 1 ? "true" : "false";
        out += ",\"enabled\":";
        out += p.allow ? "true}" : "false}";
    }
    return out + "]";
}

// The IPv6 address a service reports, or empty (none now, or a service or account without IPv6).
std::string IPv6Text(const NetInfo& info)
{
    bool any = false;
    for (uint8_t b : info.dyip6)
        any = any || b != 0;
    return info.reportsIPv6 && any ? FormatIPv6(info.dyip6) : std::string();
}

std::string NetJson(const std::optional<NetInfo>& info)
{
    if (!info)
        return "null";
    std::string v6 = IPv6Text(*info);
    return "{\"address\":" + JsonString(FormatIPv4(static_cast<uint32_t>(info->dyip))) +
           ",\"address6\":" + (v6.empty() ? std::string("null") : JsonString(v6)) +
           ",\"nettype\":" + std::to_string(info->nettype) + ",\"network\":" + JsonString(NetTypeName(info->nettype)) +
           ",\"location\":" + JsonString(info->netlocation) + "}";
}

void PrintDomains(const CCtlClient& client)
{
    if (client.m_netInfo) {
        const NetInfo& n = *client.m_netInfo;
        std::printf("Public address: %s\n", n.dyip ? FormatIPv4(static_cast<uint32_t>(n.dyip)).c_str() : "unknown");
        // Only from an account that keeps IPv6 names (older services never say).
        if (n.reportsIPv6)
            std::printf("Public IPv6:    %s\n", IPv6Text(n).empty() ? "unknown" : IPv6Text(n).c_str());
        // A dyndns2 account reports no network type, only where the address came from or why none is used.
        if ((n.nettype == 0 || n.nettype == kNetTypeCarrierGradeNat) && !n.netlocation.empty())
            std::printf("Network:        %s\n", n.netlocation.c_str());
        else
            std::printf("Network:        %s%s%s\n", NetTypeName(n.nettype), n.netlocation.empty() ? "" : ", ",
                        n.netlocation.c_str());
    }
    if (client.m_domains.empty()) {
        std::printf("No domains in this account.\n");
        return;
    }
    std::printf("\n%-10s %-5s %-40s %s\n", "HOST ID", "ON", "DOMAIN", "DATA");
    for (const DomainRecord& d : client.m_domains)
        std::printf("%-10u %-5s %-40s %s\n", d.hostid, d.enabled ? "yes" : "no", d.domain.c_str(), d.data.c_str());
}

void PrintPorts(const std::vector<PortMapEntry>& ports)
{
    if (ports.empty()) {
        std::printf("No port mappings.\n");
        return;
    }
    std::printf("%-7s %-5s %-11s %s\n", "PORT", "PROTO", "STATE", "ENABLED");
    for (const PortMapEntry& p : ports)
        std::printf("%-7u %-5s %-11s %s\n", p.port, Protocol(p.type), p.op == 1 ? "mapped" : "not mapped",
                    p.allow ? "yes" : "no");
}

// ---- the channel ----

// Logs in with the given pair and waits for the service's answer (and the port list after it).
int Login(const Options& opt, CCtlClient& client, const std::string& user, const std::string& digest)
{
    if (!client.HasSender())
        return Fail(opt, kExitFailed, "no local port free for the channel (6666-6675)");
    client.m_loginOk.reset();
    client.m_ports.reset();
    if (!client.SendLogin(user, digest))
        return DiagnoseSilence(opt);
    // A login asks the provider twice; give it longer than a plain request.
    int seconds = opt.timeoutGiven ? opt.timeoutSec : 60;
    if (!client.WaitFor([&] { return client.m_loginOk.has_value(); }, std::chrono::seconds(seconds)))
        return DiagnoseSilence(opt);
    if (!*client.m_loginOk) {
        switch (client.LoginFailure()) {
        case 2:
            return Fail(opt, kExitProviderUnreachable,
                        "login as '" + user +
                            "' failed: the provider could not be reached or did not answer "
                            "(the service's log says why: " +
                            platform::kServiceLogHint + ")");
        case 3:
            return Fail(opt, kExitProviderAnswer,
                        "login as '" + user + "' failed: the provider's answer could not be read (" +
                            platform::kServiceLogHint + ")");
        case kLoginOtherAccount:
            return Fail(opt, kExitLoginRefused,
                        "login as '" + user + "' refused: the provider is set up for the dyndns2 account '" +
                            client.ConfiguredAccount() + "' (morvanectl provider show)");
        default:  // 1, or a service that does not say
            return Fail(opt, kExitLoginRefused, "login refused by the provider for account '" + user + "'");
        }
    }
    // The network information and the port list follow the reply at once.
    client.WaitFor([&] { return client.m_ports.has_value() && client.m_netInfo.has_value(); },
                   std::chrono::milliseconds(500));
    return kExitOk;
}

int LoginRemembered(const Options& opt, CCtlClient& client, const std::string& userFile)
{
    std::string user, digest;
    if (!datafile::ReadLogin(userFile, user, digest))
        return Fail(opt, kExitNoAccount, "no remembered login in " + userFile + " (run: morvanectl login)");
    return Login(opt, client, user, digest);
}

bool ParsePort(const std::string& text, PortMapEntry& entry)
{
    std::string number = text;
    entry.type = 0;
    size_t slash = text.find('/');
    if (slash != std::string::npos) {
        number = text.substr(0, slash);
        std::string proto = text.substr(slash + 1);
        for (char& c : proto)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (proto == "udp")
            entry.type = 1;
        else if (proto != "tcp")
            return false;
    }
    if (number.empty() || number.size() > 5 || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long port = std::strtoul(number.c_str(), nullptr, 10);
    if (port == 0 || port > 65535)
        return false;
    entry.port = static_cast<uint16_t>(port);
    return true;
}

// Why a map request failed, from the reply's tail (older services send none).
std::string MapFailureText(const CCtlClient& client)
{
    switch (client.MapFailureKind()) {
    case 1: return "no router answered";
    case 2: return "refused by the router (error " + std::to_string(client.MapFailureCode()) + ")";
    default: return "not stored, or no router answered";
    }
}

// Requests without a reply are confirmed by what the service stored: the command waits, keeping the
// socket the service identifies its sender by, until mapport.xml shows the entry as `wanted` (absent
// when `wanted` is empty).
bool WaitStored(const Options& opt, CCtlClient& client, const PortMapEntry& e, std::optional<uint8_t> wantedAllow)
{
    const std::string path = opt.dir + "/mapport.xml";
    return client.WaitFor(
        [&] {
            std::vector<PortMapEntry> stored;
            datafile::ReadAllMappings(path, stored);
            for (const PortMapEntry& p : stored)
                if (p.port == e.port && p.type == e.type)
                    return wantedAllow && p.allow == *wantedAllow;
            return !wantedAllow;
        },
        std::chrono::seconds(opt.timeoutSec));
}

int WaitMapResult(const Options& opt, CCtlClient& client, const PortMapEntry& entry, const char* action,
                  std::optional<uint8_t> storedAllow = std::nullopt, bool checkStored = false)
{
    if (!client.WaitFor([&] { return client.m_mapOk.has_value(); }, std::chrono::seconds(std::max(opt.timeoutSec, 30))))
        return DiagnoseSilence(opt);
    bool ok = *client.m_mapOk;
    std::string why = ok ? "" : MapFailureText(client);
    if (ok && checkStored && !WaitStored(opt, client, entry, storedAllow)) {
        ok = false;
        why = "the router did it, but the service did not store it";
    }
    if (opt.json)
        std::printf("{\"ok\":%s,\"port\":%u,\"protocol\":\"%s\",\"action\":\"%s\"}\n", ok ? "true" : "false",
                    entry.port, Protocol(entry.type), action);
    else
        std::printf("%s %u/%s: %s\n", action, entry.port, Protocol(entry.type),
                    ok ? "done" : ("failed (" + why + ")").c_str());
    return ok ? kExitOk : kExitFailed;
}

int PortCommand(const Options& opt, CCtlClient& client, const std::string& verb)
{
    if (opt.args.size() != 2)
        return Fail(opt, kExitUsage, verb + ": expected one PORT[/tcp|/udp]");
    PortMapEntry wanted;
    if (!ParsePort(opt.args[1], wanted))
        return Fail(opt, kExitUsage, "not a port: '" + opt.args[1] + "' (1-65535, optionally /tcp or /udp)");
    const std::vector<PortMapEntry> ports = client.m_ports.value_or(std::vector<PortMapEntry>{});
    const PortMapEntry* known = nullptr;
    for (const PortMapEntry& p : ports)
        if (p.port == wanted.port && p.type == wanted.type)
            known = &p;

    PortMapEntry e = known ? *known : wanted;
    client.m_mapOk.reset();
    if (verb == "map") {
        if (!known)  // a new port: stored first, then mapped and kept mapped
            client.SendPortEntries(CMD_STORE_PORTS_BASIC, {PortMapEntry{e.port, 0, e.type, 0}});
        client.SendPortEntries(CMD_MAP_PORTS,
                               {PortMapEntry{e.port, 1, e.type, static_cast<uint8_t>(known ? e.allow : 1)}});
        return WaitMapResult(opt, client, e, "map");
    }
    if (!known)
        return Fail(opt, kExitFailed,
                    "port " + std::to_string(e.port) + "/" + Protocol(e.type) + " is not in the list");
    if (verb == "unmap") {
        client.SendPortEntries(CMD_MAP_PORTS, {PortMapEntry{e.port, 0, e.type, e.allow}});
        return WaitMapResult(opt, client, e, "unmap");
    }
    if (verb == "enable") {
        client.SendPortEntries(CMD_STORE_PORTS, {PortMapEntry{e.port, static_cast<uint8_t>(e.op != 0), e.type, 1}});
        if (e.op != 1) {
            client.SendPortEntries(CMD_MAP_PORTS, {PortMapEntry{e.port, 1, e.type, 1}});
            return WaitMapResult(opt, client, e, "enable");
        }
    } else if (verb == "disable") {
        client.SendPortEntries(CMD_STORE_PORTS_ALT, {PortMapEntry{e.port, static_cast<uint8_t>(e.op != 0), e.type, 0}});
    } else if (verb == "delete") {
        client.SendPortEntries(CMD_MAP_PORTS, {PortMapEntry{e.port, 0, e.type, e.allow}});
        client.SendPortEntries(CMD_REMOVE_PORTS, {PortMapEntry{e.port, 0, e.type, e.allow}});
        return WaitMapResult(opt, client, e, "delete", std::nullopt, true);
    }
    if (!WaitStored(opt, client, e, static_cast<uint8_t>(verb == "enable")))
        return Fail(opt, kExitFailed,
                    verb + " " + std::to_string(e.port) + "/" + Protocol(e.type) +
                        ": the service did not store it (see " + platform::kServiceLogHint + ")");
    if (opt.json)
        std::printf("{\"ok\":true,\"port\":%u,\"protocol\":\"%s\",\"action\":\"%s\"}\n", e.port, Protocol(e.type),
                    verb.c_str());
    else
        std::printf("%s %u/%s: done\n", verb.c_str(), e.port, Protocol(e.type));
    return kExitOk;
}

int SwitchCommand(const Options& opt, CCtlClient& client, bool on)
{
    if (opt.args.size() < 2)
        return Fail(opt, kExitUsage, opt.args[0] + ": expected at least one host id or domain name");
    std::map<uint32_t, uint8_t> flags;
    for (size_t i = 1; i < opt.args.size(); ++i) {
        const std::string& what = opt.args[i];
        const DomainRecord* found = nullptr;
        for (const DomainRecord& d : client.m_domains)
            if (d.domain == what || std::to_string(d.hostid) == what)
                found = &d;
        if (!found)
            return Fail(opt, kExitUsage, "no domain '" + what + "' in this account (see: morvanectl domains)");
        flags[found->hostid] = on ? 1 : 0;
    }
    client.m_flagsOk.reset();
    client.SendDomainFlags(flags);
    // Switching on pushes the address to the provider at once.
    if (!client.WaitFor([&] { return client.m_flagsOk.has_value(); },
                        std::chrono::seconds(std::max(opt.timeoutSec, 30))))
        return DiagnoseSilence(opt);
    bool ok = *client.m_flagsOk;
    // A failure either saved nothing or saved the switches and could not push yet (retried at the next
    // address check); domain.xml tells which.
    const std::string domainFile = opt.dir + "/domain.xml";
    bool saved = false;
    if (!ok) {
        std::vector<uint32_t> hosts;
        for (const auto& entry : flags)
            hosts.push_back(entry.first);
        std::map<uint32_t, int> stored = datafile::ReadSwitches(domainFile, hosts);
        saved = !stored.empty();
        for (const auto& [hostid, value] : flags)
            saved = saved && stored[hostid] == value;
    }
    std::string why = saved ? std::string("saved, but the provider did not take the address yet; the service retries "
                                          "at its next address check (") +
                                  platform::kServiceLogHint + ")"
                      : !ok && datafile::LockHeld(domainFile)
                          ? "nothing was changed: " + domainFile +
                                " is locked by another program (domain.xml.lock); the service gave up waiting"
                          : std::string("nothing was changed: the service could not save or carry out the request (") +
                                platform::kServiceLogHint + ")";
    if (opt.json) {
        std::string results = "{";
        bool first = true;
        for (const auto& [hostid, value] : client.m_flags) {
            results += (first ? "\"" : ",\"") + std::to_string(hostid) + "\":" + std::to_string(value);
            first = false;
        }
        std::printf("{\"ok\":%s,\"saved\":%s,\"results\":%s%s}\n", ok ? "true" : "false",
                    ok || saved ? "true" : "false", results.c_str(),
                    ok ? "" : (",\"error\":" + JsonString(why)).c_str());
    } else if (ok) {
        for (const auto& [hostid, value] : client.m_flags) {
            std::string name = std::to_string(hostid);
            for (const DomainRecord& d : client.m_domains)
                if (d.hostid == hostid)
                    name = d.domain;
            // Result 0 for a host switched on: the provider did not take the address for it.
            const char* note = !ok ? " - FAILED" : on && value == 0 ? " - not updated by the provider" : "";
            std::printf("%s: switched %s%s (result %u)\n", name.c_str(), on ? "on" : "off", note, value);
        }
    } else {
        std::fprintf(stderr, "morvanectl: switching %s failed: %s\n", on ? "on" : "off", why.c_str());
    }
    return ok ? kExitOk : kExitFailed;
}

int Watch(const Options& opt, CCtlClient& client)
{
    int seconds = opt.args.size() > 1 ? std::atoi(opt.args[1].c_str()) : 0;
    client.m_onEvent = [&](const std::string& kind) {
        if (opt.json) {
            if (kind == "netinfo" || kind == "ipchanged")
                std::printf("{\"event\":\"%s\",\"net\":%s}\n", kind.c_str(), NetJson(client.m_netInfo).c_str());
            else if (kind == "ports")
                std::printf("{\"event\":\"ports\",\"ports\":%s}\n", PortsJson(*client.m_ports).c_str());
            else
                std::printf("{\"event\":\"%s\"}\n", kind.c_str());
        } else if (kind == "ipchanged") {
            std::printf("address changed: %s\n", FormatIPv4(static_cast<uint32_t>(client.m_netInfo->dyip)).c_str());
        } else if (kind == "netinfo") {
            std::string v6 = IPv6Text(*client.m_netInfo);
            std::printf("network: %s%s%s %s %s\n", FormatIPv4(static_cast<uint32_t>(client.m_netInfo->dyip)).c_str(),
                        v6.empty() ? "" : " ", v6.c_str(), NetTypeName(client.m_netInfo->nettype),
                        client.m_netInfo->netlocation.c_str());
        } else {
            std::printf("%s\n", kind.c_str());
        }
        std::fflush(stdout);
    };
    if (!opt.json)
        std::printf("Watching the service%s; Ctrl-C to stop.\n",
                    seconds > 0 ? (" for " + std::to_string(seconds) + " s").c_str() : "");
    std::fflush(stdout);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!g_interrupted && (seconds <= 0 || std::chrono::steady_clock::now() < end))
        client.WaitFor([] { return g_interrupted.load(); }, std::chrono::milliseconds(200));
    return kExitOk;
}

int ChannelCommand(const Options& opt)
{
    const std::string& cmd = opt.args[0];
    static const char* const kCommands[] = {"login", "domains", "status", "on",      "off",    "refresh", "ports",
                                            "map",   "unmap",   "enable", "disable", "delete", "watch"};
    if (std::find(std::begin(kCommands), std::end(kCommands), cmd) == std::end(kCommands))
        return Fail(opt, kExitUsage, "unknown command '" + cmd + "' (see morvanectl --help)");
    std::string userFile = opt.dir + "/user.xml";
    if (int rc = CheckDataAccess(opt, userFile, cmd == "login"); rc != kExitOk)
        return rc;
    CCtlClient client(userFile);
    SetDiagnosedChannel(&client);

    int rc;
    if (cmd == "login") {
        std::string user = opt.args.size() > 1 ? opt.args[1] : std::string();
        if (user.empty()) {
            if (isatty(STDIN_FILENO))
                std::fprintf(stderr, "Account: ");
            std::getline(std::cin, user);
        }
        std::string password = ReadPassword();
        if (user.empty() || password.empty())
            return Fail(opt, kExitUsage, "account name and password must not be empty");
        std::string digest;
        if (!PasswordDigestGb2312(password, digest))
            return Fail(opt, kExitUsage,
                        "the password has a character GB2312 cannot represent (or is not UTF-8); "
                        "the provider could never accept it");
        if ((rc = Login(opt, client, user, digest)) != kExitOk)
            return rc;
        // The service is logged in now, but would not be after a restart: that is no success.
        if (!datafile::WriteLogin(userFile, user, digest)) {
            int error = errno;
            return Fail(opt, kExitFailed,
                        "logged in as '" + user + "', but the login is not remembered: cannot save " + userFile + ": " +
                            datafile::FailureText(userFile, error));
        }
    } else if ((rc = LoginRemembered(opt, client, userFile)) != kExitOk) {
        return rc;
    }

    if (cmd == "login" || cmd == "domains" || cmd == "status") {
        if (opt.json)
            std::printf("{\"ok\":true,\"net\":%s,\"domains\":%s}\n", NetJson(client.m_netInfo).c_str(),
                        DomainsJson(client.m_domains).c_str());
        else
            PrintDomains(client);
        return kExitOk;
    }
    if (cmd == "on" || cmd == "off")
        return SwitchCommand(opt, client, cmd == "on");
    if (cmd == "refresh") {
        client.m_listOk.reset();
        client.RequestDomainList();
        if (!client.WaitFor([&] { return client.m_listOk.has_value(); },
                            std::chrono::seconds(std::max(opt.timeoutSec, 30))))
            return DiagnoseSilence(opt);
        if (!*client.m_listOk)
            return Fail(opt, kExitFailed, "the provider did not give the domain list");
        if (opt.json)
            std::printf("{\"ok\":true,\"domains\":%s}\n", DomainsJson(client.m_domains).c_str());
        else
            PrintDomains(client);
        return kExitOk;
    }
    if (cmd == "ports") {
        std::vector<PortMapEntry> ports = client.m_ports.value_or(std::vector<PortMapEntry>{});
        if (opt.json)
            std::printf("{\"ok\":true,\"ports\":%s}\n", PortsJson(ports).c_str());
        else
            PrintPorts(ports);
        return kExitOk;
    }
    if (cmd == "map" || cmd == "unmap" || cmd == "enable" || cmd == "disable" || cmd == "delete")
        return PortCommand(opt, client, cmd);
    if (cmd == "watch")
        return Watch(opt, client);
    return Fail(opt, kExitUsage, "unknown command '" + cmd + "' (see morvanectl --help)");
}

}  // namespace

int main(int argc, char** argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--dir" && i + 1 < argc) {
            opt.dir = argv[++i];
        } else if (a == "--timeout" && i + 1 < argc) {
            opt.timeoutSec = std::max(1, std::atoi(argv[++i]));
            opt.timeoutGiven = true;
        } else if (a.size() > 1 && a[0] == '-' && opt.args.empty()) {
            std::fprintf(stderr, "morvanectl: unknown option '%s'\n\n%s", a.c_str(), kUsage);
            return kExitUsage;
        } else {
            opt.args.push_back(a);
        }
    }
    if (opt.args.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    if (opt.dir.empty())
        opt.dir = platform::DataDirectory(false);  // honours $MORVANE_DATA_DIR
    platform::IgnoreBrokenPipe();
    platform::OnStopRequest([](int) { g_interrupted = true; });

    if (opt.args[0] == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (opt.args[0] == "service")
        return ServiceCommand(opt);
    if (opt.args[0] == "provider")
        return ProviderCommand(opt);
    return ChannelCommand(opt);
}
