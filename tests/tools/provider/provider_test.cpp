// The client against a running morvane-provider: address, account and list, updates, administration,
// and hostile input that must be answered without taking the server down.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstring>

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"
#include "tests/tools/provider/provider_process.h"

namespace {

std::string Digest(const char* password)
{
    return CMD5(password).HexDigest();
}

// Sends raw bytes on one connection and returns everything the server answers before it closes.
std::string RawExchange(uint16_t port, const std::string& bytes)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return "<connect failed>";
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;  // the server may stop reading an over-long body
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        char buf[4096];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(s);
    return answer;
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
    void SetUp() override
    {
        ASSERT_EQ(0, m_provider.Admin({"init"}));
        ASSERT_EQ(0, m_provider.Admin({"seed-demo"}));
        ASSERT_EQ(0, m_provider.Admin({"add-account", "other", "secret", "--nick", "\xE7\x8E\x8B\xE4\xBA\x94"}));
        std::string id;
        ASSERT_EQ(0, m_provider.Admin({"add-host", "other", "other.example.net"}, &id));
        m_otherHost = static_cast<uint32_t>(std::stoul(id));
        ASSERT_TRUE(m_provider.Start({"--io-timeout", "1"}));
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
    EXPECT_NE(std::string::npos, history.find("\t" + std::to_string(m_otherHost) + "\tdemo\t203.0.113.9\t0"));
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

TEST(ProviderAdmin, CommandsAndErrors)
{
    CProviderProcess p;
    std::string out;
    EXPECT_EQ(0, p.Admin({"--help"}, &out));
    EXPECT_NE(std::string::npos, out.find("seed-demo"));
    EXPECT_NE(0, p.Admin({"frobnicate"}));
    EXPECT_NE(0, p.Admin({"add-account", "only-name"}));
    EXPECT_NE(0, p.Admin({"add-host", "ghost", "g.example.net"}));  // no such account
    ASSERT_EQ(0, p.Admin({"add-account", "a", "pw", "--email", "a@example.net"}, &out));
    EXPECT_NE(0, p.Admin({"add-account", "a", "pw2"}));  // names are unique
    ASSERT_EQ(0, p.Admin({"seed-demo"}));
    ASSERT_EQ(0, p.Admin({"seed-demo"}));  // idempotent
    ASSERT_EQ(0, p.Admin({"accounts"}, &out));
    EXPECT_NE(std::string::npos, out.find("\ta\t\ta@example.net\t1\t1"));
    EXPECT_NE(std::string::npos, out.find("\tdemo\t"));
    ASSERT_EQ(0, p.Admin({"hosts"}, &out));
    EXPECT_NE(std::string::npos, out.find("demo2.example.net"));

    // Zones: incomplete or malformed settings are refused before anything is stored.
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1"}));
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1:99999", "--key", "k:c2VjcmV0"}));
    EXPECT_NE(0, p.Admin({"add-zone", "example.net", "--server", "127.0.0.1", "--key", "k:hmac-sha3:c2VjcmV0"}));
    EXPECT_NE(0, p.Admin({"add-zone", "bad zone", "--server", "127.0.0.1", "--key", "k:c2VjcmV0"}));
    EXPECT_NE(0, p.Admin({"remove-zone", "example.net"}));
    ASSERT_EQ(0, p.Admin({"zones"}, &out));
    EXPECT_EQ("", out);
    ASSERT_EQ(0, p.Admin({"add-zone", "Example.NET.", "--server", "[::1]:5353", "--key", "k:hmac-sha512:c2VjcmV0"}));
    ASSERT_EQ(0, p.Admin({"zones"}, &out));
    EXPECT_EQ("example.net\t[::1]:5353\tk\thmac-sha512\tc2Vj...\t60\n", out);
    EXPECT_EQ(0, p.Admin({"remove-zone", "example.net"}));
}

}  // namespace
