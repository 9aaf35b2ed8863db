// Requests per address change and the time from a change to the record changed at the server, for each
// provider kind beside dyndns2: HTTPS stand-ins with a throwaway CA for the Cloudflare API (its answer
// shapes), DuckDNS and a URL template, and Knot DNS for nsupdate, all on the loopback of a network
// namespace of the driver's own (run as root).
//
//   kinds_bench [changes]      (default 200)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/provider/address.h"
#include "core/provider/cloudflare/cloudflare_provider.h"
#include "core/provider/duckdns/duckdns_provider.h"
#include "core/provider/nsupdate/nsupdate_provider.h"
#include "core/provider/url/url_provider.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_standin.h"
#include "tests/tools/provider/dns_server.h"
#include "tests/tools/provider/provider_process.h"

namespace {

// The API's answers for one zone with one A record per host (record id = host name).
std::string Cloudflare(const std::string& raw)
{
    std::string line = raw.substr(0, raw.find('\r'));
    auto ok = [](const std::string& result) { return "{\"success\":true,\"errors\":[],\"result\":" + result + "}"; };
    if (line.find(" /zones?name=") != std::string::npos)
        return ok(line.find("name=example.net ") != std::string::npos ? "[{\"id\":\"z1\",\"name\":\"example.net\"}]"
                                                                      : "[]");
    if (line.rfind("GET ", 0) == 0) {
        size_t at = line.find("name=") + 5;
        std::string host = line.substr(at, line.find(' ', at) - at);
        return ok("[{\"id\":\"" + host + "\",\"type\":\"A\",\"name\":\"" + host + "\",\"content\":\"192.0.2.1\"}]");
    }
    return ok("{\"id\":\"x\"}");
}

struct Figures {
    double firstRequests = 0, requestsPerChange = 0, p50 = 0, p90 = 0;
};

Figures Measure(CAccountProvider& client, const ProviderConfig& c, int changes)
{
    std::vector<double> ms;
    Figures f;
    for (int i = 0; i <= changes; ++i) {
        UpdateResultMap results;
        for (const DomainRecord& r : providerconf::HostRecords(c))
            results[r.hostid] = 1;
        AddressPair address(0xCB007100u + static_cast<uint32_t>(1 + i % 250));  // 203.0.113.x
        int before = client.Requests();
        auto start = std::chrono::steady_clock::now();
        int rc = client.Update("", "", address, results);
        double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (rc != 0)
            std::fprintf(stderr, "update %d failed (%d)\n", i, rc);
        if (i == 0) {
            f.firstRequests = client.Requests() - before;
        } else {
            ms.push_back(elapsed);
            f.requestsPerChange += client.Requests() - before;
        }
    }
    std::sort(ms.begin(), ms.end());
    f.requestsPerChange /= changes;
    f.p50 = ms[ms.size() / 2];
    f.p90 = ms[ms.size() * 9 / 10];
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    int changes = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    std::string why;
    if (!EnterPrivateNetwork(why)) {
        std::fprintf(stderr, "needs root and network namespaces: %s\n", why.c_str());
        return 1;
    }
    TlsFiles tls;
    CTempDir tmp("morvane-kinds-bench");
    dnstest::CDnsServer knot("knot");
    CTlsStandIn cloudflare, duck, url;
    if (!tls.Ok() || !knot.Start() || !cloudflare.Start(tls.Path("good.pem"), tls.Path("good.key"), Cloudflare) ||
        !duck.Start(tls.Path("good.pem"), tls.Path("good.key"), [](const std::string&) { return "OK"; }) ||
        !url.Start(tls.Path("good.pem"), tls.Path("good.key"), [](const std::string&) { return "good"; })) {
        std::fprintf(stderr, "cannot start the stand-ins\n");
        return 1;
    }
    auto config = [&](ProviderConfig::Kind kind, const std::string& server, std::vector<std::string> hosts) {
        ProviderConfig c;
        c.kind = kind;
        c.server = server;
        c.password = "t0ken";
        c.hosts = std::move(hosts);
        c.caFile = tls.Path("ca.pem");
        return c;
    };
    const std::vector<std::string> two = {"a.example.net", "b.example.net"};
    std::printf("%d changes of the IPv4 address, 2 hosts per account\n", changes);
    std::printf("%-10s %18s %20s %10s %10s\n", "kind", "first (requests)", "per change (requests)", "p50 ms", "p90 ms");
    auto report = [&](const char* name, CAccountProvider& client, const ProviderConfig& c) {
        Figures f = Measure(client, c, changes);
        std::printf("%-10s %18.0f %20.2f %10.2f %10.2f\n", name, f.firstRequests, f.requestsPerChange, f.p50, f.p90);
    };
    ProviderConfig cf = config(ProviderConfig::Kind::Cloudflare, cloudflare.Url(""), two);
    CCloudflareProvider cfClient(cf, nullptr);
    report("cloudflare", cfClient, cf);
    ProviderConfig dd = config(ProviderConfig::Kind::DuckDNS, duck.Url(""), {"a.duckdns.org", "b.duckdns.org"});
    CDuckDnsProvider ddClient(dd, nullptr);
    report("duckdns", ddClient, dd);
    ProviderConfig u = config(ProviderConfig::Kind::Url, url.Url("/update?ip={ipv4}"), two);
    CUrlProvider uClient(u, nullptr);
    report("url", uClient, u);
    ProviderConfig uh = config(ProviderConfig::Kind::Url, url.Url("/update?host={host}&ip={ipv4}"), two);
    CUrlProvider uhClient(uh, nullptr);
    report("url {host}", uhClient, uh);
    ProviderConfig ns = config(ProviderConfig::Kind::Nsupdate, "127.0.0.1:" + std::to_string(dnstest::kDnsPort),
                               {"a.dyn.example.net", "b.dyn.example.net"});
    ns.zone = dnstest::kZone;
    ns.password = std::string(dnstest::kKeyName) + ":hmac-sha256:" + dnstest::kSecret;
    CNsupdateProvider nsClient(ns, nullptr);
    report("nsupdate", nsClient, ns);
    std::printf("nsupdate check: a.dyn.example.net resolves to %s at Knot\n",
                knot.Resolve("a.dyn.example.net").c_str());
    return 0;
}
