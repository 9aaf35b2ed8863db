// The whole chain against real authoritative servers (Knot DNS and BIND 9) started by the test in a network
// namespace of its own: the service (or a bare web-service update) -> provider -> signed UPDATE -> the name
// resolves. Also a wrong key and a server that is down while the update arrives.

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <functional>
#include <thread>

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"
#include "tests/core/service_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/provider/dns_server.h"
#include "tests/tools/provider/postgres_process.h"
#include "tests/tools/provider/provider_process.h"
#include "shared/dns/dns_update.h"

// Last: its C headers redefine bool for the standard library headers included after them.
#include <ldns/ldns.h>

namespace {

using namespace dnstest;

class Publish : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        ASSERT_EQ(0, m_provider.Admin({"seed-demo"}));
        std::string id;
        ASSERT_EQ(0, m_provider.Admin({"add-host", "demo", "Home.Dyn.Example.Net"}, &id));
        m_home = static_cast<uint32_t>(std::stoul(id));
        ASSERT_TRUE(m_provider.Start());
        m_service = std::make_unique<CDynamicService>("127.0.0.1", m_provider.Port());
    }

    int AddZone(const char* secret)
    {
        return m_provider.Admin(
            {"add-zone", kZone, "--server", "127.0.0.1:" + std::to_string(kDnsPort), "--ttl", "30"}, nullptr,
            "key \"" + std::string(kKeyName) + "\" { algorithm hmac-sha256; secret \"" + secret + "\"; };\n");
    }
    // What MorvaneCore does when the address changes: set it at the provider, then push.
    void Push(const std::string& address, std::vector<uint32_t> hosts = {})
    {
        ASSERT_EQ(0, m_provider.Admin({"set-address", address}));
        if (hosts.empty())
            hosts.push_back(m_home);
        UpdateResultMap results;
        for (uint32_t h : hosts)
            results[h] = 0;
        ASSERT_EQ(0, m_service->UpdateDynamic("demo", CMD5("demo").HexDigest(), results));
        for (uint32_t h : hosts)
            EXPECT_EQ(1, results[h]);
    }
    std::string Row(uint32_t host)  // the newest history row of a host
    {
        std::string history;
        m_provider.Admin({"history"}, &history);
        std::string tag = "\t" + std::to_string(host) + "\tdemo\t";
        size_t at = history.rfind(tag);
        return at == std::string::npos ? "" : history.substr(at + 1, history.find('\n', at) - at - 1);
    }

    CDnsServer m_dns{GetParam()};
    CProviderProcess m_provider;
    std::unique_ptr<CDynamicService> m_service;
    uint32_t m_home = 0;
};

TEST_P(Publish, SwitchOnAndAddressChangeResolve)
{
    ASSERT_TRUE(m_dns.Start());
    ASSERT_EQ(0, AddZone(kSecret));
    const std::string home = "home.dyn.example.net";
    EXPECT_EQ("", m_dns.Resolve(home));

    std::string id;
    ASSERT_EQ(0, m_provider.Admin({"add-host", "demo", "office.dyn.example.net"}, &id));
    uint32_t office = static_cast<uint32_t>(std::stoul(id));
    Push("192.0.2.10", {m_home, 1, office});  // host 1 (demo1.example.net) is in no zone
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve(home) == "192.0.2.10"; }, 10)) << m_dns.Resolve(home);
    EXPECT_EQ("192.0.2.10", m_dns.Resolve("office.dyn.example.net"));
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).ends_with("\t192.0.2.10\t1\tpublished"); }, 5)) << Row(m_home);
    EXPECT_TRUE(Row(1).ends_with("\t192.0.2.10\t1\t-")) << Row(1);

    // A change replaces the record instead of adding a second one; other names stay.
    Push("192.0.2.11");
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve(home) == "192.0.2.11"; }, 10)) << m_dns.Resolve(home);
    EXPECT_EQ("192.0.2.250", m_dns.Resolve("old.dyn.example.net"));
    // The same address again has nothing to publish.
    Push("192.0.2.11");
    EXPECT_TRUE(Row(m_home).ends_with("\t192.0.2.11\t1\t-")) << Row(m_home);
}

TEST_P(Publish, WrongKeyIsRecordedThenTheFixedKeyPublishes)
{
    ASSERT_TRUE(m_dns.Start());
    ASSERT_EQ(0, AddZone(kWrongSecret));
    Push("198.51.100.7");
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).find("BADSIG") != std::string::npos; }, 10)) << Row(m_home);
    EXPECT_NE(std::string::npos, Row(m_home).find("pending (1 failed")) << Row(m_home);
    EXPECT_EQ("", m_dns.Resolve("home.dyn.example.net"));
    std::string hosts;
    ASSERT_EQ(0, m_provider.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("Home.Dyn.Example.Net\t198.51.100.7\tdemo"));

    // The zones listing never shows the whole secret.
    std::string zones;
    ASSERT_EQ(0, m_provider.Admin({"zones"}, &zones));
    EXPECT_NE(std::string::npos, zones.find("dyn.example.net\t127.0.0.1:5300\tmorvane-test\thmac-sha256\td3Jv...\t30"));
    EXPECT_EQ(std::string::npos, zones.find(kWrongSecret));

    ASSERT_EQ(0, AddZone(kSecret));  // a corrected zone is retried at once
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve("home.dyn.example.net") == "198.51.100.7"; }, 5));
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).ends_with("\tpublished"); }, 5)) << Row(m_home);
}

TEST_P(Publish, ServerDownDuringTheUpdatePublishesOnceItIsBack)
{
    ASSERT_EQ(0, AddZone(kSecret));
    Push("198.51.100.8");
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).find("no answer") != std::string::npos; }, 10)) << Row(m_home);
    // A newer address arriving meanwhile supersedes the waiting one.
    Push("198.51.100.9");
    ASSERT_TRUE(m_dns.Start());
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve("home.dyn.example.net") == "198.51.100.9"; }, 15)) << Row(m_home);
    std::string history;
    m_provider.Admin({"history"}, &history);
    EXPECT_NE(std::string::npos, history.find("\t198.51.100.8\t1\tsuperseded")) << history;
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).ends_with("\t198.51.100.9\t1\tpublished"); }, 5)) << Row(m_home);
}

// dyndns2 with both families: A and AAAA resolve, and an IPv6-only update replaces the AAAA record and
// keeps the A record. Then Debian's ddclient with IPv6 in its configuration, over IPv6 from a global
// address of this namespace: its dyndns2 sends one address per request (the IPv4 one when it knows both)
// and, with only usev6, none, so the provider takes the caller's own.
TEST_P(Publish, BothFamiliesResolveAndEachKeepsTheOther)
{
    ASSERT_EQ(0, std::system("ip -6 addr replace 2001:db8::7/128 dev lo nodad"));
    ASSERT_TRUE(m_dns.Start());
    ASSERT_EQ(0, AddZone(kSecret));
    m_provider.Stop();
    ASSERT_TRUE(m_provider.Start({"--listen", "::"}));
    const std::string home = "home.dyn.example.net";
    auto both = [&] { return m_dns.Resolve(home) + " " + m_dns.Resolve(home, true); };
    EXPECT_EQ("good 192.0.2.30,2001:db8::30\n",
              BodyOf(Update(m_provider.Port(), "hostname=" + home + "&myip=2001:db8::30,192.0.2.30")));
    EXPECT_TRUE(WaitFor([&] { return both() == "192.0.2.30 2001:db8::30"; }, 10)) << both();
    EXPECT_EQ("good 2001:db8::31\n", BodyOf(Update(m_provider.Port(), "hostname=" + home + "&myipv6=2001:db8::31")));
    EXPECT_TRUE(WaitFor([&] { return both() == "192.0.2.30 2001:db8::31"; }, 10)) << both();

    CTempDir dir{"morvane-ddclient"};
    // ddclient takes a server name only with a dot in it: the same IPv6 address with its last 32 bits in
    // dotted form.
    const std::string server = "server=[2001:db8::0.0.0.7]:" + std::to_string(m_provider.Port()) + "\nssl=no\n";
    std::string log;
    EXPECT_EQ(0, RunDdclient(dir / "both",
                             server + "usev4=ipv4, ipv4=198.51.100.30\nusev6=ipv6, ipv6=2001:db8::7\n" + home + "\n",
                             log));
    EXPECT_TRUE(WaitFor([&] { return both() == "198.51.100.30 2001:db8::31"; }, 10)) << both() << "\n" << log;
    EXPECT_EQ(0, RunDdclient(dir / "v6", server + "usev6=ipv6, ipv6=2001:db8::7\n" + home + "\n", log));
    EXPECT_TRUE(WaitFor([&] { return both() == "198.51.100.30 2001:db8::7"; }, 10)) << both() << "\n" << log;
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).ends_with("\t2001:db8::7\t1\tpublished"); }, 5)) << Row(m_home);
}

// MorvaneCore's manager in-process (stand-in router, driven tick) with the real web-service client: switching
// the host on over the channel publishes the current address, the check after a change publishes the new one.
TEST_P(Publish, ServiceSwitchOnAndAddressChangeResolve)
{
    ASSERT_TRUE(m_dns.Start());
    ASSERT_EQ(0, AddZone(kSecret));
    ASSERT_EQ(0, m_provider.Admin({"set-address", "192.0.2.20"}));
    CTempDir dir{"morvane-chain-test"};
    CTestNat nat;
    std::atomic<uint32_t> tick{1000};
    ManagerOptions o;
    o.programDir = dir.Path();
    o.providerHost = "127.0.0.1";
    o.providerPort = m_provider.Port();
    o.tick = [&] { return tick.load(); };
    o.nat = &nat;
    o.superviseUpdater = false;
    CMorvaneManger manager(o);
    ASSERT_TRUE(manager.StartManager());

    CRawClient client(manager.ChannelPath());  // the service's socket
    client.Send(manager.ChannelPort(), CMD_LOGIN, [](OutPacket& out) {
        out.WriteString(std::string_view("demo"));
        out.WriteString(std::string_view(kDemoDigest));
    });
    auto login = client.ReceiveCommand(0, 10000);
    ASSERT_TRUE(login && login->size() > 20 && (*login)[20] == 1);
    client.Send(manager.ChannelPort(), CMD_SET_DOMAIN_STATE, [&](OutPacket& out) {
        out.WriteU16Host(1);
        out.WriteU32Host(m_home);
        out.WriteU8(1);
    });
    auto switched = client.ReceiveCommand(CMD_SET_DOMAIN_STATE);
    ASSERT_TRUE(switched && switched->size() > 20 && (*switched)[20] == 1);
    const std::string home = "home.dyn.example.net";
    EXPECT_TRUE(WaitUntil([&] { return m_dns.Resolve(home) == "192.0.2.20"; }, std::chrono::seconds(10)))
        << m_dns.Resolve(home) << " " << Row(m_home);

    // The provider reports a new address; the next check pushes it and the record is replaced.
    ASSERT_EQ(0, m_provider.Admin({"set-address", "192.0.2.21"}));
    tick += 2 * kAddressCheckIntervalMs;
    manager.Wake();
    EXPECT_TRUE(WaitUntil([&] { return m_dns.Resolve(home) == "192.0.2.21"; }, std::chrono::seconds(10)))
        << m_dns.Resolve(home) << " " << Row(m_home);
    EXPECT_TRUE(WaitUntil([&] { return Row(m_home).ends_with("\t192.0.2.21\t1\tpublished"); })) << Row(m_home);
}

INSTANTIATE_TEST_SUITE_P(Servers, Publish, ::testing::Values("knot", "bind"),
                         [](const auto& param) { return std::string(param.param); });

// A SQLite store moved to PostgreSQL (hosts with their ids, a token), then two serve processes on it, 16
// clients each updating its own host through both of them at once: every row is sent by one publisher only
// (what the two count as published is what the store holds as published, no more), nothing is left
// waiting, and every name resolves to its host's last address. /healthz follows the store.
TEST(PublishShared, MigratedThenTwoProcessesOnePostgresEachUpdateSentOnce)
{
    REQUIRE_PRIVATE_NETWORK();
    CPostgresServer pg;
    if (!pg.Ok())
        GTEST_SKIP() << pg.Why();
    ASSERT_TRUE(pg.CreateDatabase("shared"));
    CDnsServer dns("knot");
    ASSERT_TRUE(dns.Start());
    CProviderProcess lite, a(pg.Url("shared")), b(pg.Url("shared"));
    const std::string zone = kZone;
    auto host = [&](int c) {  // hN.ZONE, appended piecewise (GCC 12 at -O3 and "h" + to_string(c))
        std::string name(1, 'h');
        name += std::to_string(c);
        return name + "." + zone;
    };
    ASSERT_EQ(0, lite.Admin({"add-account", "demo"}, nullptr, "demo\ndemo\n"));
    ASSERT_EQ(0, lite.Admin({"add-host", "demo", "spare." + zone}));  // the ids start at 2
    constexpr int kClients = 16, kEach = 8;
    for (int c = 0; c < kClients; ++c)
        ASSERT_EQ(0, lite.Admin({"add-host", "demo", host(c)}));
    ASSERT_EQ(0, lite.Admin({"add-zone", kZone, "--server", "127.0.0.1:" + std::to_string(kDnsPort)}, nullptr,
                            "key \"" + std::string(kKeyName) + "\" { algorithm hmac-sha256; secret \"" + kSecret +
                                "\"; };\n"));
    std::string token, hosts, migrated, report;
    ASSERT_EQ(0, lite.Admin({"add-token", "h0." + zone}, &token));
    token.erase(token.find('\n'));
    ASSERT_EQ(0, lite.Admin({"hosts"}, &hosts));
    ASSERT_EQ(0, a.Admin({"migrate", "--from", lite.Database(), "--to", pg.Url("shared")}, &report));
    ASSERT_EQ(0, a.Admin({"hosts"}, &migrated));
    EXPECT_EQ(hosts, migrated) << report;
    EXPECT_EQ(1, a.Admin({"migrate", "--from", lite.Database(), "--to", pg.Url("shared")}));  // not empty now
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    EXPECT_EQ("good 10.9.9.9\n",
              BodyOf(Update(b.Port(), "hostname=h0." + zone + "&myip=10.9.9.9", Basic("h0." + zone, token).c_str())));
    std::atomic<int> accepted{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            for (int i = 0; i < kEach; ++i) {
                std::string address = "10.0." + std::to_string(c) + "." + std::to_string(i + 1);
                std::string query = "hostname=" + host(c) + "&myip=" + address;
                accepted += BodyOf(Update((c + i) % 2 ? a.Port() : b.Port(), query)) == "good " + address + "\n";
            }
        });
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(kClients * kEach, accepted);
    for (int c = 0; c < kClients; ++c) {
        std::string name = host(c), last = "10.0." + std::to_string(c) + "." + std::to_string(kEach);
        EXPECT_TRUE(WaitFor([&] { return dns.Resolve(name) == last; }, 20)) << name << " " << dns.Resolve(name);
    }
    std::string states;
    ASSERT_TRUE(WaitFor(
        [&] {
            return pg.Psql("shared", "SELECT state, COUNT(*) FROM publications GROUP BY state ORDER BY state",
                           &states) &&
                   states.find("pending") == std::string::npos;
        },
        20))
        << states;
    auto published = [](CProviderProcess& p) {
        std::string metrics = RawExchange(p.Port(), "GET /metrics HTTP/1.1\r\n\r\n");
        const std::string tag = "morvane_provider_publications_total{result=\"published\"} ";
        size_t at = metrics.find(tag);
        return at == std::string::npos ? -1L : std::atol(metrics.c_str() + at + tag.size());
    };
    const long byA = published(a), byB = published(b);
    std::string rows;
    ASSERT_TRUE(pg.Psql("shared", "SELECT COUNT(*) FROM publications WHERE state='published'", &rows));
    EXPECT_EQ(std::atol(rows.c_str()), byA + byB) << states;
    EXPECT_GE(byA + byB, kClients);

    std::string health = RawExchange(a.Port(), "GET /healthz HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0u, health.find("HTTP/1.1 200 ")) << health;
    EXPECT_NE(std::string::npos, health.find("\r\n\r\nok\n")) << health;
    pg.Stop();
    health = RawExchange(a.Port(), "GET /healthz HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0u, health.find("HTTP/1.1 503 ")) << health;
    EXPECT_NE(std::string::npos, health.find("database: unreachable")) << health;
}

// A server that misbehaves on purpose, on UDP and TCP port 5301: it checks the update it gets and answers
// as told.
class CFakeServer {
public:
    enum Mode { Truncate, Unsigned, Silent, Refused, WrongMac, Accept };

    explicit CFakeServer(Mode mode) : m_mode(mode)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(5301);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int on = 1;
        m_udp = socket(AF_INET, SOCK_DGRAM, 0);
        m_tcp = socket(AF_INET, SOCK_STREAM, 0);
        setsockopt(m_tcp, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        m_ok = bind(m_udp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
               bind(m_tcp, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(m_tcp, 4) == 0;
        m_thread = std::thread([this] { Run(); });
    }
    ~CFakeServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_udp);
        close(m_tcp);
    }
    bool Ok() const { return m_ok; }
    std::string Seen()  // transports and the update's text, as received
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

private:
    // The answer's wire form, or empty for none.
    std::string Answer(const uint8_t* wire, size_t size, bool tcp)
    {
        ldns_pkt* query = nullptr;
        if (ldns_wire2pkt(&query, wire, size) != LDNS_STATUS_OK)
            return "";
        char* text = ldns_rr_list2str(ldns_pkt_authority(query));
        bool signedOk = ldns_pkt_tsig(query) && ldns_pkt_tsig_verify(query, wire, size, "k.", "c2VjcmV0", nullptr);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen += std::string(tcp ? "TCP " : "UDP ") + (signedOk ? "signed\n" : "NOT SIGNED\n") + text;
        }
        std::free(text);
        std::string out;
        if (m_mode != Silent) {
            ldns_pkt* reply = ldns_pkt_new();
            ldns_pkt_set_id(reply, ldns_pkt_id(query));
            ldns_pkt_set_qr(reply, true);
            ldns_pkt_set_opcode(reply, LDNS_PACKET_UPDATE);
            ldns_pkt_set_rcode(reply, m_mode == Refused ? LDNS_RCODE_REFUSED : LDNS_RCODE_NOERROR);
            ldns_pkt_set_tc(reply, m_mode == Truncate && !tcp);
            const ldns_rdf* mac = ldns_pkt_tsig(query) ? ldns_rr_rdf(ldns_pkt_tsig(query), 3) : nullptr;
            if (m_mode == Truncate || m_mode == WrongMac || m_mode == Accept)
                ldns_pkt_tsig_sign(reply, "k.", m_mode == WrongMac ? "b3RoZXI=" : "c2VjcmV0", 300, "hmac-sha256.", mac);
            uint8_t* bytes = nullptr;
            size_t n = 0;
            if (ldns_pkt2wire(&bytes, reply, &n) == LDNS_STATUS_OK)
                out.assign(reinterpret_cast<char*>(bytes), n);
            std::free(bytes);
            ldns_pkt_free(reply);
        }
        ldns_pkt_free(query);
        return out;
    }
    void Run()
    {
        while (!m_stop) {
            pollfd p[2] = {{m_udp, POLLIN, 0}, {m_tcp, POLLIN, 0}};
            if (poll(p, 2, 50) <= 0)
                continue;
            uint8_t buf[4096];
            if (p[0].revents & POLLIN) {
                sockaddr_storage from{};
                socklen_t len = sizeof from;
                ssize_t n = recvfrom(m_udp, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                std::string answer = n > 0 ? Answer(buf, static_cast<size_t>(n), false) : "";
                if (!answer.empty())
                    sendto(m_udp, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
            }
            if (p[1].revents & POLLIN) {
                int c = accept(m_tcp, nullptr, nullptr);
                uint8_t length[2];
                if (c >= 0 && recv(c, length, 2, MSG_WAITALL) == 2) {
                    size_t want = static_cast<size_t>(length[0] << 8 | length[1]);
                    if (want <= sizeof buf && recv(c, buf, want, MSG_WAITALL) == static_cast<ssize_t>(want)) {
                        std::string answer = Answer(buf, want, true);
                        answer.insert(0,
                                      {static_cast<char>(answer.size() >> 8), static_cast<char>(answer.size() & 255)});
                        send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                    }
                }
                if (c >= 0)
                    close(c);
            }
        }
    }

    Mode m_mode;
    int m_udp = -1, m_tcp = -1;
    bool m_ok = false;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_seen;
};

TEST(DnsUpdate, TransportsAndAnswersThatMustNotCountAsSuccess)
{
    REQUIRE_PRIVATE_NETWORK();
    DnsZone zone{"dyn.example.net", "127.0.0.1", 5301, "k", "hmac-sha256", "c2VjcmV0", 90};
    auto send = [&](CFakeServer::Mode mode, std::string* seen = nullptr) {
        CFakeServer server(mode);
        EXPECT_TRUE(server.Ok());
        DnsUpdateResult r = dns::SendAddressUpdate(zone, "Home.dyn.example.net", "192.0.2.44", 300);
        if (seen)
            *seen = server.Seen();
        return r.ok ? std::string("ok") : r.error;
    };
    std::string seen;
    // Truncated over UDP: the same signed update again over TCP, whose signed answer is checked.
    EXPECT_EQ("ok", send(CFakeServer::Truncate, &seen));
    const std::string update = "Home.dyn.example.net.\t0\tANY\tA\t\\# 0\n"  // delete the RRset
                               "Home.dyn.example.net.\t90\tIN\tA\t192.0.2.44\n";
    EXPECT_EQ("UDP signed\n" + update + "TCP signed\n" + update, seen);
    EXPECT_EQ("answer not signed", send(CFakeServer::Unsigned));
    EXPECT_EQ("answer signature does not verify", send(CFakeServer::WrongMac));
    EXPECT_EQ("REFUSED", send(CFakeServer::Refused));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ("no answer over UDP (server down or time-out)", send(CFakeServer::Silent));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// The provider sends a name's two changed records in one UPDATE, and an update of one family replaces that
// family's RRset only.
TEST(DnsUpdate, BothFamiliesInOneMessageAndOneLeavesTheOther)
{
    REQUIRE_PRIVATE_NETWORK();
    CFakeServer server(CFakeServer::Accept);
    ASSERT_TRUE(server.Ok());
    CProviderProcess provider;
    ASSERT_EQ(0, provider.Admin({"seed-demo"}));
    ASSERT_EQ(0, provider.Admin({"add-host", "demo", "home.dyn.example.net"}));
    ASSERT_EQ(0, provider.Admin({"add-zone", "dyn.example.net", "--server", "127.0.0.1:5301"}, nullptr,
                                "key \"k\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };\n"));
    ASSERT_TRUE(provider.Start());
    const std::string a = "home.dyn.example.net.\t0\tANY\tA\t\\# 0\nhome.dyn.example.net.\t60\tIN\tA\t192.0.2.44\n";
    const std::string aaaa = "home.dyn.example.net.\t0\tANY\tAAAA\t\\# 0\nhome.dyn.example.net.\t60\tIN\tAAAA\t";
    EXPECT_EQ("good 192.0.2.44,2001:db8::44\n",
              BodyOf(Update(provider.Port(), "hostname=home.dyn.example.net&myip=192.0.2.44,2001:db8::44")));
    const std::string first = "UDP signed\n" + a + aaaa + "2001:db8::44\n";
    EXPECT_TRUE(WaitFor([&] { return server.Seen().size() >= first.size(); }, 5));
    EXPECT_EQ(first, server.Seen());
    EXPECT_EQ("good 2001:db8::45\n",
              BodyOf(Update(provider.Port(), "hostname=home.dyn.example.net&myipv6=2001:db8::45")));
    const std::string second = first + "UDP signed\n" + aaaa + "2001:db8::45\n";
    EXPECT_TRUE(WaitFor([&] { return server.Seen().size() >= second.size(); }, 5));
    EXPECT_EQ(second, server.Seen());
}

}  // namespace
