// The whole chain against real authoritative servers (Knot DNS and BIND 9) started by the test in a network
// namespace of its own: web-service update -> provider -> signed UPDATE -> the name resolves. Also a wrong
// key and a server that is down while the update arrives.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"
#include "tests/provider/provider_process.h"
#include "tests/support/netns.h"
#include "tools/provider/dns_update.h"

namespace {

constexpr const char kZone[] = "dyn.example.net";
constexpr const char kKeyName[] = "morvane-test";
constexpr const char kSecret[] = "c2VjcmV0LWtleS1mb3ItdGhlLW1vcnZhbmUtdGVzdHM=";
constexpr const char kWrongSecret[] = "d3Jvbmcta2V5LWZvci10aGUtbW9ydmFuZS10ZXN0cyE=";
constexpr uint16_t kDnsPort = 5300;  // inside the test's own namespace

class PrivateNetwork : public ::testing::Environment {
public:
    void SetUp() override { s_ok = EnterPrivateNetwork(s_why); }
    static inline bool s_ok = false;
    static inline std::string s_why;
};
::testing::Environment* const g_network = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

bool WaitFor(const std::function<bool()>& done, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// knotd or named serving kZone from a throwaway directory, updatable with the test key.
class CDnsServer {
public:
    explicit CDnsServer(std::string kind) : m_kind(std::move(kind))
    {
        char pattern[] = "/tmp/morvane-dns-test-XXXXXX";
        m_dir = mkdtemp(pattern) ? pattern : "";
    }
    ~CDnsServer()
    {
        Stop();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    // Starts the server (the zone and its journal survive a restart) and waits until it answers.
    bool Start()
    {
        if (!m_written && !Write())
            return false;
        m_written = true;
        m_pid = fork();
        if (m_pid == 0) {
            std::string log = m_dir + "/server.log";
            FILE* out = std::fopen(log.c_str(), "a");
            if (out) {
                dup2(fileno(out), 1);
                dup2(fileno(out), 2);
            }
            std::string conf = m_dir + "/server.conf";
            if (m_kind == "knot")
                execl("/usr/sbin/knotd", "knotd", "-c", conf.c_str(), nullptr);
            else
                execl("/usr/sbin/named", "named", "-g", "-4", "-n", "1", "-c", conf.c_str(), nullptr);
            _exit(127);
        }
        return WaitFor([&] { return Resolve("ns." + std::string(kZone)) == "127.0.0.1"; }, 20);
    }
    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    std::string Resolve(const std::string& name)
    {
        std::string addresses;
        return dns::QueryAddress("127.0.0.1", kDnsPort, name, addresses, 300) ? addresses : "<no answer>";
    }

private:
    bool Write()
    {
        std::ofstream zone(m_dir + "/" + kZone + ".zone");
        zone << "$ORIGIN " << kZone << ".\n$TTL 60\n@ SOA ns hostmaster 1 3600 600 86400 60\n@ NS ns\n"
             << "ns A 127.0.0.1\nold.dyn.example.net. A 192.0.2.250\n";
        std::ofstream conf(m_dir + "/server.conf");
        if (m_kind == "knot") {
            conf << "server:\n  rundir: \"" << m_dir << "\"\n  listen: 127.0.0.1@" << kDnsPort
                 << "\n  udp-workers: 1\n  tcp-workers: 1\n  background-workers: 1\n"
                 << "log:\n  - target: stderr\n    any: info\n"
                 << "database:\n  storage: \"" << m_dir << "\"\n"
                 << "key:\n  - id: " << kKeyName << "\n    algorithm: hmac-sha256\n    secret: " << kSecret << "\n"
                 << "acl:\n  - id: update\n    key: " << kKeyName << "\n    action: update\n"
                 << "template:\n  - id: default\n    storage: \"" << m_dir << "\"\n    file: \"%s.zone\"\n"
                 << "zone:\n  - domain: " << kZone << "\n    acl: update\n";
        } else {
            conf << "options {\n  directory \"" << m_dir << "\";\n  pid-file \"" << m_dir << "/named.pid\";\n"
                 << "  session-keyfile \"" << m_dir << "/session.key\";\n  managed-keys-directory \"" << m_dir
                 << "\";\n  listen-on port " << kDnsPort << " { 127.0.0.1; };\n  listen-on-v6 { none; };\n"
                 << "  recursion no;\n  notify no;\n};\ncontrols { };\n"
                 << "key \"" << kKeyName << "\" { algorithm hmac-sha256; secret \"" << kSecret << "\"; };\n"
                 << "zone \"" << kZone << "\" { type primary; file \"" << m_dir << "/" << kZone
                 << ".zone\"; allow-update { key \"" << kKeyName << "\"; }; };\n";
        }
        return zone.good() && conf.good();
    }

    std::string m_kind;
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_written = false;
};

class Publish : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (!PrivateNetwork::s_ok)
            GTEST_SKIP() << PrivateNetwork::s_why << " (needs root)";
        ASSERT_EQ(0, m_provider.Admin({"seed-demo"}));
        std::string id;
        ASSERT_EQ(0, m_provider.Admin({"add-host", "demo", "Home.Dyn.Example.Net"}, &id));
        m_home = static_cast<uint32_t>(std::stoul(id));
        ASSERT_TRUE(m_provider.Start());
        m_service = std::make_unique<CDynamicService>("127.0.0.1", m_provider.Port());
    }

    int AddZone(const char* secret)
    {
        return m_provider.Admin({"add-zone", kZone, "--server", "127.0.0.1:" + std::to_string(kDnsPort), "--key",
                                 std::string(kKeyName) + ":hmac-sha256:" + secret, "--ttl", "30"});
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

    Push("192.0.2.10", {m_home, 1});  // host 1 (demo1.example.net) is in no zone
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve(home) == "192.0.2.10"; }, 10)) << m_dns.Resolve(home);
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
    EXPECT_TRUE(WaitFor([&] { return m_dns.Resolve("home.dyn.example.net") == "198.51.100.9"; }, 15))
        << Row(m_home);
    std::string history;
    m_provider.Admin({"history"}, &history);
    EXPECT_NE(std::string::npos, history.find("\t198.51.100.8\t1\tsuperseded")) << history;
    EXPECT_TRUE(WaitFor([&] { return Row(m_home).ends_with("\t198.51.100.9\t1\tpublished"); }, 5)) << Row(m_home);
}

INSTANTIATE_TEST_SUITE_P(Servers, Publish, ::testing::Values("knot", "bind"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
