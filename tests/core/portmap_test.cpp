// Port mapping logic against a scripted stand-in for libnat; the file is the real mapport.xml.
#include "core/portmap.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/xml/data_files.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Records every call; fails the steps it is told to.
class CFakeNat : public INatLibrary {
public:
    int discoverResult = 0;
    int ipResult = 0;
    std::string ip = "81.2.69.160";
    bool unterminatedIp = false;
    std::set<int> failSetPorts;  // ports whose mapping the "router" refuses
    int failSetCode = 718;
    int removeResult = 0;

    std::vector<std::string> calls;
    int liveControllers = 0;
    int lastIpBufferSize = 0;
    std::vector<int> printed;

    int Discover(UpnpController** c) override
    {
        calls.push_back("discover");
        if (discoverResult != 0) {
            *c = nullptr;
            return discoverResult;
        }
        *c = reinterpret_cast<UpnpController*>(&m_token);
        ++liveControllers;
        return 0;
    }
    int GetPublicIp(UpnpController* c, char* buf, int size) override
    {
        EXPECT_EQ(c, reinterpret_cast<UpnpController*>(&m_token));
        calls.push_back("ip");
        lastIpBufferSize = size;
        for (int i = 0; i < size; ++i)
            EXPECT_EQ(buf[i], '\0') << "buffer not zero-filled";
        if (ipResult != 0)
            return ipResult;
        if (unterminatedIp)
            std::memset(buf, '7', static_cast<size_t>(size));
        else
            std::strncpy(buf, ip.c_str(), static_cast<size_t>(size) - 1);
        return 0;
    }
    int SetPortMapping(UpnpController*, const char* host, int port, const char* protocol, const char* desc) override
    {
        calls.push_back("set " + std::string(host ? host : "(this machine)") + " " + std::to_string(port) + " " +
                        protocol + " " + desc);
        return failSetPorts.count(port) ? failSetCode : 0;
    }
    int RemovePortMapping(UpnpController*, int port, const char* protocol) override
    {
        calls.push_back("remove " + std::to_string(port) + " " + protocol);
        return removeResult;
    }
    int ControllerFree(UpnpController** c) override
    {
        calls.push_back("free");
        if (*c)
            --liveControllers;
        *c = nullptr;
        return 0;
    }
    int PrintError(int e) override
    {
        printed.push_back(e);
        return 0;
    }

private:
    int m_token = 0;
};

using Calls = std::vector<std::string>;

class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
        m_path = m_dir + "/mapport.xml";
    }

    std::vector<PortMapEntry> ReadBack()
    {
        std::vector<PortMapEntry> v;
        datafile::ReadAllMappings(m_path, v);
        return v;
    }

    // Runs `f` and returns what it printed on standard output.
    template <class F>
    std::string Stdout(F f)
    {
        ::testing::internal::CaptureStdout();
        f();
        return ::testing::internal::GetCapturedStdout();
    }

    CFakeNat m_nat;
    CPortMapper m_mapper{m_nat};
    CTempDir m_tmp{"morvane-pm"};
    std::string m_dir, m_path;
};

TEST_F(PortMapTest, MapPortModes)
{
    bool ok = false;
    EXPECT_EQ(Stdout([&] { ok = m_mapper.MapPort(8080, 1, 0); }),
              "Discovery Successful.\nPublic IP: 81.2.69.160.\nPort Mapping Successful On Port 8080.\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(m_nat.calls, (Calls{"discover", "ip", "set (this machine) 8080 TCP MORVANE"}));
    EXPECT_EQ(m_nat.lastIpBufferSize, 32);

    // The same pass reuses the gateway: no second discovery.
    m_nat.calls.clear();
    EXPECT_EQ(Stdout([&] { ok = m_mapper.MapPort(53, 0, 1); }),
              "Port Mapping Successful On Port 53.\nPort Mapping Removal Successful On Port 53.\n");
    EXPECT_TRUE(ok);
    EXPECT_EQ(m_nat.calls, (Calls{"set (this machine) 53 UDP MORVANE", "remove 53 UDP"}));
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.calls.back(), "free");

    // Mode 2 and above: discovery and address only.
    m_nat.calls.clear();
    EXPECT_EQ(Stdout([&] { ok = m_mapper.MapPort(80, 7, 0); }), "Discovery Successful.\nPublic IP: 81.2.69.160.\n");
    EXPECT_TRUE(ok);
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.calls, (Calls{"discover", "ip", "free"}));

    // Unknown protocol code: an empty protocol text, the library decides.
    m_nat.calls.clear();
    Stdout([&] { m_mapper.MapPort(80, 1, 9); });
    EXPECT_EQ(m_nat.calls[2], "set (this machine) 80  MORVANE");
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.liveControllers, 0);

    // A kept gateway that stops answering is discovered again, once.
    m_nat.calls.clear();
    Stdout([&] { m_mapper.MapPort(80, 1, 0); });
    m_nat.failSetPorts = {81};
    m_nat.failSetCode = LNAT_ERR_HTTP;
    Stdout([&] { EXPECT_FALSE(m_mapper.MapPort(81, 1, 0)); });
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.calls,
              (Calls{"discover", "ip", "set (this machine) 80 TCP MORVANE", "set (this machine) 81 TCP MORVANE", "free",
                     "discover", "ip", "set (this machine) 81 TCP MORVANE", "free"}));
}

TEST_F(PortMapTest, EveryFailureIsPrintedAndTheHandleFreedOnce)
{
    m_nat.discoverResult = 1002;
    EXPECT_EQ(Stdout([&] { EXPECT_FALSE(m_mapper.MapPort(80, 1, 0)); }), "");
    EXPECT_EQ(m_nat.calls, (Calls{"discover"}));  // no handle, nothing to free
    EXPECT_EQ(m_nat.printed, (std::vector<int>{1002}));

    m_mapper.EndPass();
    m_nat = CFakeNat{};
    m_nat.ipResult = 501;
    EXPECT_EQ(Stdout([&] { EXPECT_FALSE(m_mapper.MapPort(80, 1, 0)); }), "Discovery Successful.\n");
    EXPECT_EQ(m_nat.calls, (Calls{"discover", "ip", "free"}));
    EXPECT_EQ(m_nat.printed, (std::vector<int>{501}));

    // A refused creation is not followed by a removal, and a gateway's own refusal is no reason to
    // look for it again.
    m_nat = CFakeNat{};
    m_nat.failSetPorts = {80};
    EXPECT_FALSE(m_mapper.MapPort(80, 0, 0));
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.calls, (Calls{"discover", "ip", "set (this machine) 80 TCP MORVANE", "free"}));
    EXPECT_EQ(m_nat.printed, (std::vector<int>{718}));

    m_nat = CFakeNat{};
    m_nat.removeResult = 714;
    EXPECT_FALSE(m_mapper.MapPort(80, 0, 0));
    m_mapper.EndPass();
    EXPECT_EQ(m_nat.calls.back(), "free");
    EXPECT_EQ(m_nat.printed, (std::vector<int>{714}));
    EXPECT_EQ(m_nat.liveControllers, 0);
}

TEST_F(PortMapTest, UnterminatedAddressIsCutNotOverrun)
{
    m_nat.unterminatedIp = true;
    const std::string out = Stdout([&] { EXPECT_TRUE(m_mapper.MapPort(80, 2, 0)); });
    EXPECT_EQ(out, "Discovery Successful.\nPublic IP: " + std::string(31, '7') + ".\n");
}

TEST_F(PortMapTest, RestoreMapsEnabledRecordsAndStoresTheOutcome)
{
    ASSERT_TRUE(datafile::SetMapping(m_path, 8080, 0, 0, 1));  // enabled, works
    ASSERT_TRUE(datafile::SetMapping(m_path, 9000, 1, 1, 1));  // enabled, router refuses
    ASSERT_TRUE(datafile::SetMapping(m_path, 22, 1, 0, 0));    // disabled but marked mapped
    ASSERT_TRUE(datafile::SetMapping(m_path, 5000, 0, 7, 1));  // odd protocol code kept as is
    m_nat.failSetPorts = {9000};

    Stdout([&] { m_mapper.RestoreMappings(m_path); });
    // One discovery for the pass, one save.
    EXPECT_EQ(m_nat.calls, (Calls{"discover", "ip", "set (this machine) 8080 TCP MORVANE",
                                  "set (this machine) 9000 UDP MORVANE", "set (this machine) 5000  MORVANE", "free"}));
    EXPECT_EQ(ReadBack(),
              (std::vector<PortMapEntry>{{8080, 1, 0, 1}, {9000, 0, 1, 1}, {22, 0, 0, 0}, {5000, 1, 7, 1}}));
}

TEST_F(PortMapTest, RestoreWithoutRouterClearsEveryOp)
{
    ASSERT_TRUE(datafile::SetMapping(m_path, 80, 1, 0, 1));
    ASSERT_TRUE(datafile::SetMapping(m_path, 443, 1, 0, 1));
    ASSERT_TRUE(datafile::SetMapping(m_path, 53, 1, 1, 0));
    m_nat.discoverResult = 1002;
    Stdout([&] { m_mapper.RestoreMappings(m_path); });
    EXPECT_EQ(m_nat.calls, (Calls{"discover"}));  // a gateway that is not there is not looked for again
    EXPECT_EQ(ReadBack(), (std::vector<PortMapEntry>{{80, 0, 0, 1}, {443, 0, 0, 1}, {53, 0, 1, 0}}));

    // A missing file means nothing to restore and nothing created.
    m_nat.calls.clear();
    m_mapper.RestoreMappings(m_dir + "/absent.xml");
    EXPECT_TRUE(m_nat.calls.empty());
    EXPECT_FALSE(fs::exists(m_dir + "/absent.xml"));
}

TEST_F(PortMapTest, RequestsStoreSuccessesAndReturnFailures)
{
    ASSERT_TRUE(datafile::SetMapping(m_path, 9000, 1, 0, 1));
    m_nat.failSetPorts = {9000};
    const std::vector<PortMapEntry> requests = {{8080, 1, 0, 1}, {9000, 0, 0, 1}, {53, 0, 1, 0}};
    std::vector<PortMapEntry> failed;
    Stdout([&] { failed = m_mapper.ApplyMappingRequests(m_path, requests); });
    EXPECT_EQ(failed, (std::vector<PortMapEntry>{{9000, 0, 0, 1}}));
    // The unmap of 53 (never mapped) succeeds: created, then removed; one discovery for all three.
    EXPECT_EQ(m_nat.calls.size(), 2u + 1u + 1u + 2u);
    m_mapper.EndPass();
    // 9000's failure leaves its line alone.
    EXPECT_EQ(ReadBack(), (std::vector<PortMapEntry>{{9000, 1, 0, 1}, {8080, 1, 0, 1}, {53, 0, 1, 0}}));

    // No router: everything comes back, nothing is stored.
    m_nat = CFakeNat{};
    m_nat.discoverResult = 1002;
    failed = m_mapper.ApplyMappingRequests(m_path, {{1, 1, 0, 1}, {2, 1, 1, 1}});
    EXPECT_EQ(failed, (std::vector<PortMapEntry>{{1, 1, 0, 1}, {2, 1, 1, 1}}));
    EXPECT_EQ(ReadBack().size(), 3u);
}

TEST_F(PortMapTest, RequestThatCannotBeStoredIsReportedAsFailed)
{
    // The router succeeds, but the file cannot be written: the GUI must not be told it was stored.
    const std::string unwritable = m_dir + "/no-such-dir/mapport.xml";
    std::vector<PortMapEntry> failed;
    Stdout([&] { failed = m_mapper.ApplyMappingRequests(unwritable, {{8080, 1, 0, 1}}); });
    EXPECT_EQ(failed, (std::vector<PortMapEntry>{{8080, 1, 0, 1}}));
}

TEST_F(PortMapTest, SaveAndRemoveTouchOnlyTheFile)
{
    EXPECT_TRUE(m_mapper.SaveMappings(m_path, {{80, 1, 0, 1}, {80, 0, 1, 0}, {443, 0, 0, 1}}));
    // Removal goes by port and type; op and allow of the request do not matter.
    EXPECT_TRUE(m_mapper.RemoveMappings(m_path, {{80, 1, 1, 1}}));
    EXPECT_EQ(ReadBack(), (std::vector<PortMapEntry>{{80, 1, 0, 1}, {443, 0, 0, 1}}));
    EXPECT_TRUE(m_nat.calls.empty());
    EXPECT_FALSE(m_mapper.SaveMappings(m_dir + "/no-such-dir/mapport.xml", {{80, 1, 0, 1}}));
}

}  // namespace
