// The provider kinds beside dyndns2 against HTTPS stand-ins with a throwaway CA (a Cloudflare API that
// checks method, path, query, token and body and answers in the API's shapes; DuckDNS; a URL template),
// nsupdate against Knot DNS and BIND 9, and several accounts at once. Loopback of a namespace only.

#include <gtest/gtest.h>

#include "core/provider/accounts_provider.h"
#include "core/provider/address.h"
#include "core/provider/cloudflare/cloudflare_provider.h"
#include "core/provider/configured_provider.h"
#include "core/provider/duckdns/duckdns_provider.h"
#include "core/provider/json.h"
#include "core/provider/nsupdate/nsupdate_provider.h"
#include "core/provider/url/url_provider.h"
#include "shared/base/md5.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_standin.h"
#include "tests/tools/provider/dns_server.h"
#include "tests/tools/provider/provider_process.h"

namespace {

class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override { ok = EnterPrivateNetwork(why); }
    static inline bool ok = false;
    static inline std::string why;
};
::testing::Environment* const g_net = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

uint32_t Ip(const char* text)
{
    uint32_t a = 0;
    address::ParseBare(text, a);
    return a;
}

struct Request {
    std::string method, target, auth, body;
};

Request Parse(const std::string& raw)
{
    Request r;
    size_t sp = raw.find(' '), sp2 = raw.find(' ', sp + 1);
    r.method = raw.substr(0, sp);
    r.target = raw.substr(sp + 1, sp2 - sp - 1);
    if (size_t a = raw.find("\r\nAuthorization: "); a != std::string::npos)
        r.auth = raw.substr(a + 17, raw.find("\r\n", a + 2) - a - 17);
    if (size_t b = raw.find("\r\n\r\n"); b != std::string::npos)
        r.body = raw.substr(b + 4);
    return r;
}

std::string Ok(const std::string& result)
{
    return "{\"success\":true,\"errors\":[],\"messages\":[],\"result\":" + result + "}";
}

class KindsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!PrivateNetwork::ok)
            GTEST_SKIP() << PrivateNetwork::why;
        ASSERT_TRUE(m_tls.Ok());
    }
    bool Start(CTlsStandIn::Answer answer)
    {
        return m_server.Start(m_tls.Path("good.pem"), m_tls.Path("good.key"), std::move(answer));
    }
    ProviderConfig Config(ProviderConfig::Kind kind, std::vector<std::string> hosts)
    {
        ProviderConfig c;
        c.kind = kind;
        c.password = "tok-3n";
        c.hosts = std::move(hosts);
        c.caFile = m_tls.Path("ca.pem");
        c.router = false;
        c.checkIpDefaults = false;
        return c;
    }
    template <typename T>
    std::unique_ptr<T> Client(const ProviderConfig& c)
    {
        EXPECT_EQ(providerconf::Check(c), "");
        auto p = std::make_unique<T>(c, nullptr, [this] { return m_now; });
        p->Persist(m_tmp / "provider.state");
        return p;
    }
    static UpdateResultMap All(const ProviderConfig& c)
    {
        UpdateResultMap results;
        for (const DomainRecord& r : providerconf::HostRecords(c))
            results[r.hostid] = 1;
        return results;
    }
    static int Result(const ProviderConfig& c, const UpdateResultMap& results, const std::string& host)
    {
        for (const DomainRecord& r : providerconf::HostRecords(c))
            if (r.domain == host)
                return results.at(r.hostid);
        return -1;
    }

    CTempDir m_tmp{"morvane-kinds"};
    TlsFiles m_tls;
    CTlsStandIn m_server;
    uint64_t m_now = 1000;
};

// A Cloudflare API with zone example.net: a.example.net has one A record, b none, c two.
struct CloudflareApi {
    std::string content = "192.0.2.1";
    int forced = 0;  // answer every request with this status (429, 403)
    std::vector<Request> seen;
    std::string operator()(const std::string& raw)
    {
        Request r = Parse(raw);
        seen.push_back(r);
        if (forced == 429)
            return "HTTP/1.1 429 Too Many Requests\r\nRetry-After: "
                   "7\r\n\r\n{\"success\":false,\"errors\":[{\"code\":971,"
                   "\"message\":\"Please wait and consider throttling your request speed\"}]}";
        if (forced == 403 || r.auth != "Bearer tok-3n")
            return "HTTP/1.1 403 Forbidden\r\n\r\n{\"success\":false,\"errors\":[{\"code\":9109,\"message\":\"Invalid "
                   "access token\"}],\"messages\":[],\"result\":null}";
        if (r.method == "GET" && r.target.rfind("/client/v4/zones?name=", 0) == 0)
            return Ok(r.target.ends_with("=example.net")
                          ? "[{\"id\":\"z1\",\"name\":\"example.net\",\"status\":\"active\",\"paused\":false}]"
                          : "[]");
        const std::string records = "/client/v4/zones/z1/dns_records";
        auto record = [](const char* id, const std::string& name, const std::string& ip) {
            return "{\"id\":\"" + std::string(id) + "\",\"zone_id\":\"z1\",\"name\":\"" + name +
                   "\",\"type\":\"A\",\"content\":\"" + ip + "\",\"proxied\":true,\"ttl\":300}";
        };
        if (r.method == "GET" && r.target == records + "?type=A&name=a.example.net")
            return Ok("[" + record("r1", "a.example.net", content) + "]");
        if (r.method == "GET" && r.target == records + "?type=A&name=b.example.net")
            return Ok("[]");
        if (r.method == "GET" && r.target == records + "?type=A&name=c.example.net")
            return Ok("[" + record("r3", "c.example.net", "192.0.2.3") + "," +
                      record("r4", "c.example.net", "192.0.2.4") + "]");
        CJson body;
        bool json = CJson::Parse(r.body, body) && body.IsObject();
        if (r.method == "PATCH" && (r.target == records + "/r1" || r.target == records + "/r2") && json)
            return Ok(record(r.target.ends_with("r1") ? "r1" : "r2", "x", body.Text("content")));
        if (r.method == "POST" && r.target == records && json && body.Text("type") == "A")
            return Ok(record("r2", body.Text("name"), body.Text("content")));
        return "HTTP/1.1 400 Bad Request\r\n\r\n{\"success\":false,\"errors\":[{\"code\":1004,\"message\":\"bad\"}]}";
    }
};

}  // namespace

TEST_F(KindsTest, CloudflareFindsZoneAndRecordsPatchesCreatesAndThenCostsOneRequestPerChange)
{
    CloudflareApi api;
    ASSERT_TRUE(Start([&](const std::string& raw) { return api(raw); }));
    ProviderConfig c = Config(ProviderConfig::Kind::Cloudflare, {"a.example.net", "b.example.net", "c.example.net"});
    c.server = m_server.Url("/client/v4");
    auto client = Client<CCloudflareProvider>(c);
    UpdateResultMap results = All(c);
    EXPECT_EQ(client->Update("", "", AddressPair(Ip("203.0.113.5")), results), 0);
    EXPECT_EQ(Result(c, results, "a.example.net"), 1);
    EXPECT_EQ(Result(c, results, "b.example.net"), 1);
    EXPECT_EQ(Result(c, results, "c.example.net"), 0);  // two records: which one is unknown
    std::vector<std::string> calls;
    for (const Request& r : api.seen)
        calls.push_back(r.method + " " + r.target.substr(10) + (r.body.empty() ? "" : " " + r.body));
    // The walk up the labels: a.example.net is no zone, example.net is. PATCH keeps TTL and proxied.
    std::vector<std::string> expected = {
        "GET /zones?name=a.example.net",
        "GET /zones?name=example.net",
        "GET /zones/z1/dns_records?type=A&name=a.example.net",
        "PATCH /zones/z1/dns_records/r1 {\"content\":\"203.0.113.5\"}",
        "GET /zones?name=b.example.net",
        "GET /zones?name=example.net",
        "GET /zones/z1/dns_records?type=A&name=b.example.net",
        "POST /zones/z1/dns_records {\"type\":\"A\",\"name\":\"b.example.net\",\"content\":\"203.0.113.5\",\"ttl\":1,"
        "\"proxied\":false}",
        "GET /zones?name=c.example.net",
        "GET /zones?name=example.net",
        "GET /zones/z1/dns_records?type=A&name=c.example.net"};
    EXPECT_EQ(calls, expected);

    // Ids known: one PATCH per host for a change, nothing for the same address again; the stopped
    // host is not asked again.
    api.seen.clear();
    results = All(c);
    EXPECT_EQ(client->Update("", "", AddressPair(Ip("203.0.113.6")), results), 0);
    ASSERT_EQ(api.seen.size(), 2u);
    EXPECT_EQ(api.seen[0].method + api.seen[1].method, "PATCHPATCH");
    api.seen.clear();
    results = All(c);
    client->Update("", "", AddressPair(Ip("203.0.113.6")), results);
    EXPECT_TRUE(api.seen.empty());

    // Given TTL and proxied go along.
    c.ttl = 120;
    c.proxied = 0;
    auto again = Client<CCloudflareProvider>(c);
    api.seen.clear();
    results = All(c);
    again->Update("", "", AddressPair(Ip("203.0.113.7")), results);
    ASSERT_GE(api.seen.size(), 4u);
    EXPECT_EQ(api.seen[3].body, "{\"content\":\"203.0.113.7\",\"ttl\":120,\"proxied\":false}");
}

TEST_F(KindsTest, CloudflareRateLimitWaitsForRetryAfterAndARefusedTokenStopsTheAccount)
{
    CloudflareApi api;
    api.forced = 429;
    ASSERT_TRUE(Start([&](const std::string& raw) { return api(raw); }));
    ProviderConfig c = Config(ProviderConfig::Kind::Cloudflare, {"a.example.net"});
    c.server = m_server.Url("/client/v4");
    auto client = Client<CCloudflareProvider>(c);
    UpdateResultMap results = All(c);
    EXPECT_NE(client->Update("", "", AddressPair(Ip("203.0.113.5")), results), 0);
    EXPECT_EQ(api.seen.size(), 1u);
    m_now += 6000;
    results = All(c);
    EXPECT_NE(client->Update("", "", AddressPair(Ip("203.0.113.5")), results), 0);
    EXPECT_EQ(api.seen.size(), 1u);  // still within Retry-After: 7
    EXPECT_EQ(Result(c, results, "a.example.net"), 0);
    api.forced = 0;
    m_now += 2000;
    results = All(c);
    EXPECT_EQ(client->Update("", "", AddressPair(Ip("203.0.113.5")), results), 0);
    EXPECT_EQ(Result(c, results, "a.example.net"), 1);

    api.forced = 403;
    api.seen.clear();
    results = All(c);
    EXPECT_EQ(client->Update("", "", AddressPair(Ip("203.0.113.9")), results), CAccountProvider::kStatusRefused);
    EXPECT_EQ(Result(c, results, "a.example.net"), 0);
    EXPECT_NE(client->Failure(CAccountProvider::kStatusRefused).what.find("refused the token"), std::string::npos);
    api.forced = 0;
    m_now += 3600 * 1000;
    results = All(c);
    EXPECT_NE(client->Update("", "", AddressPair(Ip("203.0.113.9")), results), 0);
    EXPECT_EQ(api.seen.size(), 1u);  // stopped: nothing more until provider.conf changes
}

TEST_F(KindsTest, DuckDnsSendsHostsInOneRequestAndKoStopsThem)
{
    std::string reply = "OK";
    ASSERT_TRUE(Start([&](const std::string&) { return reply; }));
    ProviderConfig c = Config(ProviderConfig::Kind::DuckDNS, {"home.duckdns.org", "cabin.duckdns.org"});
    c.server = m_server.Url("");
    c.ip = ProviderConfig::Families::Both;
    auto client = Client<CDuckDnsProvider>(c);
    AddressPair both(Ip("203.0.113.5"));
    ASSERT_TRUE(address::ParseIPv6("2001:db8:1::5", both.ipv6));
    UpdateResultMap results = All(c);
    EXPECT_EQ(client->Update("", "", both, results), 0);
    ASSERT_EQ(m_server.Requests().size(), 1u);
    EXPECT_EQ(Parse(m_server.Requests()[0]).target,
              "/update?domains=home,cabin&token=tok-3n&ip=203.0.113.5&ipv6=2001:db8:1::5");
    EXPECT_EQ(Result(c, results, "home.duckdns.org"), 1);

    reply = "KO";
    both.ipv4 = Ip("203.0.113.6");
    results = All(c);
    EXPECT_EQ(client->Update("", "", both, results), 1);
    EXPECT_EQ(Result(c, results, "home.duckdns.org"), 0);
    reply = "OK";
    results = All(c);
    client->Update("", "", both, results);
    EXPECT_EQ(m_server.Requests().size(), 2u);  // refused hosts are not asked again
}

TEST_F(KindsTest, UrlTemplateIsFilledEncodedAndJudgedByTheSuccessText)
{
    std::string reply = "status: updated";
    ASSERT_TRUE(Start([&](const std::string&) { return reply; }));
    ProviderConfig c = Config(ProviderConfig::Kind::Url, {"a.example.net"});
    c.server = m_server.Url("/set?h={host}&v4={ipv4}&v6={ipv6}&k={password}");
    c.ip = ProviderConfig::Families::Both;
    c.user = "me";
    c.password = "p&w d";
    c.success = "updated";
    auto client = Client<CUrlProvider>(c);
    AddressPair both(Ip("203.0.113.5"));
    ASSERT_TRUE(address::ParseIPv6("2001:db8::5", both.ipv6));
    UpdateResultMap results = All(c);
    EXPECT_EQ(client->Update("", "", both, results), 0);
    ASSERT_EQ(m_server.Requests().size(), 1u);
    Request r = Parse(m_server.Requests()[0]);
    EXPECT_EQ(r.target, "/set?h=a.example.net&v4=203.0.113.5&v6=2001%3Adb8%3A%3A5&k=p%26w%20d");
    EXPECT_EQ(r.auth, "Basic bWU6cCZ3IGQ=");  // me:p&w d
    reply = "error: not yours";
    both.ipv4 = Ip("203.0.113.6");
    results = All(c);
    EXPECT_EQ(client->Update("", "", both, results), 1);
    EXPECT_EQ(Result(c, results, "a.example.net"), 0);
}

TEST_F(KindsTest, TwoAccountsOneFailingTheOtherStillUpdatedAndLoginByAccountName)
{
    ASSERT_TRUE(Start([&](const std::string& raw) {
        return Parse(raw).target.rfind("/update", 0) == 0 ? std::string("OK")
                                                          : std::string("HTTP/1.1 503 Busy\r\n\r\nlater");
    }));
    ProviderConfig duck = Config(ProviderConfig::Kind::DuckDNS, {"home.duckdns.org"});
    duck.server = m_server.Url("");
    ProviderConfig url = Config(ProviderConfig::Kind::Url, {"a.example.net"});
    url.name = "shop";
    url.server = m_server.Url("/other?ip={ipv4}");
    std::string path = m_tmp / "provider.conf";
    ASSERT_TRUE(providerconf::WriteAll(path, {duck, url}));
    CConfiguredProvider provider(path, ProviderEnvironment{});
    UserInfo account;
    std::vector<DomainRecord> hosts;
    EXPECT_NE(provider.Hosts("shop", CMD5("wrong").HexDigest(), account, hosts), 0);
    ASSERT_EQ(provider.Hosts("shop", CMD5("tok-3n").HexDigest(), account, hosts), 0);
    ASSERT_EQ(hosts.size(), 2u);  // the union, with the ids of the whole file
    EXPECT_EQ(hosts[0].hostid, providerconf::HostRecords({duck, url})[0].hostid);
    UpdateResultMap results;
    for (const DomainRecord& h : hosts)
        results[h.hostid] = 1;
    EXPECT_NE(provider.Update("shop", "", AddressPair(Ip("203.0.113.5")), results), 0);
    EXPECT_EQ(results[hosts[0].hostid], 1);  // DuckDNS took it
    EXPECT_EQ(results[hosts[1].hostid], 0);
    EXPECT_NE(provider.Failure(1).what.find("shop"), std::string::npos);
    ASSERT_EQ(provider.Hosts("duckdns", CMD5("tok-3n").HexDigest(), account, hosts), 0);
    EXPECT_EQ(hosts[0].data, "203.0.113.5");
}

class NsupdateTest : public ::testing::TestWithParam<const char*> {};

TEST_P(NsupdateTest, ResolvesWrongKeyRefusedAndServerDownThenBack)
{
    if (!PrivateNetwork::ok)
        GTEST_SKIP() << PrivateNetwork::why;
    CTempDir tmp("morvane-nsupdate");
    dnstest::CDnsServer dns(GetParam());
    ASSERT_TRUE(dns.Start());
    ProviderConfig c;
    c.kind = ProviderConfig::Kind::Nsupdate;
    c.server = "127.0.0.1:" + std::to_string(dnstest::kDnsPort);
    c.zone = dnstest::kZone;
    c.password = std::string(dnstest::kKeyName) + ":hmac-sha256:" + dnstest::kSecret;
    c.hosts = {"home.dyn.example.net", "old.dyn.example.net"};
    c.ip = ProviderConfig::Families::Both;
    c.ttl = 30;
    ASSERT_EQ(providerconf::Check(c), "");
    auto make = [&](const ProviderConfig& config) {
        auto p = std::make_unique<CNsupdateProvider>(config, nullptr);
        p->SetTimeoutMs(1000);
        p->Persist(tmp / "provider.state");
        return p;
    };
    auto all = [&] {
        UpdateResultMap r;
        for (const DomainRecord& d : providerconf::HostRecords(c))
            r[d.hostid] = 1;
        return r;
    };
    auto client = make(c);
    AddressPair both(Ip("203.0.113.5"));
    ASSERT_TRUE(address::ParseIPv6("2001:db8::5", both.ipv6));
    UpdateResultMap results = all();
    EXPECT_EQ(client->Update("", "", both, results), 0);
    EXPECT_EQ(client->Requests(), 1);  // one UPDATE for both hosts and families
    EXPECT_EQ(dns.Resolve("home.dyn.example.net"), "203.0.113.5");
    EXPECT_EQ(dns.Resolve("old.dyn.example.net"), "203.0.113.5");  // the old record replaced
    EXPECT_EQ(dns.Resolve("home.dyn.example.net", true), "2001:db8::5");

    ProviderConfig wrong = c;
    wrong.password = std::string(dnstest::kKeyName) + ":hmac-sha256:" + dnstest::kWrongSecret;
    auto refused = make(wrong);
    results = all();
    EXPECT_EQ(refused->Update("", "", AddressPair(Ip("203.0.113.66")), results), CAccountProvider::kStatusRefused);
    EXPECT_NE(refused->Failure(CAccountProvider::kStatusRefused).what.find("NOTAUTH"), std::string::npos);
    EXPECT_EQ(dns.Resolve("home.dyn.example.net"), "203.0.113.5");

    dns.Stop();
    results = all();
    both.ipv4 = Ip("203.0.113.7");
    EXPECT_EQ(client->Update("", "", both, results), CAccountProvider::kStatusNoAnswer);
    ASSERT_TRUE(dns.Start());
    results = all();
    EXPECT_EQ(client->Update("", "", both, results), 0);
    EXPECT_EQ(dns.Resolve("home.dyn.example.net"), "203.0.113.7");
    EXPECT_EQ(client->Requests(), 3);  // only the changed IPv4 records in the last one
}

INSTANTIATE_TEST_SUITE_P(Servers, NsupdateTest, ::testing::Values("knot", "bind"),
                         [](const auto& p) { return std::string(p.param); });
