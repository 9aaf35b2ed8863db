// The client against a running morvane-provider: address, account and list, updates, administration,
// and hostile input that must be answered without taking the server down; dyndns2 with our own requests
// and with ddclient; TLS with a throwaway CA; slow clients.

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "core/log.h"

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"
#include "tests/support/wait.h"
#include "tests/tools/provider/provider_process.h"

namespace {

std::string Digest(const char* password)
{
    return CMD5(password).HexDigest();
}

size_t Lines(const std::string& text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A TSIG key as tsig-keygen writes it.
std::string KeyText(const std::string& name, const std::string& algorithm = "hmac-sha256")
{
    return "key \"" + name + "\" {\n\talgorithm " + algorithm + ";\n\tsecret \"c2VjcmV0\";\n};\n";
}

std::string Post(const std::string& body)
{
    return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\nSOAPAction: \"\"\r\n\r\n" + body;
}

std::string Call(const std::string& inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<SOAP-ENV:Envelope "
           "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" xmlns:ns=\"urn:dynamic\"><SOAP-ENV:Body>" +
           inner + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
}

class Provider : public ::testing::Test {
protected:
    virtual std::vector<std::string> ServeArgs() const { return {"--io-timeout", "1"}; }
    void SetUp() override
    {
        ASSERT_EQ(0, m_provider.Admin({"init"}));
        ASSERT_EQ(0, m_provider.Admin({"seed-demo"}));
        ASSERT_EQ(
            0, m_provider.Admin({"add-account", "other", "--nick", "\xE7\x8E\x8B\xE4\xBA\x94"}, nullptr, "secret\n"));
        std::string id;
        ASSERT_EQ(0, m_provider.Admin({"add-host", "other", "other.example.net"}, &id));
        m_otherHost = static_cast<uint32_t>(std::stoul(id));
        ASSERT_TRUE(m_provider.Start(ServeArgs()));
        m_service = std::make_unique<CDynamicService>("127.0.0.1", m_provider.Port());
        m_service->SetTimeouts(webservice::Timeouts{2, 2, 2, 4});
    }

    CProviderProcess m_provider;
    std::unique_ptr<CDynamicService> m_service;
    uint32_t m_otherHost = 0;
};

TEST_F(Provider, AddressFollowsSetAddressWhileRunning)
{
    NetInfo info;
    ASSERT_EQ(0, m_service->GetDynamicIP(info));
    EXPECT_EQ(0x7F000001, info.dyip);  // the caller's own address by default

    ASSERT_EQ(0, m_provider.Admin({"set-address", "192.168.1.1", "--nettype", "2", "--location", "lab"}));
    ASSERT_EQ(0, m_service->GetDynamicIP(info));
    EXPECT_EQ(static_cast<int32_t>(0xC0A80101u), info.dyip);
    EXPECT_EQ(2, info.nettype);
    EXPECT_EQ("lab", info.netlocation);

    EXPECT_NE(0, m_provider.Admin({"set-address", "300.1.1.1"}));
    ASSERT_EQ(0, m_provider.Admin({"set-address", "caller"}));
    ASSERT_EQ(0, m_service->GetDynamicIP(info));
    EXPECT_EQ(0x7F000001, info.dyip);
}

TEST_F(Provider, AccountAndDomainList)
{
    UserInfo user;
    std::vector<DomainRecord> list;
    ASSERT_EQ(0, m_service->GetDynamic("demo", Digest("demo"), user, list));
    EXPECT_NE(0, user.userid);
    EXPECT_STREQ("demo", user.username);
    EXPECT_EQ(1, user.userstatus);
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ("demo1.example.net", list[0].domain);
    EXPECT_EQ("demo3.example.net", list[2].domain);
    for (const auto& d : list)
        EXPECT_NE(0u, d.hostid);

    // Chinese nick name arrives intact.
    UserInfo other;
    std::vector<DomainRecord> otherList;
    ASSERT_EQ(0, m_service->GetDynamic("other", Digest("secret"), other, otherList));
    EXPECT_STREQ("\xE7\x8E\x8B\xE4\xBA\x94", other.nick);
    ASSERT_EQ(1u, otherList.size());
    EXPECT_EQ(m_otherHost, otherList[0].hostid);

    // Wrong password or unknown account: a fault, nothing touched.
    UserInfo kept;
    kept.userid = 5;
    std::vector<DomainRecord> keptList;
    EXPECT_NE(0, m_service->GetDynamic("demo", Digest("wrong"), kept, keptList));
    EXPECT_NE(0, m_service->GetDynamic("nobody", Digest("demo"), kept, keptList));
    EXPECT_EQ(5, kept.userid);
    EXPECT_TRUE(keptList.empty());
}

TEST_F(Provider, UpdateSetsOwnHostsAndRefusesOthers)
{
    ASSERT_EQ(0, m_provider.Admin({"set-address", "203.0.113.9"}));
    UserInfo user;
    std::vector<DomainRecord> list;
    ASSERT_EQ(0, m_service->GetDynamic("demo", Digest("demo"), user, list));
    ASSERT_EQ(3u, list.size());

    UpdateResultMap results{{list[0].hostid, 0}, {list[2].hostid, 0}, {m_otherHost, 0}};
    ASSERT_EQ(0, m_service->UpdateDynamic("demo", Digest("demo"), results));
    EXPECT_EQ(1, results[list[0].hostid]);
    EXPECT_EQ(1, results[list[2].hostid]);
    EXPECT_EQ(0, results[m_otherHost]);

    std::vector<DomainRecord> after;
    ASSERT_EQ(0, m_service->GetDynamic("demo", Digest("demo"), user, after));
    ASSERT_EQ(3u, after.size());
    EXPECT_EQ("203.0.113.9", after[0].data);
    EXPECT_EQ("", after[1].data);
    EXPECT_EQ("203.0.113.9", after[2].data);

    std::string history;
    ASSERT_EQ(0, m_provider.Admin({"history"}, &history));
    // Another account's host is refused without a trace: a caller cannot fill the history with others' ids.
    EXPECT_EQ(std::string::npos, history.find("\t" + std::to_string(m_otherHost) + "\t"));
    EXPECT_NE(std::string::npos, history.find("\t" + std::to_string(list[0].hostid) + "\tdemo\t203.0.113.9\t1"));
    std::string hosts;
    ASSERT_EQ(0, m_provider.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("demo1.example.net\t203.0.113.9\tdemo"));
    EXPECT_NE(std::string::npos, hosts.find("other.example.net\t\tother"));

    // An empty map still makes the call; a wrong password changes nothing.
    UpdateResultMap empty;
    EXPECT_EQ(0, m_service->UpdateDynamic("demo", Digest("demo"), empty));
    UpdateResultMap refused{{list[1].hostid, 0}};
    EXPECT_NE(0, m_service->UpdateDynamic("demo", Digest("nope"), refused));
    EXPECT_EQ(0, refused[list[1].hostid]);
}

// A caller may list a thousand ids, its own among others' and made-up ones: only its own hosts are
// written, once each. A longer list is refused whole.
TEST_F(Provider, ThousandIdsWriteOnlyTheCallersRows)
{
    UserInfo user;
    std::vector<DomainRecord> list;
    ASSERT_EQ(0, m_service->GetDynamic("demo", Digest("demo"), user, list));
    UpdateResultMap results{{m_otherHost, 0}};
    for (const auto& d : list)
        results[d.hostid] = 0;
    for (uint32_t id = 500000; results.size() < 1000; ++id)
        results[id] = 0;
    ASSERT_EQ(0, m_service->UpdateDynamic("demo", Digest("demo"), results));
    EXPECT_EQ(3, std::count_if(results.begin(), results.end(), [](const auto& r) { return r.second == 1; }));
    results[400000] = 0;  // 1001
    EXPECT_NE(0, m_service->UpdateDynamic("demo", Digest("demo"), results));
    std::string history;
    ASSERT_EQ(0, m_provider.Admin({"history"}, &history));
    EXPECT_EQ(3u, Lines(history)) << history;
}

TEST_F(Provider, HostileInputGetsAnErrorNotACrash)
{
    auto expectFault = [&](const std::string& request, const char* what) {
        SCOPED_TRACE(what);
        std::string answer = RawExchange(m_provider.Port(), request);
        EXPECT_EQ(0u, answer.find("HTTP/1.1 ")) << answer.substr(0, 200);
        EXPECT_EQ(std::string::npos, answer.find("HTTP/1.1 200")) << answer.substr(0, 200);
    };
    expectFault(Post("<not xml"), "malformed XML");
    expectFault(Post(Call("<ns:dropTables/>")), "unknown operation");
    expectFault(Post(Call("<ns:updateDynamic><username>demo</username><password>" + Digest("demo") +
                          "</password><dynamic-list>&lt;dynamic&gt;&lt;hostid</dynamic-list></ns:updateDynamic>")),
                "malformed dynamic-list");
    // A body over the cap is refused from its announced length, before it is read.
    expectFault("POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-Length: 10000000\r\n\r\n<a>",
                "huge body");
    // Not HTTP at all, or a body shorter than announced: the server gives up after its time limit.
    EXPECT_EQ(std::string::npos, RawExchange(m_provider.Port(), "GARBAGE\r\n\r\n").find(" 200 "));
    EXPECT_EQ(std::string::npos,
              RawExchange(m_provider.Port(), "POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n<trunc").find(" 200 "));

    EXPECT_TRUE(m_provider.Running());
    NetInfo info;
    EXPECT_EQ(0, m_service->GetDynamicIP(info));
    EXPECT_EQ(0, m_provider.Stop());
}

// ---- dyndns2 --------------------------------------------------------------------------------------

// A loopback port nobody listens on (TCP; UDP on it goes unanswered).
uint16_t ClosedPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

class Dyndns2 : public Provider {
protected:
    std::vector<std::string> ServeArgs() const override { return {"--io-timeout", "1", "--nochg-limit", "2"}; }
};

TEST_F(Dyndns2, EveryReplyCodeAndNothingStoredForBadRequests)
{
    const uint16_t port = m_provider.Port();
    // Refused before anything is looked at: missing, garbage, wrong or unknown credentials.
    for (const char* basic :
         {static_cast<const char*>(nullptr), "%%%garbage", "ZGVtbzp3cm9uZw==", "bm9ib2R5OmRlbW8=", "ZGVtbw=="}) {
        std::string answer = Update(port, "hostname=demo1.example.net&myip=192.0.2.1", basic);
        EXPECT_EQ(0u, answer.find("HTTP/1.1 401 ")) << (basic ? basic : "none");
        EXPECT_NE(std::string::npos, answer.find("WWW-Authenticate: Basic"));
        EXPECT_EQ("badauth\n", BodyOf(answer));
    }
    EXPECT_EQ(0u,
              RawExchange(port, "GET /nic/update HTTP/1.1\r\nAuthorization: Bearer x\r\n\r\n").find("HTTP/1.1 401 "));

    // Malformed queries and names.
    EXPECT_EQ("notfqdn\n", BodyOf(Update(port, "myip=192.0.2.1")));
    EXPECT_EQ("notfqdn\nnotfqdn\nnotfqdn\n", BodyOf(Update(port, "hostname=demo1,-x.example.net,a..b&myip=192.0.2.1")));
    EXPECT_EQ(0u, Update(port, "hostname=demo1.example.net&myip=300.1.1.1").find("HTTP/1.1 400 "));
    EXPECT_EQ("badagent\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=%zz")));
    std::string many = "hostname=h0.example.net";
    for (int i = 1; i <= 20; ++i)
        many += ",h" + std::to_string(i) + ".example.net";
    EXPECT_EQ("numhost\n", BodyOf(Update(port, many + "&myip=192.0.2.1")));
    EXPECT_EQ(0u, RawExchange(port, "GET /nic/other HTTP/1.1\r\n\r\n").find("HTTP/1.1 404 "));
    EXPECT_EQ(0u, RawExchange(port, "DELETE /nic/update HTTP/1.1\r\n\r\n").find("HTTP/1.1 405 "));
    std::string history;
    ASSERT_EQ(0, m_provider.Admin({"history"}, &history));
    EXPECT_EQ("", history);

    // good, then nochg; unknown and foreign hosts are nohost; names are case-blind, a final dot is allowed.
    EXPECT_EQ("good 192.0.2.1\nnohost\nnohost\ngood 192.0.2.1\n",
              BodyOf(Update(port, "system=dyndns&hostname=demo1.example.net,ghost.example.net,other.example.net,"
                                  "DEMO2.Example.NET.&myip=192.0.2.1&wildcard=NOCHG")));
    EXPECT_EQ("nochg 192.0.2.1\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.1")));
    // myip absent or empty: the caller's address; a list may carry both families, in either order.
    EXPECT_EQ("good 127.0.0.1\n", BodyOf(Update(port, "hostname=demo3.example.net")));
    EXPECT_EQ("nochg 127.0.0.1\n", BodyOf(Update(port, "hostname=demo3.example.net&myip=")));
    EXPECT_EQ("good 192.0.2.9,2001:db8::1\n",
              BodyOf(Update(port, "hostname=demo3.example.net&myip=2001:db8::1,192.0.2.9")));
    ASSERT_EQ(0, m_provider.Admin({"history"}, &history));
    EXPECT_EQ(5u, Lines(history));  // nochg stores nothing; one row per family
    EXPECT_NE(std::string::npos, history.find("\tdemo\t192.0.2.9\t1"));

    // Unchanged updates past the limit (2 here) are abuse until the address really changes.
    EXPECT_EQ("nochg 192.0.2.1\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.1")));
    EXPECT_EQ("abuse\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.1")));
    EXPECT_EQ("abuse\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.1")));
    EXPECT_EQ("good 192.0.2.2\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.2")));
    EXPECT_EQ("nochg 192.0.2.2\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.2")));

    // The other account's password works for its own host only.
    EXPECT_EQ("good 192.0.2.5\nnohost\n", BodyOf(Update(port,
                                                        "hostname=other.example.net,demo1.example.net"
                                                        "&myip=192.0.2.5",
                                                        "b3RoZXI6c2VjcmV0")));

    // A store that fails: 911, and the server goes on.
    ASSERT_EQ(0,
              std::system(("sqlite3 '" + m_provider.Database() +
                           "' \"CREATE TRIGGER broken BEFORE INSERT ON history BEGIN SELECT RAISE(ABORT, 'x'); END;\"")
                              .c_str()));
    EXPECT_EQ("911\n", BodyOf(Update(port, "hostname=demo2.example.net&myip=192.0.2.7")));
    std::string hosts;
    ASSERT_EQ(0, m_provider.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("demo2.example.net\t192.0.2.1\t"));  // rolled back
    EXPECT_TRUE(m_provider.Running());
}

// Each family of a host is set on its own: an update of one leaves the other, nochg is about the families
// named, and an address of the wrong family or one no host can have (link-local, ULA, multicast, mapped,
// loopback) is refused whole with nothing stored.
TEST_F(Dyndns2, EachFamilyOnItsOwn)
{
    const uint16_t port = m_provider.Port();
    auto demo1 = [&] {
        std::string hosts;
        m_provider.Admin({"hosts"}, &hosts);
        return hosts.substr(0, hosts.find('\n'));
    };
    auto update = [&](const std::string& myip) { return BodyOf(Update(port, "hostname=demo1.example.net&" + myip)); };
    EXPECT_EQ("good 192.0.2.1,2001:db8::1\n", update("myip=2001:DB8:0::1,192.0.2.1"));
    EXPECT_EQ("1\tdemo1.example.net\t192.0.2.1\tdemo\t2001:db8::1", demo1());
    EXPECT_EQ("nochg 2001:db8::1\n", update("myipv6=2001:db8::1/64"));
    EXPECT_EQ("good 2001:db8::2\n", update("myip6=2001:db8::2"));
    EXPECT_EQ("good 192.0.2.2\n", update("myipv4=192.0.2.2&myipv6="));
    EXPECT_EQ("nochg 192.0.2.2,2001:db8::2\n", update("myip=192.0.2.2/32&myipv6=2001:db8::2"));
    EXPECT_EQ("1\tdemo1.example.net\t192.0.2.2\tdemo\t2001:db8::2", demo1());
    for (const char* bad :
         {"myipv6=192.0.2.3", "myipv4=2001:db8::3", "myip=192.0.2.3,192.0.2.4", "myip=192.0.2.3&myipv4=192.0.2.4",
          "myip=192.0.2.3,junk", "myip=2001:db8::3/129", "myip=192.0.2.3,fe80::1", "myip=fd00::3", "myip6=ff02::1",
          "myip=::ffff:192.0.2.3", "myip=::1", "myip=::"}) {
        std::string answer = Update(port, std::string("hostname=demo1.example.net&") + bad);
        EXPECT_EQ(0u, answer.find("HTTP/1.1 400 ")) << bad;
        EXPECT_EQ("badagent\n", BodyOf(answer)) << bad;
    }
    EXPECT_EQ("1\tdemo1.example.net\t192.0.2.2\tdemo\t2001:db8::2", demo1());
    std::string history;
    ASSERT_EQ(0, m_provider.Admin({"history"}, &history));
    EXPECT_EQ(4u, Lines(history)) << history;
    EXPECT_NE(std::string::npos, history.find("\tdemo\t2001:db8::2\t1\t-")) << history;
}

// A token updates its own host only and stops at once when revoked; an account made before slow hashes
// gets one at its first login by password; a host's address changes once in the minimum interval (429 with
// Retry-After, the web service's result 2), and again after it; an address whose secrets keep failing is
// slowed down without locking out the right password, and its waiting guesses hold no worker.
TEST(ProviderAccess, TokensMinimumIntervalAndFailingAddresses)
{
    CProviderProcess p;
    ASSERT_EQ(0, p.Admin({"seed-demo"}));
    std::string token, out;
    ASSERT_EQ(0, p.Admin({"add-token", "demo1.example.net"}, &token));
    token.erase(token.find('\n'));
    ASSERT_TRUE(p.Start({"--io-timeout", "5", "--min-interval", "2"}));
    const uint16_t port = p.Port();
    const std::string own = Basic("demo1.example.net", token);
    EXPECT_EQ("good 192.0.2.1\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.1", own.c_str())));
    EXPECT_EQ("!yours\n", BodyOf(Update(port, "hostname=demo2.example.net&myip=192.0.2.1", own.c_str())));
    EXPECT_EQ("badauth\n", BodyOf(Update(port, "hostname=demo2.example.net",
                                         Basic("demo2.example.net", token).c_str())));  // another host's name

    std::string held = Update(port, "hostname=demo1.example.net&myip=192.0.2.2", own.c_str());
    EXPECT_EQ(0u, held.find("HTTP/1.1 429 ")) << held;
    EXPECT_TRUE(held.find("Retry-After: 2\r\n") != std::string::npos ||
                held.find("Retry-After: 1\r\n") != std::string::npos)
        << held;
    EXPECT_EQ("911\n", BodyOf(held));
    ASSERT_EQ(0, p.Admin({"set-address", "192.0.2.3"}));
    CDynamicService service("127.0.0.1", port);
    UpdateResultMap results{{1, 0}, {2, 0}};
    ASSERT_EQ(0, service.UpdateDynamic("demo", Digest("demo"), results));
    EXPECT_EQ(2, results[1]);  // held back
    EXPECT_EQ(1, results[2]);
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    EXPECT_EQ("good 192.0.2.2\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.2", own.c_str())));

    ASSERT_EQ(0, p.Admin({"tokens"}, &out));
    ASSERT_EQ(0u, out.find("1\tdemo1.example.net\tdemo\t")) << out;
    EXPECT_EQ(1, p.Admin({"revoke-token", "other", "1"}));
    ASSERT_EQ(0, p.Admin({"revoke-token", "demo", "1"}));
    EXPECT_EQ("badauth\n", BodyOf(Update(port, "hostname=demo1.example.net", own.c_str())));

    ASSERT_EQ(0, p.Admin({"accounts"}, &out));
    EXPECT_NE(std::string::npos, out.find("\tdigest\n")) << out;
    EXPECT_EQ("good 192.0.2.9\n", BodyOf(Update(port, "hostname=demo3.example.net&myip=192.0.2.9")));
    ASSERT_EQ(0, p.Admin({"accounts"}, &out));
    EXPECT_NE(std::string::npos, out.find("\targon2id\n")) << out;

    // Wrong passwords from one address: three come free, then each waits longer; the right one still passes.
    const std::string wrong = Basic("demo", "wrong");
    auto timed = [&](const std::string& basic) {
        auto start = std::chrono::steady_clock::now();
        std::string body = BodyOf(Update(port, "hostname=demo3.example.net&myip=192.0.2.9", basic.c_str()));
        return std::make_pair(body, std::chrono::steady_clock::now() - start);
    };
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ("badauth\n", timed(wrong).first);
    auto [fifth, fifthTook] = timed(wrong);
    EXPECT_EQ("badauth\n", fifth);
    EXPECT_GE(fifthTook, std::chrono::milliseconds(450));
    auto [right, rightTook] = timed(Basic("demo", "demo"));
    EXPECT_EQ("nochg 192.0.2.9\n", right);
    EXPECT_GE(rightTook, std::chrono::milliseconds(900));
    // A burst of guesses waits in the slow lane, each refused in turn: the server answers others at once.
    for (int i = 0; i < 4; ++i)
        timed(wrong);
    std::vector<std::thread> guesses;
    std::atomic<int> refused{0};
    for (int i = 0; i < 6; ++i)
        guesses.emplace_back([&] {
            std::string answer = Update(port, "hostname=demo3.example.net", wrong.c_str());
            refused += BodyOf(answer) == "badauth\n" || answer.find(" 429 ") != std::string::npos;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    std::string metrics = RawExchange(port, "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(std::string::npos, metrics.find("morvane_provider_slow_lane_requests 0\n")) << metrics;
    for (auto& t : guesses)
        t.join();
    EXPECT_EQ(6, refused);
}

// An update whose DNS publication fails (the zone's server port is closed) is stored, and a retry of the
// same address answers dnserr rather than nochg while the name lags behind.
TEST_F(Dyndns2, DnserrWhilePublicationFails)
{
    const uint16_t port = m_provider.Port();
    ASSERT_EQ(0, m_provider.Admin({"add-zone", "example.net", "--server", "127.0.0.1:" + std::to_string(ClosedPort())},
                                  nullptr, KeyText("k")));
    EXPECT_EQ("good 192.0.2.44\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.44")));
    EXPECT_EQ("nochg 192.0.2.44\n", BodyOf(Update(port, "hostname=demo1.example.net&myip=192.0.2.44")));
    std::string history;
    EXPECT_TRUE(WaitUntil(
        [&] { return m_provider.Admin({"history"}, &history) == 0 && history.find("1 failed") != std::string::npos; },
        std::chrono::seconds(15), std::chrono::milliseconds(100)))
        << history;
    EXPECT_EQ("dnserr\ndnserr\ndnserr\n",
              BodyOf(Update(port, "hostname=demo1.example.net,demo1.example.net,demo1.example.net&myip=192.0.2.44")));
}

// ddclient with the address 198.51.100.7 for demo2 and demo3, against the provider on 127.0.0.1.
int RunDdclient(const std::string& dir, uint16_t port, const std::string& extra, std::string& log)
{
    return ::RunDdclient(dir,
                         "use=ip, ip=198.51.100.7\nserver=127.0.0.1:" + std::to_string(port) + "\n" + extra +
                             "demo2.example.net,demo3.example.net\n",
                         log);
}

TEST_F(Dyndns2, DdclientUpdatesHosts)
{
    std::string log;
    std::filesystem::create_directories(m_provider.Database() + "-dir");
    EXPECT_EQ(0, RunDdclient(m_provider.Database() + "-dir", m_provider.Port(), "ssl=no\n", log));
    EXPECT_NE(std::string::npos, log.find("updating demo3.example.net: good: IP address set to 198.51.100.7")) << log;
    std::string hosts;
    ASSERT_EQ(0, m_provider.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("demo2.example.net\t198.51.100.7\tdemo"));
    EXPECT_NE(std::string::npos, hosts.find("demo3.example.net\t198.51.100.7\tdemo"));
}

// ---- TLS -----------------------------------------------------------------------------------------

TEST(ProviderTls, GoodChainWorksBadOnesSendNothing)
{
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    CProviderProcess good;
    ASSERT_EQ(0, good.Admin({"seed-demo"}));
    ASSERT_TRUE(good.Start(tls.Serve("good")));
    for (const char* host : {"localhost", "127.0.0.1"}) {
        CDynamicService service(host, good.Port());
        service.UseTls(tls.Path("ca.pem"));
        EXPECT_EQ("https://" + std::string(host) + ":" + std::to_string(good.Port()) + "/", service.Endpoint());
        UserInfo user;
        std::vector<DomainRecord> list;
        ASSERT_EQ(0, service.GetDynamic("demo", Digest("demo"), user, list)) << host;
        ASSERT_EQ(3u, list.size());
        UpdateResultMap results{{list[0].hostid, 0}};
        ASSERT_EQ(0, service.UpdateDynamic("demo", Digest("demo"), results));
        EXPECT_EQ(1, results[list[0].hostid]);
    }
    // Without the private CA the system store does not know it; plain HTTP gets no answer from a TLS port.
    CDynamicService systemStore("localhost", good.Port());
    systemStore.UseTls("");
    NetInfo info;
    EXPECT_NE(0, systemStore.GetDynamicIP(info));
    EXPECT_NE(0, CDynamicService("127.0.0.1", good.Port()).GetDynamicIP(info));
    // dyndns2 over TLS with ddclient, trusting the CA.
    std::string log;
    std::filesystem::create_directories(good.Database() + "-dd");
    EXPECT_EQ(
        0, RunDdclient(good.Database() + "-dd", good.Port(), "ssl=yes\nssl_ca_file=" + tls.Path("ca.pem") + "\n", log));
    EXPECT_NE(std::string::npos, log.find("updating demo2.example.net: good: IP address set to 198.51.100.7")) << log;

    std::string refused;  // the reasons the service gives for each refusal
    for (const char* bad : {"expired", "wrongname", "unknownca"}) {
        SCOPED_TRACE(bad);
        CProviderProcess p;
        ASSERT_EQ(0, p.Admin({"seed-demo"}));
        ASSERT_TRUE(p.Start(tls.Serve(bad)));
        for (const char* host : {"localhost", "127.0.0.1"}) {
            CDynamicService service(host, p.Port());
            service.UseTls(tls.Path("ca.pem"));
            UpdateResultMap results{{1, 0}, {2, 0}};
            int status = service.UpdateDynamic("demo", Digest("demo"), results);
            EXPECT_NE(0, status) << host;
            EXPECT_EQ(0, results[1]);
            std::string what = service.Failure(status).what;
            EXPECT_EQ(0u, what.find("TLS refused, request not sent")) << what;
            refused += what + "\n";
        }
        std::string history;
        ASSERT_EQ(0, p.Admin({"history"}, &history));
        EXPECT_EQ("", history);
    }
    for (const char* reason : {"certificate has expired", "host name mismatch", "unable to get local issuer"})
        EXPECT_NE(std::string::npos, refused.find(reason)) << reason << "\n" << refused;
}

// ---- slow clients --------------------------------------------------------------------------------

// 100 clients that stall mid-header (or mid-handshake over TLS) hold no worker: a normal client is still
// answered at once, and the stalled ones are dropped after the time limit.
TEST(ProviderSlowClients, NormalClientAnsweredWhileHundredStall)
{
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    for (bool useTls : {false, true}) {
        SCOPED_TRACE(useTls ? "TLS" : "plain");
        CProviderProcess p;
        ASSERT_EQ(0, p.Admin({"seed-demo"}));
        std::vector<std::string> args{"--io-timeout", "2"};
        if (useTls)
            args = {"--tls-cert", tls.Path("good.pem"), "--tls-key", tls.Path("good.key"), "--io-timeout", "2"};
        ASSERT_TRUE(p.Start(args));
        std::vector<int> slow;
        for (int i = 0; i < 100; ++i) {
            int s = Connect(p.Port());
            ASSERT_GE(s, 0);
            if (!useTls)
                send(s, "GET /nic/update?hostname=demo1.exa", 35, MSG_NOSIGNAL);
            slow.push_back(s);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CDynamicService service("127.0.0.1", p.Port());
        if (useTls)
            service.UseTls(tls.Path("ca.pem"));
        auto start = std::chrono::steady_clock::now();
        NetInfo info;
        EXPECT_EQ(0, service.GetDynamicIP(info));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

        // Bounded: every stalled connection is closed by the server (408 for a started request) within
        // twice the time limit.
        int closed = 0;
        for (int s : slow) {
            pollfd pfd{s, POLLIN, 0};
            char buf[512];
            std::string got;
            while (poll(&pfd, 1, 5000) > 0) {
                ssize_t n = recv(s, buf, sizeof buf, 0);
                if (n <= 0) {
                    ++closed;
                    break;
                }
                got.append(buf, static_cast<size_t>(n));
            }
            if (!useTls) {
                EXPECT_EQ(0u, got.find("HTTP/1.1 408 "));
            }
            close(s);
        }
        EXPECT_EQ(100, closed);
        EXPECT_TRUE(p.Running());
    }
}

// A client that sends a large head and a body a byte at a time costs the connection thread no more per
// read than one with a small head: each byte is looked at once, the head is parsed once.
TEST(ProviderSlowClients, ByteByByteCostsLinearWork)
{
    CProviderProcess p;
    ASSERT_EQ(0, p.Admin({"seed-demo"}));
    ASSERT_TRUE(p.Start({"--io-timeout", "60"}));
    // Run time of the connection thread (the main thread) so far, and how often it was scheduled in.
    auto loopThread = [&] {
        std::ifstream in("/proc/" + std::to_string(p.Pid()) + "/task/" + std::to_string(p.Pid()) + "/schedstat");
        int64_t ns = 0, waited = 0, runs = 0;
        in >> ns >> waited >> runs;
        return std::pair(ns, runs);
    };
    auto nsPerRead = [&](int fields) {
        std::string request = "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        for (int i = 0; i < fields; ++i)
            request += "a: " + std::string(28, '\r') + "b\r\n";
        request += "Content-Length: 1024\r\n\r\n" + std::string(1024, ' ');
        int s = Connect(p.Port());
        int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto before = loopThread();
        for (char c : request) {  // paced, so that most reads find a byte or two
            send(s, &c, 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        }
        char buf[4096];
        for (pollfd pfd{s, POLLIN, 0}; poll(&pfd, 1, 10000) > 0 && recv(s, buf, sizeof buf, 0) > 0;) {
        }
        close(s);
        auto after = loopThread();
        return static_cast<double>(after.first - before.first) / static_cast<double>(after.second - before.second);
    };
    double small = nsPerRead(2);
    double large = nsPerRead(460);  // a head just under the 16 KiB limit
    std::printf("connection thread: %.0f ns per read with a 0.1 KiB head, %.0f ns with a 15.8 KiB head\n", small,
                large);
    EXPECT_LT(large, 1.5 * small);
}

TEST(ProviderAdmin, CommandsAndErrors)
{
    CProviderProcess p;
    std::string out;
    EXPECT_EQ(0, p.Admin({"--help"}, &out));
    EXPECT_NE(std::string::npos, out.find("seed-demo"));
    EXPECT_NE(0, p.Admin({"frobnicate"}));
    EXPECT_NE(0, p.Admin({"add-account", "only-name"}));
    EXPECT_NE(0, p.Admin({"add-host", "ghost", "g.example.net"}));  // no such account
    ASSERT_EQ(0, p.Admin({"add-account", "a", "--email", "a@example.net"}, &out, "pw\n"));
    EXPECT_NE(0, p.Admin({"add-account", "a"}, nullptr, "pw2\n"));              // names are unique
    for (const char* bad : {"a_b.example.net", "localhost", "x..example.net"})  // names dyndns2 could never update
        EXPECT_EQ(2, p.Admin({"add-host", "a", bad})) << bad;
    ASSERT_EQ(0, p.Admin({"seed-demo"}));
    ASSERT_EQ(0, p.Admin({"seed-demo"}));  // idempotent
    ASSERT_EQ(0, p.Admin({"accounts"}, &out));
    EXPECT_NE(std::string::npos, out.find("\ta\t\ta@example.net\t1\t1"));
    EXPECT_NE(std::string::npos, out.find("\tdemo\t"));
    ASSERT_EQ(0, p.Admin({"hosts"}, &out));
    EXPECT_NE(std::string::npos, out.find("demo2.example.net"));
    EXPECT_EQ(1, p.Admin({"add-host", "a", "DEMO2.Example.NET."}));  // one host per name, in any case

    // Zones: incomplete or malformed settings are refused before anything is stored.
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1"}));
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1:99999"}, nullptr, KeyText("k")));
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1"}, nullptr, KeyText("k", "hmac-sha3")));
    EXPECT_NE(0, p.Admin({"add-zone", "bad zone", "--server", "127.0.0.1"}, nullptr, KeyText("k")));
    EXPECT_NE(0, p.Admin({"remove-zone", "example.net"}));
    ASSERT_EQ(0, p.Admin({"zones"}, &out));
    EXPECT_EQ("", out);
    ASSERT_EQ(0, p.Admin({"add-zone", "Example.NET.", "--server", "[::1]:5353"}, nullptr, KeyText("k", "hmac-sha512")));
    ASSERT_EQ(0, p.Admin({"zones"}, &out));
    EXPECT_EQ("example.net\t[::1]:5353\tk\thmac-sha512\tc2Vj...\t60\n", out);
    EXPECT_EQ(0, p.Admin({"remove-zone", "example.net"}));
}

// ---- secrets and the IPv6 caller ------------------------------------------------------------------

// The database and the files SQLite keeps beside it are the owner's alone whatever the umask, also a
// database an older version left readable; passwords and keys come from standard input or a key file
// (tsig-keygen's own), and the old command-line forms still work but warn.
TEST(ProviderSecrets, OwnerOnlyFilesAndSecretsOffTheCommandLine)
{
    const mode_t umaskBefore = umask(022);
    CProviderProcess p;
    auto mode = [&](const char* suffix) {
        struct stat st {};
        return stat((p.Database() + suffix).c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
    };
    std::string out, err;
    ASSERT_EQ(0, p.Admin({"add-account", "alice"}, &out, "pass word\n", &err));
    ASSERT_TRUE(p.Start({"--io-timeout", "1"}));
    UserInfo user;
    std::vector<DomainRecord> list;  // the password is the whole line, no more
    ASSERT_EQ(0, CDynamicService("127.0.0.1", p.Port()).GetDynamic("alice", Digest("pass word"), user, list));
    for (const char* suffix : {"", "-wal", "-shm"})  // the journal files exist while the server runs
        EXPECT_EQ(0600, mode(suffix)) << suffix;
    EXPECT_EQ(0, p.Stop());
    ASSERT_EQ(0, chmod(p.Database().c_str(), 0644));
    ASSERT_EQ(0, p.Admin({"accounts"}, &out, "", &err));
    EXPECT_EQ(0600, mode(""));
    EXPECT_NE(std::string::npos, err.find("was readable by others (0644): now 0600")) << err;
    umask(umaskBefore);

    // Two keys in one file as tsig-keygen writes them: refused without a choice, taken by name.
    const std::string keys = p.Database() + ".keys";
    ASSERT_EQ(0, std::system(("/usr/sbin/tsig-keygen -a hmac-sha512 first >'" + keys +
                              "' && /usr/sbin/tsig-keygen second >>'" + keys + "'")
                                 .c_str()));
    EXPECT_EQ(2, p.Admin({"add-zone", "dyn.example.net", "--server", "127.0.0.1", "--key-file", keys}, &out, "", &err));
    EXPECT_NE(std::string::npos, err.find("2 keys (first, second)")) << err;
    ASSERT_EQ(0, p.Admin({"add-zone", "dyn.example.net", "--server", "127.0.0.1", "--key-file", keys, "--key-name",
                          "second"}));
    ASSERT_EQ(0, p.Admin({"zones"}, &out));
    EXPECT_EQ(0u, out.find("dyn.example.net\t127.0.0.1:53\tsecond\thmac-sha256\t")) << out;
    // From standard input; the old forms work with a warning; an empty password is refused.
    ASSERT_EQ(0, p.Admin({"add-zone", "other.example.net", "--server", "127.0.0.1"}, &out, KeyText("k"), &err));
    ASSERT_EQ(0, p.Admin({"add-account", "bob", "old-style"}, &out, "", &err));
    EXPECT_NE(std::string::npos, err.find("warning: a password on the command line")) << err;
    ASSERT_EQ(0,
              p.Admin({"add-zone", "x.example.net", "--server", "127.0.0.1", "--key", "k:c2VjcmV0"}, &out, "", &err));
    EXPECT_NE(std::string::npos, err.find("warning: a secret on the command line")) << err;
    EXPECT_EQ(2, p.Admin({"add-account", "carol"}, &out, "\n", &err));  // an empty password
}

// The web service speaks IPv4: a caller over IPv4-mapped IPv6 counts as its IPv4 address, and one over
// IPv6 proper, with no address to report, gets a fault and leaves the stored address alone. dyndns2
// serves both families.
TEST(ProviderIpv6, MappedCallerIsIpv4AndPlainIpv6StoresNothing)
{
    CProviderProcess p;
    ASSERT_EQ(0, p.Admin({"seed-demo"}));
    if (!p.Start({"--listen", "::", "--io-timeout", "1"}))
        GTEST_SKIP() << "no IPv6 here";
    CDynamicService service("127.0.0.1", p.Port());
    UpdateResultMap results{{1, 0}};
    ASSERT_EQ(0, service.UpdateDynamic("demo", Digest("demo"), results));
    std::string hosts;
    ASSERT_EQ(0, p.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("demo1.example.net\t127.0.0.1\t")) << hosts;

    const std::string list = "&lt;dynamic&gt;&lt;hostid&gt;1&lt;/hostid&gt;&lt;/dynamic&gt;";
    std::string answer =
        RawExchange(p.Port(),
                    Post(Call("<ns:updateDynamic><username>demo</username><password>" + Digest("demo") +
                              "</password><dynamic-list>" + list + "</dynamic-list></ns:updateDynamic>")),
                    true);
    EXPECT_NE(std::string::npos, answer.find("no IPv4 address known for this caller")) << answer;
    ASSERT_EQ(0, p.Admin({"hosts"}, &hosts));
    EXPECT_NE(std::string::npos, hosts.find("demo1.example.net\t127.0.0.1\t")) << hosts;

    // dyndns2 without an address takes the caller's own for the caller's family: a mapped caller's is
    // IPv4; ::1 is no host's address.
    EXPECT_EQ("good 127.0.0.1\n", BodyOf(Update(p.Port(), "hostname=demo2.example.net")));
    EXPECT_EQ("badagent\n", BodyOf(Update(p.Port(), "hostname=demo2.example.net", "ZGVtbzpkZW1v", true)));
    EXPECT_EQ("good 2001:db8::5\n",
              BodyOf(Update(p.Port(), "hostname=demo2.example.net&myipv6=2001:db8::5", "ZGVtbzpkZW1v", true)));

    // One address of either family with its port; two different ports are refused.
    CProviderProcess v6;
    ASSERT_EQ(0, v6.Admin({"seed-demo"}));
    ASSERT_TRUE(v6.Start({"--listen", "[::1]:0"}));
    EXPECT_EQ("good 2001:db8::6\n",
              BodyOf(Update(v6.Port(), "hostname=demo1.example.net&myip=2001:db8::6", "ZGVtbzpkZW1v", true)));
    EXPECT_EQ("<connect failed>", Update(v6.Port(), "hostname=demo1.example.net"));
    for (const char* bad : {"[::1]:5", "[::1", "::1]:5", "127.0.0.1:"})
        EXPECT_EQ(2, v6.Admin({"serve", "--listen", bad, "--port", "6"})) << bad;
}

}  // namespace
