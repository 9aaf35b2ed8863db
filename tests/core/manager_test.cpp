// The manager and its channel against the real provider, with a stand-in router and a driven tick.

#include <grp.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <random>

#include "core/provider/config.h"
#include "core/udp_intake.h"
#include "shared/packet/status_records.h"
#include "shared/base/files.h"
#include "shared/xml/data_files.h"
#include "shared/xml/xml_document.h"
#include "tests/core/service_fixture.h"
#include "tests/core/webservice/raw_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_standin.h"

namespace {

std::atomic<uint32_t> g_tick{1000};

class ManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        setenv("MORVANE_UDP_CHANNEL", "1", 1);  // the tests below speak UDP unless they say otherwise
        m_dir = m_tmp.Path();
        ASSERT_EQ(m_provider.Admin({"init"}), 0);
        ASSERT_EQ(m_provider.Admin({"seed-demo"}), 0);
        ASSERT_EQ(m_provider.Admin({"set-address", "203.0.113.7", "--nettype", "2", "--location", "test"}), 0);
        ASSERT_TRUE(m_provider.Start());
        g_tick = 1000;
        CCountingService::addressCalls = 0;
        CCountingService::listCalls = 0;
        CCountingService::updateCalls = 0;
        CCountingService::failUpdates = false;
        CCountingService::detour = 0;
    }
    void TearDown() override
    {
        m_local.reset();
        m_manager.reset();
        m_tmp.Remove();
        unsetenv("MORVANE_UDP_CHANNEL");
    }

    // With `fromEnvironment` the provider's endpoint comes from MORVANE_PROVIDER as in a real start.
    void Start(uint16_t firstPort = kServiceFirstPort, bool fromEnvironment = false)
    {
        ManagerOptions o;
        o.hookTimeoutMs = 500;
        o.programDir = m_dir;
        if (!fromEnvironment) {
            o.providerHost = "127.0.0.1";
            o.providerPort = m_provider.Port();
        }
        o.tick = [] { return g_tick.load(); };
        o.nat = &m_nat;
        o.superviseUpdater = false;
        o.firstChannelPort = firstPort;
        o.makeService = [](const std::string& host, uint16_t port) -> std::unique_ptr<CDynamicService> {
            return std::make_unique<CCountingService>(host, port);
        };
        m_manager = std::make_unique<CMorvaneManger>(o);
        ASSERT_TRUE(m_manager->StartManager());
    }
    uint16_t Port() const { return m_manager->ChannelPort(); }
    // The raw client requests go out on: the local socket's once connected.
    CRawClient& Client() { return m_local ? *m_local : m_client; }
    void ConnectLocal() { m_local = std::make_unique<CRawClient>(m_manager->ChannelPath()); }

    // Logs the raw client in as demo; returns the login reply.
    std::vector<uint8_t> Login(const char* digest = kDemoDigest)
    {
        Client().Send(Port(), CMD_LOGIN, [&](OutPacket& out) {
            out.WriteString(std::string_view("demo"));
            out.WriteString(std::string_view(digest));
        });
        auto reply = Client().ReceiveCommand(0, 10000);
        EXPECT_TRUE(reply.has_value());
        return reply.value_or(std::vector<uint8_t>{});
    }
    void SetHosts(const std::vector<std::pair<uint32_t, uint8_t>>& pairs)
    {
        Client().Send(Port(), CMD_SET_DOMAIN_STATE, [&](OutPacket& out) {
            out.WriteU16Host(static_cast<uint16_t>(pairs.size()));
            for (auto [id, v] : pairs) {
                out.WriteU32Host(id);
                out.WriteU8(v);
            }
        });
    }
    // Reply 10 to a fresh request: every domain's state, by host id.
    std::map<uint32_t, HostStatus> Status()
    {
        while (Client().Receive(0))  // notifications sent before: older states
            ;
        Client().Send(Port(), CMD_DOMAIN_STATUS);
        auto reply = Client().ReceiveCommand(CMD_DOMAIN_STATUS);
        EXPECT_TRUE(reply.has_value());
        UdpInPacket in;
        CRawClient::Parse(reply.value_or(std::vector<uint8_t>(20)), in);
        std::map<uint32_t, HostStatus> byId;
        for (HostStatus& s : ReadHostStatusList(in))
            byId[s.hostid] = s;
        return byId;
    }
    // Moves the tick and lets the worker look at it.
    void Advance(uint32_t ms)
    {
        g_tick += ms;
        m_manager->Wake();
    }
    std::string History()
    {
        std::string out;
        m_provider.Admin({"history"}, &out);
        return out;
    }
    // How many updates of `hostid` the provider recorded.
    int Pushes(uint32_t hostid)
    {
        std::string history = History(), key = "\t" + std::to_string(hostid) + "\tdemo\t";
        int n = 0;
        for (size_t at = history.find(key); at != std::string::npos; at = history.find(key, at + 1))
            ++n;
        return n;
    }

    CTempDir m_tmp{"morvane-manager"};
    std::string m_dir;
    CProviderProcess m_provider;
    CTestNat m_nat;
    CRawClient m_client;
    std::unique_ptr<CRawClient> m_local;
    std::unique_ptr<CMorvaneManger> m_manager;
};

}  // namespace

TEST_F(ManagerTest, BindsFirstFreePortAndPublishesIt)
{
    int taken[2];
    for (int i = 0; i < 2; ++i) {
        taken[i] = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(10000 + i));
        ASSERT_EQ(bind(taken[i], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    Start();
    EXPECT_EQ(Port(), 10002);
    EXPECT_EQ(datafile::ReadPort(m_dir + "/user.xml"), 10002);
    close(taken[0]);
    close(taken[1]);
}

TEST_F(ManagerTest, WithoutAccountNoProviderCallsButRequestsAreServed)
{
    Start();
    SetHosts({{7, 0}, {9, 0}});  // switching hosts off needs no provider call
    auto reply = m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE, 1000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->size(), 20u + 1 + 2 + 2 * 5);
    EXPECT_EQ((*reply)[20], 1);  // ok
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(CCountingService::addressCalls, 0);
    EXPECT_EQ(CCountingService::listCalls, 0);
    EXPECT_FALSE(m_manager->LoggedIn());
}

TEST_F(ManagerTest, LogsInWithTheRememberedAccount)
{
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "demo", kDemoDigest));
    Start();
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::listCalls > 0; }));
    // domain.xml then holds exactly the account's hosts, all switched off.
    ASSERT_TRUE(WaitUntil(
        [&] { return datafile::ReadSwitch(m_dir + "/domain.xml", 3) == 0 && files::Exists(m_dir + "/domain.xml"); }));
}

TEST_F(ManagerTest, FailingProviderIsRetriedWithGrowingDelay)
{
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "demo", "wrong-digest"));
    Start();
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::listCalls == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(CCountingService::listCalls, 1);  // no tight loop
    Advance(4999);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CCountingService::listCalls, 1);
    Advance(2);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::listCalls == 2; }));
    Advance(9000);  // the second delay is 10 s
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CCountingService::listCalls, 2);
    Advance(1001);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::listCalls == 3; }));
}

TEST_F(ManagerTest, LoginRepliesWithDomainsNetInfoAndPorts)
{
    ASSERT_TRUE(datafile::SetMapping(m_dir + "/mapport.xml", 8080, 0, 0, 0));
    Start();
    ::testing::internal::CaptureStderr();
    std::vector<uint8_t> reply = Login();
    UdpInPacket in;
    CRawClient::Parse(reply, in);
    ASSERT_EQ(in.ReadU8(), 1);
    std::vector<DomainRecord> domains = ReadDomainList(in);
    ASSERT_EQ(domains.size(), 3u);
    EXPECT_EQ(domains[0].domain, "demo1.example.net");
    EXPECT_EQ(in.Remaining(), 0);  // the count matches the records carried

    auto net = m_client.ReceiveCommand(CMD_NET_INFO);
    ASSERT_TRUE(net.has_value());
    EXPECT_EQ(net->size(), 20u + 4 + 4 + 2 + 5);  // "test" + 0 byte
    EXPECT_EQ((std::vector<uint8_t>(net->begin() + 20, net->begin() + 24)), (std::vector<uint8_t>{203, 0, 113, 7}));
    auto ports = m_client.ReceiveCommand(CMD_PORT_LIST);
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(ports->size(), 20u + 1 + 2 + 5);
    EXPECT_EQ((std::vector<uint8_t>(ports->begin() + 23, ports->end())), (std::vector<uint8_t>{0x1F, 0x90, 0, 0, 0}));

    // A failed login later keeps the list for the address updates. Its reply is the 21 bytes of
    // old and one more, the reason: refused, unreachable, answer unreadable.
    std::vector<uint8_t> failed = Login("0123456789abcdef0123456789abcdef");
    ASSERT_EQ(failed.size(), 22u);
    EXPECT_EQ(failed[20], 0);
    EXPECT_EQ(failed[21], 1);
    CCountingService::detour = ClosedPort();
    failed = Login();
    ASSERT_EQ(failed.size(), 22u);
    EXPECT_EQ(failed[21], 2);
    CRawServer junk;
    junk.SetHttpOk(CRawServer::Envelope("<ns:getDynamicIPResponse><result>junk</result></ns:getDynamicIPResponse>"));
    CCountingService::detour = junk.Port();
    failed = Login();
    ASSERT_EQ(failed.size(), 22u);
    EXPECT_EQ(failed[21], 3);
    m_manager->RequestStop();
    ASSERT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(5000)));
    EXPECT_EQ(m_manager->Domains().size(), 3u);
    EXPECT_TRUE(m_manager->LoggedIn());

    // The journal has one line with a level for each, and never a digest.
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("<6>logged in as 'demo': 3 domains, public address 203.0.113.7\n"), std::string::npos) << log;
    EXPECT_NE(
        log.find("<4>login as 'demo' failed: refused by the provider (SOAP fault: invalid user name or password)"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("<4>login as 'demo' failed: provider unreachable or not answering (connect failed"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("<4>login as 'demo' failed: the provider's answer could not be read"), std::string::npos) << log;
    EXPECT_EQ(log.find(kDemoDigest), std::string::npos);
    EXPECT_EQ(log.find("0123456789abcdef"), std::string::npos);
}

TEST_F(ManagerTest, ProviderOverHttpsFromTheEnvironment)
{
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    m_provider.Stop();
    ASSERT_TRUE(m_provider.Start(tls.Serve("good")));
    setenv("MORVANE_PROVIDER", ("https://localhost:" + std::to_string(m_provider.Port())).c_str(), 1);
    setenv("MORVANE_PROVIDER_CA", tls.Path("ca.pem").c_str(), 1);
    Start(kServiceFirstPort, true);
    unsetenv("MORVANE_PROVIDER");
    unsetenv("MORVANE_PROVIDER_CA");
    std::vector<uint8_t> reply = Login();
    UdpInPacket in;
    CRawClient::Parse(reply, in);
    ASSERT_EQ(in.ReadU8(), 1);
    EXPECT_EQ(ReadDomainList(in).size(), 3u);
}

TEST_F(ManagerTest, DomainSwitches)
{
    Start();
    Login();
    // n = 0: no reply at all.
    SetHosts({});
    EXPECT_FALSE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE, 300).has_value());

    // Only switching off: reply without a provider call; a repeated host keeps its first value. Both
    // hosts are off already: domain.xml is not rewritten.
    struct stat before {};
    ASSERT_EQ(stat((m_dir + "/domain.xml").c_str(), &before), 0);
    int updates = CCountingService::updateCalls;
    SetHosts({{2, 0}, {2, 1}, {3, 0}});
    auto off = m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE);
    ASSERT_TRUE(off.has_value());
    EXPECT_EQ(*off, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0,
                                          0, 0, 0, 1, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 3, 0}));
    EXPECT_EQ(CCountingService::updateCalls, updates);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 2), 0);
    struct stat after {};
    ASSERT_EQ(stat((m_dir + "/domain.xml").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    // Someone else's change to the file is seen: the same request then has something to save.
    ASSERT_TRUE(datafile::SetSwitch(m_dir + "/domain.xml", 2, 1));
    SetHosts({{2, 0}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 2), 0);

    // Switching on pushes the current address for the listed hosts and returns the provider's results.
    ::testing::internal::CaptureStderr();
    SetHosts({{1, 1}, {3, 0}});
    auto on = m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("<6>pushed 203.0.113.7: demo1.example.net (result 1)\n"),
              std::string::npos);
    ASSERT_TRUE(on.has_value());
    ASSERT_EQ(on->size(), 33u);
    EXPECT_EQ((*on)[20], 1);
    EXPECT_EQ((*on)[27], 1);  // host 1: updated
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 1), 1);
    EXPECT_NE(History().find("203.0.113.7"), std::string::npos);
    // Switching it on again pushes again (the user asked) but saves nothing.
    ASSERT_EQ(stat((m_dir + "/domain.xml").c_str(), &before), 0);
    SetHosts({{1, 1}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    ASSERT_EQ(stat((m_dir + "/domain.xml").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);

    // Switching a host off takes effect for the next address check at once.
    m_manager->RequestStop();
    ASSERT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(5000)));
    ASSERT_EQ(m_manager->Domains().size(), 3u);
    EXPECT_EQ(m_manager->Domains()[0].enabled, 1);
    EXPECT_EQ(m_manager->Domains()[2].enabled, 0);
}

TEST_F(ManagerTest, RefreshAndNotificationTarget)
{
    Start();
    Login();
    // The refresh brings the current address too.
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.9"}), 0);
    while (m_client.Receive(200)) {
    }
    m_client.Send(Port(), CMD_REFRESH_DOMAINS);
    auto list = m_client.Receive();
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ((*list)[15], CMD_REFRESH_DOMAINS);
    EXPECT_EQ((*list)[20], 1);
    EXPECT_EQ(((*list)[21] << 8) | (*list)[22], 3);
    auto address = m_client.Receive();
    ASSERT_TRUE(address.has_value());
    EXPECT_EQ(((*address)[14] << 8) | (*address)[15], CMD_NET_INFO);
    EXPECT_EQ((std::vector<uint8_t>(address->begin() + 20, address->begin() + 24)),
              (std::vector<uint8_t>{198, 51, 100, 9}));

    // Command 3 or 5 from another socket is not answered but takes the notifications.
    SetHosts({{1, 1}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    CRawClient other;
    other.Send(Port(), CMD_IP_CHANGED);
    EXPECT_FALSE(other.Receive(300).has_value());
    ASSERT_EQ(m_provider.Admin({"set-address", "203.0.113.7"}), 0);
    Advance(200000);
    auto changed = other.ReceiveCommand(CMD_IP_CHANGED);
    ASSERT_TRUE(changed.has_value());
    EXPECT_EQ(changed->size(), 24u);
    auto net = other.ReceiveCommand(CMD_NET_INFO);
    ASSERT_TRUE(net.has_value());
    EXPECT_FALSE(m_client.ReceiveCommand(CMD_IP_CHANGED, 300).has_value());
}

TEST_F(ManagerTest, AddressChecks)
{
    ASSERT_TRUE(datafile::SetMapping(m_dir + "/mapport.xml", 8080, 1, 0, 1));
    Start();
    Login();
    SetHosts({{1, 1}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());

    // The switch-on pushed the address: the first check neither pushes nor announces it again.
    int restores = m_nat.discoveries;
    int updates = CCountingService::updateCalls;
    int checks = CCountingService::addressCalls;
    Advance(200000);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 1; }));
    EXPECT_FALSE(m_client.ReceiveCommand(CMD_IP_CHANGED, 300).has_value());
    EXPECT_EQ(CCountingService::updateCalls, updates);
    EXPECT_EQ(Pushes(1), 1);

    // A new address: pushed once, announced, mappings re-applied.
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.9"}), 0);
    Advance(120001);
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_IP_CHANGED).has_value());
    EXPECT_EQ(CCountingService::updateCalls, updates + 1);
    ASSERT_TRUE(WaitUntil([&] { return m_nat.discoveries == restores + 1; }));  // mappings re-applied

    // Not yet due: nothing happens.
    checks = CCountingService::addressCalls;
    Advance(100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CCountingService::addressCalls, checks);

    // Back to the pushed address before the next check: not pushed again, no mapping refresh.
    ASSERT_EQ(m_provider.Admin({"set-address", "203.0.113.7"}), 0);
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.9"}), 0);
    Advance(20001);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CCountingService::updateCalls, updates + 1);
    EXPECT_EQ(m_nat.discoveries, restores + 1);

    // A new address with updates failing: retried at every check, mappings re-applied each time.
    CCountingService::failUpdates = true;
    ASSERT_EQ(m_provider.Admin({"set-address", "203.0.113.7"}), 0);
    for (int i = 1; i <= 2; ++i) {
        Advance(120001);
        ASSERT_TRUE(WaitUntil([&] { return m_nat.discoveries == restores + 1 + i; }));
        EXPECT_EQ(CCountingService::updateCalls, updates + 1 + i);
    }
    EXPECT_FALSE(m_client.ReceiveCommand(CMD_IP_CHANGED, 200).has_value());
    CCountingService::failUpdates = false;
    Advance(120001);
    auto pushed = m_client.ReceiveCommand(CMD_IP_CHANGED);
    ASSERT_TRUE(pushed.has_value());
    EXPECT_EQ((std::vector<uint8_t>(pushed->begin() + 20, pushed->end())), (std::vector<uint8_t>{203, 0, 113, 7}));
    EXPECT_EQ(Pushes(1), 3);

    // The router went away: mapping anew after the next change finds the mapping lost, and says so.
    m_nat.noRouter = true;
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.10"}), 0);
    Advance(120001);
    auto lost = m_client.ReceiveCommand(CMD_PORT_LIST);
    ASSERT_TRUE(lost.has_value());
    UdpInPacket in;
    CRawClient::Parse(*lost, in);
    ASSERT_EQ(in.ReadU8(), 1);
    EXPECT_EQ(ReadPortList(in), (std::vector<PortMapEntry>{{8080, 0, 0, 1}}));
}

TEST_F(ManagerTest, ProviderTroubleNeverLosesASwitch)
{
    Start();
    Login();
    SetHosts({{1, 1}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());

    // An answer that is a valid envelope around junk: the refresh fails and every switch stays.
    CRawServer junk;
    junk.SetHttpOk(
        CRawServer::Envelope("<ns:getDynamicResponse><result>&lt;junk/&gt;</result></ns:getDynamicResponse>"));
    CCountingService::detour = junk.Port();
    m_client.Send(Port(), CMD_REFRESH_DOMAINS);
    auto list = m_client.ReceiveCommand(CMD_REFRESH_DOMAINS);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(list->size(), 21u);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 1), 1);

    // Switched on while the provider is down: stored, answered as failed, and pushed at the first
    // check after the provider is back; never pushed twice.
    CCountingService::detour = ClosedPort();
    SetHosts({{2, 1}});
    auto failed = m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ((*failed)[20], 0);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 2), 1);
    // Stored on, and said so: on but failing with the reason, never off; host 1 holds the address.
    auto status = Status();
    EXPECT_EQ(status[2].state, kHostFailing);
    EXPECT_NE(status[2].reason.find("unreachable"), std::string::npos) << status[2].reason;
    EXPECT_EQ(status[1].state, kHostCurrent);
    EXPECT_EQ(status[1].ipv4, 0xCB007107u);
    EXPECT_NE(status[1].updatedAt, 0u);
    EXPECT_EQ(status[3].state, kHostOff);
    int checks = CCountingService::addressCalls;
    Advance(200000);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 1; }));
    CCountingService::detour = 0;
    Advance(120001);
    ASSERT_TRUE(WaitUntil([&] { return Pushes(2) == 1; }));
    status = Status();
    EXPECT_EQ(status[2].state, kHostCurrent);
    EXPECT_EQ(status[2].reason, "");
    Advance(120001);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Pushes(2), 1);
    EXPECT_EQ(Pushes(1), 1);
    m_manager->RequestStop();
    ASSERT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(5000)));
    ASSERT_EQ(m_manager->Domains().size(), 3u);
    EXPECT_EQ(m_manager->Domains()[0].enabled, 1);
    EXPECT_EQ(m_manager->Domains()[1].enabled, 1);
}

TEST_F(ManagerTest, ChecksGoOnAcrossTheTickWrap)
{
    g_tick = 0xFFFFFFFFu - 60000;
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "demo", kDemoDigest));
    Start();
    // Logged in and checked at once: the last check stamp starts at 0.
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls >= 2; }));
    int checks = CCountingService::addressCalls;
    Advance(120001);  // crosses 2^32
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 1; }));
    Advance(120001);
    ASSERT_TRUE(WaitUntil([&] { return CCountingService::addressCalls == checks + 2; }));
}

TEST_F(ManagerTest, PortRequests)
{
    m_nat.failPort = 8081;
    Start();
    Login();
    const std::string mapport = m_dir + "/mapport.xml";
    m_client.Send(Port(), CMD_MAP_PORTS, [](OutPacket& out) {
        WritePortList(out, {PortMapEntry{8080, 1, 0, 1}, PortMapEntry{8081, 1, 0, 1}, PortMapEntry{53, 1, 1, 0}});
    });
    auto reply = m_client.ReceiveCommand(CMD_MAP_PORTS, 10000);
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 20u + 1 + 2 + 15 + 3);
    EXPECT_EQ((*reply)[20], 0);                      // one failed: all reported as failed
    EXPECT_EQ((*reply)[38], 2);                      // refused by the router...
    EXPECT_EQ((*reply)[39] << 8 | (*reply)[40], 2);  // ...with its code
    std::vector<PortMapEntry> stored;
    ASSERT_TRUE(datafile::ReadAllMappings(mapport, stored));
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0], (PortMapEntry{8080, 1, 0, 1}));
    EXPECT_EQ(stored[1], (PortMapEntry{53, 1, 1, 0}));

    m_nat.noRouter = true;
    m_client.Send(Port(), CMD_MAP_PORTS, [](OutPacket& out) { WritePortList(out, {PortMapEntry{8082, 1, 0, 1}}); });
    auto lost = m_client.ReceiveCommand(CMD_MAP_PORTS, 10000);
    ASSERT_TRUE(lost.has_value());
    ASSERT_EQ(lost->size(), 20u + 1 + 2 + 5 + 3);
    EXPECT_EQ((*lost)[28], 1);  // no gateway found
    m_nat.noRouter = false;

    // Store, store with allow forced off, remove: file only, no answer.
    int mapped = m_nat.mappings;
    m_client.Send(Port(), CMD_STORE_PORTS_BASIC, [](OutPacket& out) {
        WritePortList(out, {PortMapEntry{9000, 1, 0, 1}});
    });
    m_client.Send(Port(), CMD_STORE_PORTS, [](OutPacket& out) { WritePortList(out, {PortMapEntry{9001, 0, 1, 1}}); });
    m_client.Send(Port(), CMD_REMOVE_PORTS, [](OutPacket& out) { WritePortList(out, {PortMapEntry{8080, 0, 0, 0}}); });
    EXPECT_FALSE(m_client.Receive(300).has_value());
    stored.clear();
    ASSERT_TRUE(WaitUntil([&] {
        stored.clear();
        return datafile::ReadAllMappings(mapport, stored) && stored.size() == 3 && stored[0].port == 53;
    }));
    EXPECT_EQ(stored[1], (PortMapEntry{9000, 1, 0, 0}));
    EXPECT_EQ(stored[2], (PortMapEntry{9001, 0, 1, 1}));
    EXPECT_EQ(m_nat.mappings, mapped);

    // 300 entries in one request cost one save, and the list stops at its limit.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, m_dir.c_str(), IN_MOVED_TO), 0);
    m_client.Send(Port(), CMD_STORE_PORTS, [](OutPacket& out) {
        std::vector<PortMapEntry> many;
        for (int i = 0; i < 300; ++i)
            many.push_back(PortMapEntry{static_cast<uint16_t>(20000 + i), 0, 0, 1});
        WritePortList(out, many);
    });
    ASSERT_TRUE(WaitUntil([&] {
        stored.clear();
        return datafile::ReadAllMappings(mapport, stored) && stored.size() == datafile::kMaxMappings;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int saves = 0;
    alignas(inotify_event) char events[8192];
    for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
        for (char* p = events; p < events + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
            saves += std::string(reinterpret_cast<inotify_event*>(p)->name) == "mapport.xml";
    close(watch);
    EXPECT_EQ(saves, 1);

    // A count far beyond what the datagram carries is not worked through entry by entry.
    m_client.Send(Port(), CMD_MAP_PORTS, [](OutPacket& out) { out.WriteU16Host(65535); });
    auto big = m_client.ReceiveCommand(CMD_MAP_PORTS, 20000);
    ASSERT_TRUE(big.has_value());
    EXPECT_LE(big->size(), 1536u);
}

TEST_F(ManagerTest, RestoreDiscoversOnceAndRequestsWaitOneMappingAtMost)
{
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(datafile::SetMapping(m_dir + "/mapport.xml", static_cast<uint16_t>(8000 + i), 0, 0, 1));
    m_nat.delayMs = 300;
    Start();
    auto sent = std::chrono::steady_clock::now();
    SetHosts({{7, 0}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE, 2000).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1000));
    EXPECT_LT(m_nat.mappings, 10);  // answered in the middle of the restore
    ASSERT_TRUE(WaitUntil([&] { return !m_manager->Restoring(); }, std::chrono::milliseconds(10000)));
    EXPECT_EQ(m_nat.discoveries, 1);
    std::vector<PortMapEntry> stored;
    ASSERT_TRUE(datafile::ReadAllMappings(m_dir + "/mapport.xml", stored));
    ASSERT_EQ(stored.size(), 10u);
    for (const PortMapEntry& e : stored)
        EXPECT_EQ(e.op, 1) << e.port;
}

TEST_F(ManagerTest, SurvivesGarbageAndKeepsFilesIntact)
{
    Start();
    Login();
    std::mt19937 random(42);
    std::vector<uint8_t> bytes;
    static const uint16_t kWorkCommands[] = {
        CMD_LOGIN, CMD_STORE_PORTS, CMD_REMOVE_PORTS, CMD_STORE_PORTS_BASIC, CMD_STORE_PORTS_ALT, CMD_SET_DOMAIN_STATE};
    for (int i = 0; i < 100000; ++i) {
        bytes.resize(random() % 48);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random());
        if (i % 400 == 0 && bytes.size() >= 20) {
            // Now and then a real header with a request that does work, truncated, with a wild count.
            uint16_t c = kWorkCommands[random() % 6];
            bytes[14] = static_cast<uint8_t>(c >> 8);
            bytes[15] = static_cast<uint8_t>(c);
        }
        m_client.SendRaw(bytes.data(), bytes.size(), Port());
        if (i % 200 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // let the receive buffer drain
    }
    while (m_client.Receive(200)) {
    }
    // Still answering, and every file still parses. The truncated store requests can leave a few hundred
    // ports to map first, which takes the worker tens of seconds on a loaded machine.
    SetHosts({{2, 0}});
    EXPECT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE, 60000).has_value());
    for (const char* name : {"/user.xml", "/domain.xml", "/mapport.xml"}) {
        if (!files::Exists(m_dir + name))
            continue;
        CXmlDocument doc;
        EXPECT_TRUE(doc.LoadFile(m_dir + name)) << name << "\n" << doc.ResultNotes();
    }
}

TEST_F(ManagerTest, AddressHookRunsAfterAPushAndIsBounded)
{
    const std::string out = m_dir + "/hook.out";
    const std::string hook = m_dir + "/on-address-change";
    {
        FILE* f = std::fopen(hook.c_str(), "w");
        std::fprintf(f, "#!/bin/sh\necho \"$MORVANE_ADDRESS|$MORVANE_HOSTIDS|$$\" >> '%s'\nexec sleep 60\n",
                     out.c_str());
        std::fclose(f);
        chmod(hook.c_str(), 0755);
    }
    Start();
    Login();
    SetHosts({{3, 1}, {1, 1}, {2, 0}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    std::string text;
    ASSERT_TRUE(WaitUntil([&] { return files::ReadAll(out, text) && !text.empty(); }));
    EXPECT_EQ(text.substr(0, text.rfind('|')), "203.0.113.7|1 3");
    // The service answers while the hook runs; the hook is ended after its time-out.
    SetHosts({{2, 0}});
    EXPECT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE, 400).has_value());
    pid_t pid = std::atoi(text.substr(text.rfind('|') + 1).c_str());
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(WaitUntil([&] { return kill(pid, 0) != 0; }, std::chrono::seconds(3)));
}

// A datagram from a socket of `uid`, sent from a child process running as that user: how many of
// the service's datagrams came back within half a second. With `path`, over a connection to the
// local socket there (101: it could not connect).
int AnswersTo(uid_t uid, gid_t gid, const std::function<void(CRawClient&)>& send, const std::string& path = "")
{
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(100);
        std::unique_ptr<CRawClient> made =
            path.empty() ? std::make_unique<CRawClient>() : std::make_unique<CRawClient>(path);
        CRawClient& client = *made;
        if (!client.Connected())
            _exit(101);
        send(client);
        int answers = 0;
        while (client.Receive(500))
            ++answers;
        _exit(answers);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST_F(ManagerTest, ChannelServesOnlyRootTheServiceUserAndTheDataDirectorysGroup)
{
    Start();
    Login();
    SetHosts({{1, 1}});
    ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    const uint16_t port = Port();
    // nobody (65534) is not in the directory's group (root's): no answer, no change, no notifications.
    EXPECT_EQ(AnswersTo(65534, 65534,
                        [&](CRawClient& c) {
                            c.Send(port, CMD_REFRESH_DOMAINS);
                            c.Send(port, CMD_SET_DOMAIN_STATE, [](OutPacket& out) {
                                out.WriteU16Host(1);
                                out.WriteU32Host(1);
                                out.WriteU8(0);
                            });
                            c.Send(port, CMD_IP_CHANGED);
                        }),
              0);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 1), 1);
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.9"}), 0);
    Advance(200000);
    EXPECT_TRUE(m_client.ReceiveCommand(CMD_IP_CHANGED).has_value()) << "an outsider took the notifications";

    // daemon (1) is a member once the directory belongs to its group.
    ASSERT_EQ(chown(m_dir.c_str(), 0, 1), 0);
    EXPECT_GE(AnswersTo(1, 1, [&](CRawClient& c) { c.Send(port, CMD_REFRESH_DOMAINS); }), 1);
}

// While the local provider is stopped anybody may listen on its port. nobody (65534) does: the login
// fails as unreachable, the journal names the uid, and not one byte reaches the listener.
TEST_F(ManagerTest, OutsiderOnTheLoopbackProviderPortNeverGetsTheDigest)
{
    int ready[2], stop[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(stop), 0);
    pid_t child = fork();
    if (child == 0) {
        close(stop[1]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 8) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
            write(ready[1], &a.sin_port, sizeof a.sin_port) != sizeof a.sin_port)
            _exit(100);
        int received = 0;
        for (;;) {
            pollfd pfd[2] = {{listener, POLLIN, 0}, {stop[0], POLLIN, 0}};
            if (poll(pfd, 2, 10000) <= 0 || pfd[1].revents)
                _exit(received > 99 ? 99 : received);
            int c = accept(listener, nullptr, nullptr);
            char buf[4096];
            ssize_t n;
            pollfd in{c, POLLIN, 0};
            while (poll(&in, 1, 500) > 0 && (n = read(c, buf, sizeof buf)) > 0)
                received += static_cast<int>(n);
            close(c);
        }
    }
    close(ready[1]);
    close(stop[0]);
    uint16_t port = 0;
    ASSERT_EQ(read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    Start();
    CCountingService::detour = ntohs(port);
    ::testing::internal::CaptureStderr();
    std::vector<uint8_t> failed = Login();
    std::string log = ::testing::internal::GetCapturedStderr();
    close(stop[1]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(failed.size(), 22u);
    EXPECT_EQ(failed[20], 0);
    EXPECT_EQ(failed[21], 2);
    EXPECT_NE(log.find("belongs to uid 65534"), std::string::npos) << log;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "bytes received by the outsider: " << status;
    close(ready[0]);
}

// The late-credit race: an outsider's requests wait while the worker is busy with a slow provider;
// the outsider leaves and a member takes its port (UDP) or connects (local socket) before the worker
// gets to them. On neither channel does the outsider's change happen as the member's.
TEST_F(ManagerTest, AQueuedRequestKeepsItsSendersCredentials)
{
    for (bool udp : {true, false}) {
        SCOPED_TRACE(udp ? "UDP" : "local socket");
        if (!udp)
            unsetenv("MORVANE_UDP_CHANNEL");
        Start();
        const std::string path = udp ? "" : m_manager->ChannelPath();
        if (!udp) {
            ConnectLocal();
            // File modes let the outsider in: the kernel's word on who connected must decide.
            ASSERT_EQ(chmod(m_dir.c_str(), 0711), 0);
            ASSERT_EQ(chmod(path.c_str(), 0666), 0);
        }
        Login();
        SetHosts({{1, 1}});
        ASSERT_TRUE(Client().ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
        CRawServer slow;  // seconds for every answer
        slow.SetReply("junk", CRawServer::Mode::Drip);
        CCountingService::detour = slow.Port();
        Client().Send(Port(), CMD_REFRESH_DOMAINS);
        ASSERT_TRUE(WaitUntil([&] { return !slow.Requests().empty(); }));

        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const uint16_t port = Port();
        pid_t outsider = fork();
        if (outsider == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(100);
            auto c = udp ? std::make_unique<CRawClient>() : std::make_unique<CRawClient>(path);
            c->Send(port, CMD_STORE_PORTS, [](OutPacket& out) { WritePortList(out, {PortMapEntry{4444, 0, 0, 1}}); });
            c->Send(port, CMD_SET_DOMAIN_STATE, [](OutPacket& out) {
                out.WriteU16Host(1);
                out.WriteU32Host(1);
                out.WriteU8(0);
            });
            uint16_t mine = c->LocalPort();
            _exit(c->Connected() && write(pipeFds[1], &mine, sizeof mine) == sizeof mine ? 0 : 101);
        }
        int status = 0;
        ASSERT_EQ(waitpid(outsider, &status, 0), outsider);
        ASSERT_EQ(WEXITSTATUS(status), 0);
        uint16_t left = 0;
        ASSERT_EQ(read(pipeFds[0], &left, sizeof left), static_cast<ssize_t>(sizeof left));
        close(pipeFds[0]);
        close(pipeFds[1]);
        // A member's client starts a moment later, after the UDP channel's time to ask who sent.
        std::this_thread::sleep_for(std::chrono::milliseconds(kMaxOwnerDelayMs + 200));
        auto heir = udp ? std::make_unique<CRawClient>(left) : std::make_unique<CRawClient>(path);
        ASSERT_TRUE(heir->Connected() && (!udp || heir->LocalPort() == left));

        ASSERT_TRUE(Client().ReceiveCommand(CMD_REFRESH_DOMAINS, 20000).has_value());
        CCountingService::detour = 0;
        SetHosts({{2, 0}});  // answered after whatever came before it
        ASSERT_TRUE(Client().ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
        std::vector<PortMapEntry> stored;
        datafile::ReadAllMappings(m_dir + "/mapport.xml", stored);
        EXPECT_TRUE(stored.empty()) << "the outsider's port was stored";
        EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 1), 1) << "the outsider switched a host off";
        EXPECT_FALSE(heir->Receive(300).has_value()) << "an answer to the outsider reached the member";
    }
}

// The local socket: the kernel's word on who connected decides; every connected client hears the
// notifications; clients that have gone, do not read, or come too many cost the service nothing.
TEST_F(ManagerTest, LocalSocketServesMembersAndTellsEveryClient)
{
    unsetenv("MORVANE_UDP_CHANNEL");
    ASSERT_EQ(chmod(m_dir.c_str(), 0711), 0);
    Start();
    const std::string path = m_manager->ChannelPath();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    EXPECT_EQ(Port(), 0);
    ConnectLocal();
    ::testing::internal::CaptureStderr();
    Login();
    SetHosts({{1, 1}});
    ASSERT_TRUE(Client().ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    auto switchHost = [](uint32_t host, uint8_t on) {
        return [host, on](CRawClient& c) {
            c.Send(0, CMD_SET_DOMAIN_STATE, [&](OutPacket& out) {
                out.WriteU16Host(1);
                out.WriteU32Host(host);
                out.WriteU8(on);
            });
        };
    };
    // nobody, let through by the file mode, is turned away at accept.
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    EXPECT_EQ(AnswersTo(65534, 65534, switchHost(1, 0), path), 0);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 1), 1);
    // daemon is a member once the data directory is its group's.
    ASSERT_EQ(chown(m_dir.c_str(), 0, 1), 0);
    EXPECT_EQ(AnswersTo(1, 1, switchHost(2, 1), path), 1);

    CRawClient watcher(path), deaf(path);
    auto gone = std::make_unique<CRawClient>(path);
    gone.reset();
    for (int i = 0; i < 300; ++i)  // and never reads the answers
        switchHost(3, 0)(deaf);
    std::vector<std::unique_ptr<CRawClient>> crowd;
    for (size_t i = 0; i < kMaxChannelConnections; ++i)
        crowd.push_back(std::make_unique<CRawClient>(path));
    // provider.conf rewritten by daemon (as `provider set` run by that user would): the service says
    // who when it takes the change up.
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/provider.conf", "kind=web-service\n", 0660));
    ASSERT_EQ(chown((m_dir + "/provider.conf").c_str(), 1, 1), 0);
    ASSERT_EQ(m_provider.Admin({"set-address", "198.51.100.9"}), 0);
    Advance(200000);
    EXPECT_TRUE(watcher.ReceiveCommand(CMD_IP_CHANGED).has_value());
    EXPECT_TRUE(Client().ReceiveCommand(CMD_IP_CHANGED).has_value());
    EXPECT_FALSE(crowd.back()->ReceiveCommand(CMD_IP_CHANGED, 300).has_value());
    EXPECT_TRUE(crowd.back()->Closed()) << "more clients than the bound were kept";
    EXPECT_TRUE(WaitUntil([&] { return deaf.HungUp(); }));
    int answers = 0;
    while (deaf.Receive(100))
        ++answers;
    EXPECT_LT(answers, 300);
    EXPECT_TRUE(deaf.Closed());

    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("channel: uid 0: log in as 'demo'\n"), std::string::npos) << log;
    EXPECT_NE(log.find("channel: uid 1: switch host 2 on\n"), std::string::npos) << log;
    EXPECT_NE(log.find("provider.conf changed by uid 1\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("switch host 3 off"), std::string::npos) << "a request that changes nothing was logged";
    EXPECT_NE(log.find("channel: refused a connection from uid 65534"), std::string::npos) << log;
    EXPECT_NE(log.find("does not read what it is sent"), std::string::npos) << log;
}

// The provider chosen from the channel (socket only), with morvanectl's checks, its password never
// sent back; a login with another name than the dyndns2 account says which one is set up; log out.
TEST_F(ManagerTest, ProviderSettingsAccountAndLogOut)
{
    unsetenv("MORVANE_UDP_CHANNEL");
    Start();
    ConnectLocal();
    auto set = [&](const ProviderSettings& s) {
        Client().Send(0, CMD_SET_PROVIDER, [&](OutPacket& out) { WriteProviderSettings(out, s); });
        auto reply = Client().ReceiveCommand(CMD_SET_PROVIDER);
        UdpInPacket in;
        CRawClient::Parse(reply.value_or(std::vector<uint8_t>(20)), in);
        return in.ReadU8() ? std::string("ok") : in.ReadString();
    };
    ProviderSettings dyn;
    dyn.kind = "dyndns2";
    dyn.server = "https://127.0.0.1:1/nic/update";
    dyn.user = "alice";
    dyn.password = "s3cret";
    dyn.hosts = {"home.example.test.", "bad name"};
    dyn.checkIpDefaults = false;
    dyn.router = false;
    EXPECT_NE(set(dyn).find("not a host name: 'bad name'"), std::string::npos);
    dyn.hosts = {"home.example.test."};
    dyn.caFile = m_dir + "/none.pem";
    EXPECT_EQ(set(dyn), "no CA file at " + m_dir + "/none.pem");
    EXPECT_FALSE(files::Exists(m_dir + "/provider.conf"));
    dyn.caFile.clear();
    EXPECT_EQ(set(dyn), "ok");
    std::string conf;
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", conf));
    EXPECT_NE(conf.find("host=home.example.test\n"), std::string::npos) << conf;
    // The same account: the stored password is kept, and what the page does not carry too.
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/provider.conf", conf + "ip=both\n", 0660));
    dyn.password.clear();
    dyn.router = true;
    EXPECT_EQ(set(dyn), "ok");
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", conf));
    EXPECT_NE(conf.find("password=s3cret\n"), std::string::npos) << conf;
    EXPECT_NE(conf.find("ip=both\n"), std::string::npos) << conf;
    // Two accounts, or a kind the page does not show: left to morvanectl, the file untouched.
    const std::string two = conf + "account=ducks\nkind=duckdns\ntoken=t0ken\nhost=other.duckdns.org\n";
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/provider.conf", two, 0660));
    EXPECT_NE(set(dyn).find("holds 2 accounts"), std::string::npos);
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", conf));
    EXPECT_EQ(conf, two);
    // One account of any kind is the page's: a cloudflare token never comes back, an empty TSIG secret
    // keeps the stored one for the same key only, a URL template that leaves out the address is refused.
    ASSERT_TRUE(
        files::ReplaceAtomically(m_dir + "/provider.conf", "kind=duckdns\ntoken=t0ken\nhost=a.duckdns.org\n", 0660));
    ProviderSettings other;
    other.kind = "cloudflare";
    other.password = "cf-t0ken";
    other.hosts = {"home.example.test"};
    other.ttl = 120;
    other.proxied = 0;
    EXPECT_EQ(set(other), "ok");
    Client().Send(0, CMD_ACCOUNT);
    auto cf = Client().ReceiveCommand(CMD_ACCOUNT);
    ASSERT_TRUE(cf.has_value());
    EXPECT_EQ(std::string(cf->begin(), cf->end()).find("cf-t0ken"), std::string::npos);
    UdpInPacket cfIn;
    CRawClient::Parse(*cf, cfIn);
    cfIn.ReadU8(), cfIn.ReadString(), cfIn.ReadU8();
    ProviderSettings back = ReadProviderSettings(cfIn);
    EXPECT_TRUE(back.kind == "cloudflare" && back.passwordStored && back.ttl == 120 && back.proxied == 0);
    other = ProviderSettings{};
    other.kind = "nsupdate";
    other.server = "127.0.0.1:53";
    other.zone = "Example.TEST.";
    other.keyName = "ddns";
    other.keyAlgorithm = "hmac-sha512";
    other.password = "c2VjcmV0c2VjcmV0";
    other.hosts = {"home.example.test"};
    EXPECT_EQ(set(other), "ok");
    other.password.clear();
    EXPECT_EQ(set(other), "ok");
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", conf));
    EXPECT_NE(conf.find("zone=example.test\nkey=ddns:hmac-sha512:c2VjcmV0c2VjcmV0\n"), std::string::npos) << conf;
    other.keyName = "another";
    EXPECT_NE(set(other).find("a TSIG key is needed"), std::string::npos);
    other = ProviderSettings{};
    other.kind = "url";
    other.server = "https://127.0.0.1:1/u?h={host}&ip={ip}";
    other.password = "pw";
    other.hosts = {"home.example.test"};
    EXPECT_EQ(set(other), "the URL template holds {ip}, which is none of {host} {ipv4} {ipv6} {password}");
    other.server = "https://127.0.0.1:1/u?h={host}";
    EXPECT_EQ(set(other), "the URL template has no {ipv4} although IPv4 addresses are kept");
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/provider.conf", two, 0660));
    std::vector<ProviderConfig> parsed;
    ASSERT_TRUE(providerconf::ParseAll(two, parsed));
    ASSERT_TRUE(providerconf::Write(m_dir + "/provider.conf", parsed.front()));
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", conf));

    Client().Send(0, CMD_ACCOUNT);
    auto account = Client().ReceiveCommand(CMD_ACCOUNT);
    ASSERT_TRUE(account.has_value());
    std::string bytes(account->begin(), account->end());
    EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << "the password went back to a client";
    UdpInPacket in;
    CRawClient::Parse(*account, in);
    EXPECT_EQ(in.ReadU8(), 0);
    EXPECT_EQ(in.ReadString(), "");
    EXPECT_EQ(in.ReadU8(), 1);
    ProviderSettings shown = ReadProviderSettings(in);
    EXPECT_EQ(shown.kind, "dyndns2");
    EXPECT_EQ(shown.user, "alice");
    EXPECT_TRUE(shown.passwordStored);
    EXPECT_EQ(shown.hosts, std::vector<std::string>{"home.example.test"});

    auto login = Login();
    ASSERT_GE(login.size(), 22u);
    EXPECT_EQ(login[20], 0);
    EXPECT_EQ(login[21], kLoginOtherAccount);
    UdpInPacket named;
    CRawClient::Parse(login, named);
    named.ReadU8();
    named.ReadU8();
    EXPECT_EQ(named.ReadString(), "alice");

    // Back to the web service: a host the dyndns2 account had switched on keeps its switch.
    ASSERT_TRUE(datafile::SetSwitches(m_dir + "/domain.xml", {{0x7ABCDEF0u, 1}}));
    ProviderSettings web;
    EXPECT_EQ(set(web), "ok");
    login = Login();
    ASSERT_GE(login.size(), 21u);
    EXPECT_EQ(login[20], 1);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", 0x7ABCDEF0u), 1);
    EXPECT_EQ(datafile::ReadSwitches(m_dir + "/domain.xml", {1, 2, 3}).size(), 3u);
    Client().Send(0, CMD_LOG_OUT);
    auto out = Client().ReceiveCommand(CMD_LOG_OUT);
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ((*out)[20], 1);
    std::string user, digest;
    datafile::ReadLogin(m_dir + "/user.xml", user, digest);
    EXPECT_EQ(user, "");
    m_manager->RequestStop();
    ASSERT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(5000)));
    EXPECT_FALSE(m_manager->LoggedIn());
}

// Only a hook nobody but root or the service's user could have put there or changed is run, and
// never through a link; a FIFO in its place holds nothing up.
TEST_F(ManagerTest, AddressHookRunsOnlyWhenNobodyElseCouldHaveWrittenIt)
{
    const std::string out = m_dir + "/hook.out";
    const std::string hook = m_dir + "/on-address-change";
    const std::string script = m_dir + "/script";
    {
        FILE* f = std::fopen(script.c_str(), "w");
        std::fprintf(f, "#!/bin/sh\necho ran >> '%s'\n", out.c_str());
        std::fclose(f);
        chmod(script.c_str(), 0755);
    }
    Start();
    Login();
    auto push = [&] {
        SetHosts({{1, 0}});
        ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
        SetHosts({{1, 1}});
        ASSERT_TRUE(m_client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());
    };
    auto ran = [&](int ms) { return WaitUntil([&] { return files::Exists(out); }, std::chrono::milliseconds(ms)); };
    auto plantCopy = [&](mode_t mode, uid_t uid) {
        unlink(hook.c_str());
        ASSERT_EQ(std::system(("cp '" + script + "' '" + hook + "'").c_str()), 0);
        ASSERT_EQ(chmod(hook.c_str(), mode), 0);
        ASSERT_EQ(chown(hook.c_str(), uid, 0), 0);
    };

    plantCopy(0775, 0);  // group-writable
    push();
    EXPECT_FALSE(ran(600));
    plantCopy(0755, 65534);  // another user's
    push();
    EXPECT_FALSE(ran(600));
    unlink(hook.c_str());
    ASSERT_EQ(symlink(script.c_str(), hook.c_str()), 0);  // a link to a good script
    push();
    EXPECT_FALSE(ran(600));
    unlink(hook.c_str());
    ASSERT_EQ(mkfifo(hook.c_str(), 0755), 0);
    push();  // answered: the FIFO held nothing up
    EXPECT_FALSE(ran(300));

    // One that passes the checks but cannot be started is logged as such, never as started.
    ASSERT_TRUE(files::ReplaceAtomically(script, "#!/nonexistent/interpreter\n", 0755));
    plantCopy(0755, 0);
    ::testing::internal::CaptureStderr();
    push();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("<4>address-change hook " + hook + " could not be started: No such file or directory"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("started for"), std::string::npos) << log;

    ASSERT_TRUE(files::ReplaceAtomically(script, "#!/bin/sh\necho ran >> '" + out + "'\n", 0755));
    plantCopy(0755, 0);
    push();
    EXPECT_TRUE(ran(3000));
}

TEST_F(ManagerTest, StopBeforeStartStartsNothing)
{
    ManagerOptions o;
    o.programDir = m_dir;
    o.nat = &m_nat;
    o.superviseUpdater = false;
    CMorvaneManger manager(o);
    manager.RequestStop();  // the stop control came between "running" and the start
    EXPECT_FALSE(manager.StartManager());
    EXPECT_FALSE(manager.ThreadStarted());
    EXPECT_EQ(manager.ChannelPort(), 0);
    EXPECT_FALSE(files::Exists(m_dir + "/user.xml"));
}

// A dyndns2 account taking its address from a veth interface, the periodic check at its default
// (two minutes): a change on the interface reaches the server within a second, a burst of changes
// makes one request, and nothing is sent while nothing changes.
TEST_F(ManagerTest, InterfaceChangeReachesTheDyndns2ServerWithinASecond)
{
    auto ip = [](const std::string& args) { return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0; };
    ASSERT_TRUE(ip("link add mvw0 type veth peer name mvw1") && ip("link set mvw0 up") &&
                ip("addr add 203.0.113.20/24 dev mvw0"));
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    CTlsStandIn server;
    ASSERT_TRUE(server.Start(tls.Path("good.pem"), tls.Path("good.key"), [](const std::string&) { return "good"; }));
    ProviderConfig c;
    c.kind = ProviderConfig::Kind::Dyndns2;
    c.server = server.Url("");
    c.user = "alice";
    c.password = "s3cret pw";
    c.hosts = {"a.example.net"};
    c.interfaceName = "mvw0";
    c.router = false;
    c.checkIpDefaults = false;
    c.caFile = tls.Path("ca.pem");
    ASSERT_TRUE(providerconf::Write(m_dir + "/provider.conf", c));
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "alice", "ac8c7607255d40a357b413a7854d19c7"));
    ASSERT_TRUE(datafile::SetSwitches(m_dir + "/domain.xml", {{providerconf::HostRecords(c)[0].hostid, 1}}));

    ManagerOptions o;
    o.programDir = m_dir;
    o.nat = &m_nat;
    o.superviseUpdater = false;
    m_manager = std::make_unique<CMorvaneManger>(o);
    ASSERT_TRUE(m_manager->StartManager());
    auto sent = [&](const char* address) {
        std::string last = server.Requests().empty() ? "" : server.Requests().back();
        return last.find(std::string("&myip=") + address + " ") != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil([&] { return sent("203.0.113.20"); }, std::chrono::seconds(10)));

    // Each batch runs in one process, as fast as a DHCP client renumbering the interface.
    auto batch = [&](const std::string& commands) {
        return files::ReplaceAtomically(m_dir + "/batch", commands) && ip("-batch " + m_dir + "/batch");
    };
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(batch("addr del 203.0.113.20/24 dev mvw0\naddr add 203.0.113.21/24 dev mvw0\n"));
    ASSERT_TRUE(WaitUntil([&] { return sent("203.0.113.21"); }, std::chrono::seconds(3)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    // A burst: one request, with the address it ends at. Then nothing while nothing changes, also
    // when another interface changes.
    size_t before = server.Requests().size();
    ASSERT_TRUE(batch("addr del 203.0.113.21/24 dev mvw0\naddr add 203.0.113.22/24 dev mvw0\nlink set mvw0 down\n"
                      "link set mvw0 up\naddr del 203.0.113.22/24 dev mvw0\naddr add 203.0.113.23/24 dev mvw0\n"));
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() > before; }, std::chrono::seconds(3)));
    ASSERT_TRUE(ip("addr add 198.51.100.1/24 dev mvw1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server.Requests().size(), before + 1);
    EXPECT_TRUE(sent("203.0.113.23"));
    m_manager.reset();
    ip("link del mvw0");
}

// Both families from one veth interface holding a permanent global, a deprecated, a unique-local and
// a link-local IPv6 address: the right one goes with the IPv4 address in one request, an IPv6 change
// reaches the server within a second, the clients hear of it, and a restart sends nothing.
TEST_F(ManagerTest, BothFamiliesFromAnInterfaceInOneRequest)
{
    auto ip = [](const std::string& args) { return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0; };
    ASSERT_TRUE(ip("link add mvx0 type veth peer name mvx1") && ip("link set mvx0 up"));
    for (const char* add : {"203.0.113.30/24", "2001:db8:5::31/64 nodad preferred_lft 0", "fd00:5::30/64 nodad",
                            "fe80::30/64 nodad", "2001:db8:5::30/64 nodad"})
        ASSERT_TRUE(ip(std::string("addr add ") + add + " dev mvx0")) << add;
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    CTlsStandIn server;
    ASSERT_TRUE(server.Start(tls.Path("good.pem"), tls.Path("good.key"), [](const std::string& head) {
        return head.rfind("GET /ip ", 0) == 0 ? "198.51.100.7" : "good";
    }));
    ProviderConfig c;
    c.kind = ProviderConfig::Kind::Dyndns2;
    c.server = server.Url("");
    c.user = "alice";
    c.password = "s3cret pw";
    c.hosts = {"a.example.net"};
    c.ip = ProviderConfig::Families::Both;
    c.interfaceName = "mvx0";
    c.router = false;
    c.checkIpDefaults = false;
    c.caFile = tls.Path("ca.pem");
    ASSERT_TRUE(providerconf::Write(m_dir + "/provider.conf", c));
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "alice", "ac8c7607255d40a357b413a7854d19c7"));
    ASSERT_TRUE(datafile::SetSwitches(m_dir + "/domain.xml", {{providerconf::HostRecords(c)[0].hostid, 1}}));
    ManagerOptions o;
    o.programDir = m_dir;
    o.nat = &m_nat;
    o.superviseUpdater = false;
    auto start = [&] {
        m_manager = std::make_unique<CMorvaneManger>(o);
        return m_manager->StartManager();
    };
    ASSERT_TRUE(start());
    auto sent = [&](const std::string& myip) {
        return !server.Requests().empty() && server.Requests().back().find("&myip=" + myip + " ") != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil([&] { return sent("203.0.113.30,2001:db8:5::30"); }, std::chrono::seconds(10)))
        << (server.Requests().empty() ? "" : server.Requests().back());

    auto at = std::chrono::steady_clock::now();
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/batch", "addr del 2001:db8:5::30/64 dev mvx0\n"
                                                           "addr add 2001:db8:5::32/64 nodad dev mvx0\n") &&
                ip("-batch " + m_dir + "/batch"));
    ASSERT_TRUE(WaitUntil([&] { return sent("203.0.113.30,2001:db8:5::32"); }, std::chrono::seconds(3)));
    EXPECT_LT(std::chrono::steady_clock::now() - at, std::chrono::seconds(1));
    // The request leaves before the service records what it announces: wait for the record too.
    EXPECT_TRUE(WaitUntil([&] { return address::FormatIPv6(m_manager->LastAddresses().ipv6) == "2001:db8:5::32"; },
                          std::chrono::seconds(2)));

    size_t before = server.Requests().size();
    m_manager.reset();
    ASSERT_TRUE(start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(server.Requests().size(), before);
    // A check-IP URL of its own takes IPv4 from the interface (the home behind a NAT router); IPv6 stays.
    const std::string hookOut = m_dir + "/hook.out";
    ASSERT_TRUE(files::ReplaceAtomically(m_dir + "/on-address-change",
                                         "#!/bin/sh\necho \"$MORVANE_ADDRESS6\" >> '" + hookOut + "'\n", 0755));
    c.checkIp = {server.Url("/ip")};
    ASSERT_TRUE(providerconf::Write(m_dir + "/provider.conf", c));
    EXPECT_TRUE(WaitUntil([&] { return sent("198.51.100.7,2001:db8:5::32"); }, std::chrono::seconds(5)))
        << (server.Requests().empty() ? "" : server.Requests().back());
    std::string hooked;
    EXPECT_TRUE(WaitUntil([&] { return files::ReadAll(hookOut, hooked) && hooked == "2001:db8:5::32\n"; }));
    // The IPv6 address gone: the clients hear of it, but nothing is sent and the hook is not run.
    auto updates = [&] {
        auto r = server.Requests();
        return std::count_if(r.begin(), r.end(), [](const std::string& q) { return q.rfind("GET /ip ", 0) != 0; });
    };
    auto updatesBefore = updates();
    ASSERT_TRUE(ip("addr del 2001:db8:5::32/64 dev mvx0"));
    EXPECT_TRUE(WaitUntil([&] { return !m_manager->LastAddresses().HasIPv6(); }, std::chrono::seconds(3)));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(updates(), updatesBefore);
    EXPECT_TRUE(files::ReadAll(hookOut, hooked) && hooked == "2001:db8:5::32\n") << hooked;
    m_manager.reset();
    ip("link del mvx0");
}
