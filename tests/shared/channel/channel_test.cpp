// The client's end of the channel: decoding rules, the login gate, requests on the wire.

#include <sys/wait.h>

#include <cstdlib>
#include <thread>

#include "platform/local_socket.h"
#include "shared/channel/dns_listener.h"
#include "shared/xml/data_files.h"
#include "tests/core/service_fixture.h"
#include "tests/support/temp_dir.h"

namespace {

// Records every listener call.
class CRecorder : public CDnsListener, public IArrivalPoster {
public:
    explicit CRecorder(const std::string& userFile, bool udp = true) : CDnsListener(ChannelOptions{userFile, 6666, udp})
    {
        SetOwner(this);
    }
    ~CRecorder() override { SetOwner(nullptr); }
    void PostArrival() override { ++arrivals; }
    void OnNetInfo(const NetInfo& i) override
    {
        calls.push_back("net " + std::to_string(i.dyip) + " " + i.netlocation);
    }
    void OnDomainFlags(const std::map<uint32_t, uint8_t>& f, uint8_t ok) override
    {
        calls.push_back("flags " + std::to_string(f.size()) + " " + std::to_string(ok));
    }
    void OnMapResult(const std::vector<PortMapEntry>& e, bool ok) override
    {
        calls.push_back("map " + std::to_string(e.size()) + " " + std::to_string(ok));
    }
    void OnDomainList(const std::vector<DomainRecord>* r, bool ok) override
    {
        calls.push_back("list " + std::to_string(r ? int(r->size()) : -1) + " " + std::to_string(ok));
    }
    void OnLogin(const std::vector<DomainRecord>* r, bool ok) override
    {
        calls.push_back("login " + std::to_string(r ? int(r->size()) : -1) + " " + std::to_string(ok));
    }
    void OnIpChanged(uint32_t a) override { calls.push_back("ip " + std::to_string(a)); }
    void OnMapPortList(const std::vector<PortMapEntry>& e) override
    {
        calls.push_back("ports " + std::to_string(e.size()));
    }

    // Feeds one datagram built by `body` after a reply header for `command`.
    void Feed(uint16_t command, const std::function<void(OutPacket&)>& body)
    {
        UdpOutPacket out;
        PacketHeader::Reply(command).Write(out);
        body(out);
        UdpInPacket in;
        in.SetData(out.Data(), out.Size());
        Decode(in);
    }
    std::vector<std::string> calls;
    std::atomic<int> arrivals{0};
};

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        m_dir = m_tmp.Path();
        m_userFile = m_dir + "/user.xml";
    }
    CTempDir m_tmp{"morvane-channel"};
    std::string m_dir, m_userFile;
};

}  // namespace

TEST_F(ChannelTest, DecodingRules)
{
    CRecorder r(m_userFile);
    // Nothing but the login reply is heard before a successful login.
    r.Feed(CMD_IP_CHANGED, [](OutPacket& o) { o.WriteU32Host(1); });
    r.Feed(CMD_NET_INFO, [](OutPacket& o) { WriteNetInfo(o, NetInfo{5, 1, "x"}); });
    EXPECT_TRUE(r.calls.empty());

    r.Feed(0, [](OutPacket& o) {
        o.WriteU8(1);
        WriteDomainList(o, {DomainRecord{}, DomainRecord{}});
    });
    EXPECT_TRUE(r.LoggedIn());
    // Reply 1 with three pairs: one call with three entries.
    r.Feed(CMD_SET_DOMAIN_STATE, [](OutPacket& o) {
        o.WriteU8(1);
        o.WriteU16Host(3);
        for (uint32_t id : {4u, 5u, 6u}) {
            o.WriteU32Host(id);
            o.WriteU8(1);
        }
    });
    // Reply 5 with ok = 0: no call. Reply 4 with ok = 0: still a call.
    r.Feed(CMD_PORT_LIST, [](OutPacket& o) { o.WriteU8(0); });
    r.Feed(CMD_MAP_PORTS, [](OutPacket& o) {
        o.WriteU8(0);
        o.WriteU16Host(0);
    });
    r.Feed(CMD_PORT_LIST, [](OutPacket& o) {
        o.WriteU8(1);
        WritePortList(o, {PortMapEntry{80, 1, 0, 1}});
    });
    r.Feed(CMD_REFRESH_DOMAINS, [](OutPacket& o) { o.WriteU8(0); });
    r.Feed(CMD_NET_INFO, [](OutPacket& o) { WriteNetInfo(o, NetInfo{7, 2, "here"}); });
    r.Feed(4095, [](OutPacket& o) { o.WriteU8(1); });  // unknown: ignored
    r.Feed(CMD_IP_CHANGED, [](OutPacket& o) { o.WriteU32Host(0xCB007107); });
    // A failed login later closes the gate again.
    r.Feed(0, [](OutPacket& o) { o.WriteU8(0); });
    r.Feed(CMD_IP_CHANGED, [](OutPacket& o) { o.WriteU32Host(2); });
    EXPECT_EQ(r.calls, (std::vector<std::string>{"login 2 1", "flags 3 1", "map 0 0", "ports 1", "list -1 0",
                                                 "net 7 here", "ip 3405803783", "login -1 0"}));
    // A count far beyond what a datagram can carry does not turn into tens of thousands of rows.
    size_t before = r.calls.size();
    r.Feed(0, [](OutPacket& o) {
        o.WriteU8(1);
        o.WriteU16Host(65535);
    });
    ASSERT_EQ(r.calls.size(), before + 1);
    EXPECT_EQ(r.calls.back(), "login 54 1");
    r.calls.pop_back();
    r.Feed(0, [](OutPacket& o) { o.WriteU8(0); });
    r.calls.pop_back();
    // A datagram shorter than the header is dropped, whatever the pooled object held before.
    UdpInPacket shortOne;
    uint8_t bytes[19] = {};
    shortOne.SetData(bytes, 19);
    r.Decode(shortOne);
    EXPECT_EQ(r.calls.size(), 8u);
}

TEST_F(ChannelTest, RequestsGoToThePublishedPort)
{
    CRecorder first(m_userFile);
    CRecorder second(m_userFile);
    EXPECT_EQ(first.LocalPort(), 6666);
    EXPECT_EQ(second.LocalPort(), 6667);

    // No PORT published yet: nothing is sent.
    EXPECT_FALSE(first.RequestDomainList());

    CRawClient service;  // stands in for the service; its port goes into user.xml
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    ASSERT_TRUE(datafile::WritePort(m_userFile, ntohs(addr.sin_port)));

    std::srand(1);
    int firstRand = std::rand();
    int secondRand = std::rand();
    std::srand(1);
    ASSERT_TRUE(first.SendLogin("demo", kDemoDigest));
    uint8_t buf[1536];
    ssize_t n = recv(probe, buf, sizeof buf, 0);
    ASSERT_EQ(n, 20 + 7 + 35);
    UdpInPacket in;
    in.SetData(buf, static_cast<int>(n));
    EXPECT_EQ(in.Command(), 0);
    EXPECT_EQ(in.Session(), static_cast<uint32_t>(firstRand) + 1);
    EXPECT_EQ(in.Sequence(), (secondRand & 0x3FFF) + 1);
    EXPECT_EQ(in.Marker(), 0x0100);
    EXPECT_EQ(in.ReadString(), "demo");
    EXPECT_EQ(in.ReadString(), kDemoDigest);

    // The next request takes the next number; the port is read again before every send.
    ASSERT_TRUE(first.SendPortEntries(CMD_MAP_PORTS, {PortMapEntry{8080, 1, 0, 1}}));
    n = recv(probe, buf, sizeof buf, 0);
    ASSERT_EQ(n, 20 + 2 + 5);
    in.SetData(buf, static_cast<int>(n));
    EXPECT_EQ(in.Sequence(), (secondRand & 0x3FFF) + 2);
    EXPECT_EQ(std::vector<uint8_t>(buf + 20, buf + 27), (std::vector<uint8_t>{0, 1, 0x1F, 0x90, 0, 1, 1}));
    close(probe);

    // Replies reach the queue through the receive thread and are announced to the owner.
    service.SendRaw("x", 1, first.LocalPort());
    UdpOutPacket reply;
    PacketHeader::Reply(0).Write(reply);
    reply.WriteU8(0);
    service.SendRaw(reply.Data(), static_cast<size_t>(reply.Size()), first.LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return first.arrivals == 2; }));
    EXPECT_TRUE(first.DispatchOne());
    EXPECT_TRUE(first.DispatchOne());
    EXPECT_FALSE(first.DispatchOne());
    EXPECT_EQ(first.calls, (std::vector<std::string>{"login -1 0"}));
}

// Datagrams from a socket of another owner than root or the data directory's are not listened to.
TEST_F(ChannelTest, RepliesFromOtherUsersSocketsAreIgnored)
{
    CRecorder client(m_userFile);
    UdpOutPacket reply;
    PacketHeader::Reply(0).Write(reply);
    reply.WriteU8(0);
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        CRawClient forger;
        forger.SendRaw(reply.Data(), static_cast<size_t>(reply.Size()), client.LocalPort());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    CRawClient service;
    service.SendRaw(reply.Data(), static_cast<size_t>(reply.Size()), client.LocalPort());
    ASSERT_TRUE(WaitUntil([&] { return client.arrivals == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(client.arrivals, 1) << "the forged reply was queued";
}

// On the local socket a request goes out as the same bytes, the answer comes back on the connection,
// a restarted service is found again; a socket of any other owner than root or the data directory's
// is told nothing, not even the login.
TEST_F(ChannelTest, LocalSocketTalksOnlyToTheServicesUser)
{
    CRecorder client(m_userFile, false);
    EXPECT_FALSE(client.RequestDomainList());
    ASSERT_TRUE(client.LastRefusal().has_value());
    EXPECT_TRUE(client.LastRefusal()->nobody);
    const std::string path = m_dir + "/channel";
    auto next = [](int listener, std::vector<uint8_t>& bytes) {
        pollfd pfd{listener, POLLIN, 0};
        int fd = poll(&pfd, 1, 2000) == 1 ? accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        bytes.resize(2048);
        pfd = {fd, POLLIN, 0};
        ssize_t n = poll(&pfd, 1, 2000) == 1 ? recv(fd, bytes.data(), bytes.size(), 0) : -1;
        bytes.resize(n > 0 ? size_t(n) : 0);
        return fd;
    };
    std::vector<uint8_t> bytes;
    for (int restart = 0; restart < 2; ++restart) {
        platform::CLocalListener service;
        ASSERT_TRUE(service.Listen(path, 4, 0660, static_cast<gid_t>(-1)));
        ASSERT_TRUE(client.SendPortEntries(CMD_MAP_PORTS, {PortMapEntry{8080, 1, 0, 1}}));
        int fd = next(service.Fd(), bytes);
        ASSERT_EQ(bytes.size(), 20u + 2 + 5);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.end()),
                  (std::vector<uint8_t>{0, 1, 0x1F, 0x90, 0, 1, 1}));
        UdpOutPacket reply;
        PacketHeader::Reply(0).Write(reply);
        reply.WriteU8(0);
        ASSERT_EQ(send(fd, reply.Data(), static_cast<size_t>(reply.Size()), 0), reply.Size());
        ASSERT_TRUE(WaitUntil([&] { return client.arrivals == restart + 1; }));
        close(fd);
    }
    EXPECT_TRUE(client.DispatchOne() && client.DispatchOne());
    EXPECT_EQ(client.calls, (std::vector<std::string>{"login -1 0", "login -1 0"}));

    // After a crash its socket file stays behind, unserved: the next service takes the name, a second
    // one beside a live service does not.
    {
        pid_t crashed = fork();
        if (crashed == 0) {
            platform::CLocalListener socket;
            _exit(socket.Listen(path, 4, 0660, gid_t(-1)) ? 0 : 1);  // no clean-up, as in a crash
        }
        int status = 0;
        ASSERT_EQ(waitpid(crashed, &status, 0), crashed);
        ASSERT_EQ(WEXITSTATUS(status), 0);
        platform::CLocalListener successor, second;
        EXPECT_TRUE(successor.Listen(path, 4, 0660, gid_t(-1)));
        EXPECT_FALSE(second.Listen(path, 4, 0660, gid_t(-1)));
        EXPECT_EQ(errno, EADDRINUSE);
    }
    // A data directory deeper than a socket address can name works all the same.
    const std::string deep = m_dir + "/" + std::string(120, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
    platform::CLocalListener far;
    ASSERT_TRUE(far.Listen(deep + "/channel", 4, 0660, gid_t(-1)));
    CRecorder deepClient(deep + "/user.xml", false);
    EXPECT_TRUE(deepClient.RequestDomainList());

    // nobody's socket in the service's place.
    ASSERT_EQ(chmod(m_dir.c_str(), 0777), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t stranger = fork();
    if (stranger == 0) {
        platform::CLocalListener socket;
        if (setgid(65534) != 0 || setuid(65534) != 0 || !socket.Listen(path, 4, 0666, static_cast<gid_t>(-1)) ||
            write(ready[1], "x", 1) != 1)
            _exit(100);
        std::vector<uint8_t> got;
        close(next(socket.Fd(), got));
        _exit(static_cast<int>(std::min<size_t>(got.size(), 99)));
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    EXPECT_FALSE(client.SendLogin("demo", kDemoDigest));
    ASSERT_TRUE(client.LastRefusal().has_value());
    EXPECT_EQ(client.LastRefusal()->owner, 65534u);
    EXPECT_EQ(client.LastRefusal()->path, path);
    int status = 0;
    ASSERT_EQ(waitpid(stranger, &status, 0), stranger);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the stranger received the login";
    close(ready[0]);
    close(ready[1]);
}
