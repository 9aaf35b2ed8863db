// morvane-provider: a small dynamic-DNS web service with a SQLite store, and its administration.

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "shared/base/hostname.h"
#include "shared/base/md5.h"
#include "shared/dns/dns_update.h"
#include "tools/provider/connections.h"
#include "tools/provider/credentials.h"
#include "tools/provider/migrate.h"
#include "tools/provider/secret_input.h"
#include "tools/provider/server.h"
#include "shared/base/ipv4.h"
#include "tools/provider/store.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int)
{
    g_stop = 1;
}

constexpr const char kUsage[] =
    "usage: morvane-provider [--db FILE] COMMAND [ARGS]\n"
    "\n"
    "The database defaults to ./morvane-provider.db (or $MORVANE_PROVIDER_DB); --db\n"
    "postgresql://... (or postgres://...) names a PostgreSQL database instead.\n"
    "\n"
    "commands:\n"
    "  init                                  create the database\n"
    "  seed-demo                             add account demo/demo with demo1..3.example.net\n"
    "  add-account NAME [--nick N] [--email E] [--status N] [--validated N]\n"
    "                                        add an account; the password is asked for (twice, not\n"
    "                                        shown), or read from the first line of standard input;\n"
    "                                        its MD5 (for the web service) and a slow\n"
    "                                        hash (Argon2id) are stored\n"
    "  set-password NAME                     a new password, read as for add-account; the\n"
    "                                        account's signed-in browsers are signed out\n"
    "  add-host ACCOUNT DOMAIN               add a host to an account; prints its host id\n"
    "  add-token DOMAIN                      a new update token of the host, printed once\n"
    "  tokens                                list tokens: id, host, account, created, last used\n"
    "  revoke-token ACCOUNT ID               revoke a token of one of the account's hosts\n"
    "  set-address A.B.C.D|caller [--nettype N] [--location TEXT]\n"
    "                                        the public address reported from the next request on;\n"
    "                                        'caller' reports each caller's own source address\n"
    "  add-zone ZONE --server HOST[:PORT] [--key-file FILE] [--key-name NAME] [--ttl N]\n"
    "                                        publish the A and AAAA records of hosts in ZONE to its\n"
    "                                        primary server by dynamic update, signed with the\n"
    "                                        TSIG key of FILE (standard input without it), as\n"
    "                                        tsig-keygen writes it: key \"NAME\" { algorithm ...;\n"
    "                                        secret \"...\"; }; --key-name picks one of several\n"
    "                                        (TTL 60)\n"
    "  remove-zone ZONE                      stop publishing to ZONE\n"
    "  accounts | hosts | zones | history    list the store (hosts: id, name, IPv4, account, IPv6)\n"
    "  migrate --from FILE --to postgresql://...\n"
    "                                        copy a SQLite store into an empty PostgreSQL one\n"
    "  serve [--listen ADDR[:PORT]|[V6][:PORT]] [--port P] [--threads N] [--io-timeout S]\n"
    "        [--max-connections N] [--tls-cert FILE --tls-key FILE] [--nochg-limit N]\n"
    "        [--history-keep N] [--history-days D] [--min-interval S]\n"
    "        [--metrics-from CIDR[,CIDR...]|none] [--hash-threads N] [--tls-threads N]\n"
    "                                        serve the web service and dyndns2 (GET /nic/update)\n"
    "                                        (default 127.0.0.1:1800; '::' serves IPv6 and IPv4\n"
    "                                        on one socket; 4 threads, clients may stall\n"
    "                                        5 s, 512 connections); port 0 picks one; with a\n"
    "                                        certificate and key (PEM) HTTPS only; dyndns2 answers\n"
    "                                        'abuse' after N unchanged updates in a row (default 5);\n"
    "                                        publishes to the zones; keeps N history rows per\n"
    "                                        host and family (1000), none older than D days (30;\n"
    "                                        0: no limit); a host's addresses change at most\n"
    "                                        once in S seconds (60; 0: no limit); the account\n"
    "                                        page on /account, GET /healthz, GET /metrics for\n"
    "                                        the given networks (loopback); N password hashes\n"
    "                                        at once (1); TLS handshakes on N threads (one per\n"
    "                                        processor)\n"
    "  --help                                this text\n";

// Options after the positional arguments: "--name value".
struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options;
    bool ok = true;

    const std::string* Get(const char* name) const
    {
        for (const auto& [k, v] : options)
            if (k == name)
                return &v;
        return nullptr;
    }
};

Args Split(int argc, char** argv, int first)
{
    Args a;
    for (int i = first; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "morvane-provider: %s needs a value\n", argv[i]);
                a.ok = false;
                return a;
            }
            a.options.emplace_back(argv[i] + 2, argv[i + 1]);
            ++i;
        } else {
            a.positional.emplace_back(argv[i]);
        }
    }
    return a;
}

bool ToInt(const std::string* text, int& value, int low, int high)
{
    if (!text)
        return true;
    char* end = nullptr;
    long v = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || v < low || v > high) {
        std::fprintf(stderr, "morvane-provider: bad number '%s'\n", text->c_str());
        return false;
    }
    value = static_cast<int>(v);
    return true;
}

bool CheckOptions(const Args& a, std::initializer_list<const char*> allowed)
{
    for (const auto& [k, v] : a.options) {
        bool known = false;
        for (const char* name : allowed)
            known = known || k == name;
        if (!known) {
            std::fprintf(stderr, "morvane-provider: unknown option --%s\n", k.c_str());
            return false;
        }
    }
    return true;
}

// The history's publication column: "-" when there was nothing to publish.
std::string Publication(const ProviderHistory& h)
{
    if (h.publication.empty())
        return "-";
    std::string text = h.publication;
    if (h.publication == kPublicationPending && h.attempts > 0) {
        long long wait = (h.nextAttemptMs - static_cast<long long>(std::time(nullptr)) * 1000 + 999) / 1000;
        text += " (" + std::to_string(h.attempts) + " failed, last: " + h.publicationError + "; next try in " +
                std::to_string(wait < 0 ? 0 : wait) + " s)";
    } else if (!h.publicationError.empty()) {
        text += " (" + h.publicationError + ")";
    }
    return text;
}

int Fail(const CProviderStore& store)
{
    std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
    return 1;
}

int Run(const std::string& db, const std::string& command, const Args& a)
{
    auto needs = [&](size_t n) {
        if (a.positional.size() == n)
            return true;
        std::fprintf(stderr, "morvane-provider: %s takes %zu argument(s)\n%s", command.c_str(), n, kUsage);
        return false;
    };
    if (!a.ok)
        return 2;

    if (command == "serve") {
        ProviderServerOptions options;
        options.database = db;
        int maxConnections = static_cast<int>(options.maxConnections);
        if (!needs(0) ||
            !CheckOptions(a, {"listen", "port", "threads", "io-timeout", "max-connections", "tls-cert", "tls-key",
                              "nochg-limit", "history-keep", "history-days", "min-interval", "metrics-from",
                              "hash-threads", "tls-threads"}) ||
            !ToInt(a.Get("tls-threads"), options.tlsThreads, 1, 64) ||
            !ToInt(a.Get("min-interval"), options.minInterval, 0, 86400) ||
            !ToInt(a.Get("hash-threads"), options.slowThreads, 1, 64) ||
            !ToInt(a.Get("port"), options.port, 0, 65535) || !ToInt(a.Get("threads"), options.threads, 1, 64) ||
            !ToInt(a.Get("io-timeout"), options.ioTimeout, 1, 3600) ||
            !ToInt(a.Get("max-connections"), maxConnections, 1, 100000) ||
            !ToInt(a.Get("nochg-limit"), options.nochgLimit, 0, 1000000) ||
            !ToInt(a.Get("history-keep"), options.historyKeep, 1, 100000000) ||
            !ToInt(a.Get("history-days"), options.historyDays, 0, 100000))
            return 2;
        options.maxConnections = static_cast<size_t>(maxConnections);
        if (const std::string* listen = a.Get("listen")) {
            int port = -1;
            std::string why;
            if (!provider::ParseListen(*listen, options.listen, port, why)) {
                std::fprintf(stderr, "morvane-provider: --listen %s: %s\n", listen->c_str(), why.c_str());
                return 2;
            }
            if (port >= 0 && a.Get("port") && port != options.port) {
                std::fprintf(stderr, "morvane-provider: --listen %s and --port %d name two ports\n", listen->c_str(),
                             options.port);
                return 2;
            }
            if (port >= 0)
                options.port = port;
        }
        if (const std::string* from = a.Get("metrics-from")) {
            // "none" closes /metrics to everyone; otherwise a comma-separated list of networks.
            options.metricsFrom.clear();
            std::string_view rest = *from == "none" ? std::string_view() : std::string_view(*from);
            while (!rest.empty()) {
                size_t comma = rest.find(',');
                std::string_view item = rest.substr(0, comma);
                rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
                provider::Cidr network;
                if (!provider::ParseCidr(item, network)) {
                    std::fprintf(stderr, "morvane-provider: --metrics-from: not an address or ADDRESS/BITS: %.*s\n",
                                 static_cast<int>(item.size()), item.data());
                    return 2;
                }
                options.metricsFrom.push_back(network);
            }
        }
        if (const std::string* cert = a.Get("tls-cert"))
            options.tlsCert = *cert;
        if (const std::string* key = a.Get("tls-key"))
            options.tlsKey = *key;
        if (options.tlsCert.empty() != options.tlsKey.empty()) {
            std::fprintf(stderr, "morvane-provider: --tls-cert and --tls-key go together\n");
            return 2;
        }
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
        std::signal(SIGPIPE, SIG_IGN);
        return RunProviderServer(options, &g_stop);
    }

    if (command == "migrate") {
        const std::string* from = a.Get("from");
        const std::string* to = a.Get("to");
        if (!needs(0) || !CheckOptions(a, {"from", "to"}))
            return 2;
        if (!from || !to) {
            std::fprintf(stderr, "morvane-provider: migrate needs --from FILE and --to postgresql://...\n");
            return 2;
        }
        std::vector<std::string> report;
        std::string why;
        if (!provider::MigrateStore(*from, *to, report, why)) {
            std::fprintf(stderr, "morvane-provider: migrate: %s\n", why.c_str());
            return 1;
        }
        for (const std::string& line : report)
            std::printf("%s\n", line.c_str());
        return 0;
    }

    CProviderStore store;
    if (!store.Open(db))
        return Fail(store);

    if (command == "init") {
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        return 0;
    }
    if (command == "seed-demo") {
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        return store.SeedDemo() ? 0 : Fail(store);
    }
    if (command == "add-account") {
        ProviderAccount account;
        if (a.positional.size() != 2 && !needs(1))
            return 2;
        if (!CheckOptions(a, {"nick", "email", "status", "validated"}) ||
            !ToInt(a.Get("status"), account.status, 0, 255) || !ToInt(a.Get("validated"), account.validated, 0, 255))
            return 2;
        account.name = a.positional[0];
        ProviderAccount existing;
        if (store.FindAccount(account.name, existing)) {
            std::fprintf(stderr, "morvane-provider: the account %s exists already\n", account.name.c_str());
            return 1;
        }
        std::string password, why;
        if (a.positional.size() == 2) {
            std::fprintf(stderr, "morvane-provider: warning: a password on the command line is seen in the process "
                                 "list and kept in the shell's history; leave it out to be asked for it, or give "
                                 "it on standard input\n");
            password = a.positional[1];
        } else if (!provider::ReadPassword("Password for " + account.name + ": ", true, password, why)) {
            std::fprintf(stderr, "morvane-provider: %s\n", why.c_str());
            return 2;
        }
        account.digest = CMD5(password.c_str()).HexDigest();
        account.pwhash = provider::HashSecret(password);
        if (account.pwhash.empty()) {
            std::fprintf(stderr, "morvane-provider: cannot hash the password (out of memory)\n");
            return 1;
        }
        if (const std::string* nick = a.Get("nick"))
            account.nick = *nick;
        if (const std::string* email = a.Get("email"))
            account.email = *email;
        int32_t userid = 0;
        if (!store.AddAccount(account, userid))
            return Fail(store);
        std::printf("%d\n", userid);
        return 0;
    }
    if (command == "set-password") {
        if (!needs(1) || !CheckOptions(a, {}))
            return 2;
        ProviderAccount account;
        if (!store.FindAccount(a.positional[0], account))
            return Fail(store);
        std::string password, why;
        if (!provider::ReadPassword("New password for " + account.name + ": ", true, password, why)) {
            std::fprintf(stderr, "morvane-provider: %s\n", why.c_str());
            return 2;
        }
        std::string hash = provider::HashSecret(password);
        if (hash.empty()) {
            std::fprintf(stderr, "morvane-provider: cannot hash the password (out of memory)\n");
            return 1;
        }
        return store.SetPassword(account.name, CMD5(password.c_str()).HexDigest(), hash) &&
                       store.RemoveSessionsOf(account.name, "")
                   ? 0
                   : Fail(store);
    }
    if (command == "add-token") {
        // The administrator's way to the same tokens the account page makes: printed once, stored hashed.
        if (!needs(1) || !CheckOptions(a, {}))
            return 2;
        ProviderHost host;
        if (!store.FindHost(a.positional[0], host)) {
            if (store.LastError().empty())
                std::fprintf(stderr, "morvane-provider: no such host: %s\n", a.positional[0].c_str());
            return store.LastError().empty() ? 1 : Fail(store);
        }
        std::string secret = provider::TokenSecret();
        std::string hash = provider::HashSecret(secret);
        int64_t id = 0;
        if (hash.empty() || !store.AddToken(host.hostid, hash, id))
            return Fail(store);
        std::printf("%s\n", provider::TokenText(id, secret).c_str());
        return 0;
    }
    if (command == "tokens") {
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        std::vector<ProviderAccount> accounts;
        if (!store.Accounts(accounts))
            return Fail(store);
        for (const auto& account : accounts) {
            std::vector<ProviderToken> tokens;
            if (!store.TokensOf(account.name, tokens))
                return Fail(store);
            for (const auto& t : tokens)
                std::printf("%lld\t%s\t%s\t%lld\t%lld\n", static_cast<long long>(t.id), t.domain.c_str(),
                            account.name.c_str(), static_cast<long long>(t.created), static_cast<long long>(t.used));
        }
        return 0;
    }
    if (command == "revoke-token") {
        if (!needs(2) || !CheckOptions(a, {}))
            return 2;
        if (!store.RevokeToken(a.positional[0], std::strtoll(a.positional[1].c_str(), nullptr, 10))) {
            if (store.LastError().empty())
                std::fprintf(stderr, "morvane-provider: %s has no token %s\n", a.positional[0].c_str(),
                             a.positional[1].c_str());
            return store.LastError().empty() ? 1 : Fail(store);
        }
        return 0;
    }
    if (command == "add-host") {
        if (!needs(2) || !CheckOptions(a, {}))
            return 2;
        std::string name;
        if (!hostname::FromText(a.positional[1], name)) {
            std::fprintf(stderr, "morvane-provider: not a host name: '%s' (%s)\n", a.positional[1].c_str(),
                         hostname::kRule);
            return 2;
        }
        uint32_t hostid = 0;
        if (!store.AddHost(a.positional[0], name, hostid))
            return Fail(store);
        std::printf("%u\n", hostid);
        return 0;
    }
    if (command == "set-address") {
        ProviderNetwork network;
        if (!store.Network(network))
            return Fail(store);
        if (!needs(1) || !CheckOptions(a, {"nettype", "location"}) ||
            !ToInt(a.Get("nettype"), network.nettype, -2147483647 - 1, 2147483647))
            return 2;
        uint32_t address = 0;
        if (a.positional[0] == "caller") {
            network.address.clear();
        } else if (provider::ParseDotted(a.positional[0], address)) {
            network.address = FormatIPv4(address);
        } else {
            std::fprintf(stderr, "morvane-provider: not an IPv4 address: %s\n", a.positional[0].c_str());
            return 2;
        }
        if (const std::string* location = a.Get("location"))
            network.location = *location;
        return store.SetNetwork(network) ? 0 : Fail(store);
    }
    if (command == "add-zone") {
        if (!needs(1) || !CheckOptions(a, {"server", "key", "key-file", "key-name", "ttl"}))
            return 2;
        DnsZone zone;
        int ttl = 60;
        std::string why;
        const std::string* server = a.Get("server");
        const std::string* key = a.Get("key");
        const std::string* keyFile = a.Get("key-file");
        const std::string* keyName = a.Get("key-name");
        if (!dns::NormalizeName(a.positional[0], zone.zone)) {
            std::fprintf(stderr, "morvane-provider: not a zone name: %s\n", a.positional[0].c_str());
            return 2;
        }
        if (!server) {
            std::fprintf(stderr, "morvane-provider: add-zone needs --server\n");
            return 2;
        }
        if (key && (keyFile || keyName)) {
            std::fprintf(stderr, "morvane-provider: --key goes without --key-file and --key-name\n");
            return 2;
        }
        if (!dns::ParseServer(*server, zone.server, zone.port, why) || !ToInt(a.Get("ttl"), ttl, 0, 2147483647)) {
            if (!why.empty())
                std::fprintf(stderr, "morvane-provider: %s\n", why.c_str());
            return 2;
        }
        if (key) {
            std::fprintf(stderr, "morvane-provider: warning: a secret on the command line is seen in the process list "
                                 "and kept in the shell's history; use --key-file FILE or standard input\n");
            if (!dns::ParseKey(*key, zone.keyName, zone.algorithm, zone.secret, why)) {
                std::fprintf(stderr, "morvane-provider: %s\n", why.c_str());
                return 2;
            }
        } else {
            std::string from = keyFile ? *keyFile : "-";
            if (from == "-" && isatty(STDIN_FILENO))
                std::fprintf(stderr, "Paste the key (key \"NAME\" { algorithm ...; secret \"...\"; };), then "
                                     "Ctrl-D:\n");
            std::string text;
            std::vector<provider::TsigKey> keys;
            provider::TsigKey chosen;
            const std::string shown = from == "-" ? "standard input" : from;
            if (!provider::ReadSecretFile(from, 1 << 20, text, why) || !provider::ParseKeyFile(text, keys, why) ||
                !provider::ChooseKey(keys, keyName ? *keyName : "", chosen, why)) {
                std::fprintf(stderr, "morvane-provider: %s: %s\n", shown.c_str(), why.c_str());
                return 2;
            }
            zone.keyName = chosen.name;
            zone.algorithm = chosen.algorithm;
            zone.secret = chosen.secret;
        }
        zone.ttl = static_cast<uint32_t>(ttl);
        return store.AddZone(zone) ? 0 : Fail(store);
    }
    if (command == "remove-zone") {
        std::string zone;
        if (!needs(1) || !CheckOptions(a, {}))
            return 2;
        if (!dns::NormalizeName(a.positional[0], zone)) {
            std::fprintf(stderr, "morvane-provider: not a zone name: %s\n", a.positional[0].c_str());
            return 2;
        }
        return store.RemoveZone(zone) ? 0 : Fail(store);
    }
    if (command == "zones") {
        std::vector<DnsZone> zones;
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        if (!store.Zones(zones))
            return Fail(store);
        for (const auto& z : zones) {
            std::string server = z.server.find(':') != std::string::npos ? "[" + z.server + "]" : z.server;
            // Only enough of the secret to tell two keys apart.
            std::printf("%s\t%s:%u\t%s\t%s\t%.4s...\t%u\n", z.zone.c_str(), server.c_str(), z.port, z.keyName.c_str(),
                        z.algorithm.c_str(), z.secret.c_str(), z.ttl);
        }
        return 0;
    }
    if (command == "accounts") {
        std::vector<ProviderAccount> accounts;
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        if (!store.Accounts(accounts))
            return Fail(store);
        // Last: whether the password has its slow hash yet, or only the digest of an earlier version.
        for (const auto& x : accounts)
            std::printf("%d\t%s\t%s\t%s\t%d\t%d\t%s\n", x.userid, x.name.c_str(), x.nick.c_str(), x.email.c_str(),
                        x.status, x.validated, x.pwhash.empty() ? "digest" : "argon2id");
        return 0;
    }
    if (command == "hosts") {
        std::vector<ProviderHost> hosts;
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        if (!store.Hosts(hosts))
            return Fail(store);
        for (const auto& h : hosts) {
            // The IPv6 address last: the columns before it are those of the IPv4-only versions.
            std::printf("%u\t%s\t%s\t%s\t%s\n", h.hostid, h.domain.c_str(), h.data.c_str(), h.owner.c_str(),
                        h.data6.c_str());
            // Made before names were checked: kept (the web service updates it by id), but dyndns2 cannot.
            if (!hostname::IsHostName(h.domain))
                std::fprintf(stderr,
                             "morvane-provider: warning: host %u '%s' is not a host name (%s); dyndns2 "
                             "clients cannot update it\n",
                             h.hostid, h.domain.c_str(), hostname::kRule);
        }
        return 0;
    }
    if (command == "history") {
        std::vector<ProviderHistory> history;
        if (!needs(0) || !CheckOptions(a, {}))
            return 2;
        if (!store.History(history))
            return Fail(store);
        for (const auto& h : history) {
            char when[32] = "?";
            std::time_t t = static_cast<std::time_t>(h.time);
            std::tm tm{};
            if (localtime_r(&t, &tm))
                std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &tm);
            std::printf("%s\t%u\t%s\t%s\t%d\t%s\n", when, h.hostid, h.account.c_str(), h.address.c_str(), h.result,
                        Publication(h).c_str());
        }
        return 0;
    }
    std::fprintf(stderr, "morvane-provider: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!provider::InitCredentials()) {
        std::fprintf(stderr, "morvane-provider: libsodium cannot start\n");
        return 1;
    }
    const char* envDb = std::getenv("MORVANE_PROVIDER_DB");
    std::string db = envDb && *envDb ? envDb : "morvane-provider.db";
    int i = 1;
    while (i < argc && std::strncmp(argv[i], "--", 2) == 0) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc) {
            db = argv[i + 1];
            i += 2;
            continue;
        }
        std::fprintf(stderr, "morvane-provider: unknown option %s\n%s", argv[i], kUsage);
        return 2;
    }
    if (i >= argc) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string command = argv[i];
    if (command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    return Run(db, command, Split(argc, argv, i + 1));
}
