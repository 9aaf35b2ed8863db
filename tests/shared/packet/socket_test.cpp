// Packets over real UDP sockets on the loopback interface (ephemeral ports only).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/commands.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"

namespace {

struct LoopbackSocket {
    int fd = -1;
    uint16_t netPort = 0;

    LoopbackSocket()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            return;
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        netPort = a.sin_port;
        timeval tv{2, 0};  // a lost datagram fails the test instead of hanging it
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~LoopbackSocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

TEST(PacketSockets, ReplyTravelsAndKeepsSenderInNetworkOrder)
{
    LoopbackSocket service;
    LoopbackSocket gui;
    ASSERT_NE(service.netPort, 0);
    ASSERT_NE(gui.netPort, 0);

    UdpOutPacketPtr out(UdpOutPacket::Create());
    ASSERT_NE(out, nullptr);
    PacketHeader::Reply(CMD_PORT_LIST).Write(*out);
    out->WriteU8(1);
    WritePortList(*out, {PortMapEntry{8080, 1, 0, 1}, PortMapEntry{53, 0, 1, 0}});
    ASSERT_EQ(out->SendTo(service.fd, htonl(INADDR_LOOPBACK), gui.netPort), out->Size());

    UdpInPacketPtr in(UdpInPacket::Create());
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(in->Receive(gui.fd), 20 + 1 + 2 + 10);
    EXPECT_EQ(in->SenderAddress(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(in->SenderPort(), service.netPort);
    ASSERT_TRUE(in->HasHeader());
    EXPECT_EQ(in->Command(), CMD_PORT_LIST);
    EXPECT_EQ(in->ReadU8(), 1);
    const std::vector<PortMapEntry> entries = ReadPortList(*in);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1], (PortMapEntry{53, 0, 1, 0}));
}

TEST(PacketSockets, ShortAndOversizedDatagramsAreNotTakenForRequests)
{
    LoopbackSocket service;
    LoopbackSocket gui;
    UdpInPacket in;

    // A full login request first, so the object has a header to lose.
    UdpOutPacket login;
    PacketHeader::Request(7, CMD_LOGIN, 1).Write(login);
    login.WriteString("user");
    login.SendTo(gui.fd, htonl(INADDR_LOOPBACK), service.netPort);
    ASSERT_GT(in.Receive(service.fd), 0);
    ASSERT_EQ(in.Command(), CMD_LOGIN);

    const uint8_t shortBytes[5] = {0, 0, 0, 0, 0};
    ::sendto(gui.fd, shortBytes, sizeof shortBytes, 0, nullptr, 0);  // not connected: fails
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = service.netPort;
    ::sendto(gui.fd, shortBytes, sizeof shortBytes, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(in.Receive(service.fd), 5);
    EXPECT_FALSE(in.HasHeader());
    EXPECT_EQ(in.Command(), kNoCommand);

    // Longer than a packet: reported as an error, never delivered cut to 1536 bytes.
    std::vector<uint8_t> big(kPacketCapacity + 100, 0);
    ::sendto(gui.fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(in.Receive(service.fd), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(in.Length(), 0);
    EXPECT_FALSE(in.HasHeader());

    // Exactly a packet is fine.
    big.resize(kPacketCapacity);
    ::sendto(gui.fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    EXPECT_EQ(in.Receive(service.fd), kPacketCapacity);
    EXPECT_TRUE(in.HasHeader());
}

TEST(PacketSockets, SendOnAConnectedSocketReportsZeroOrMinusOne)
{
    LoopbackSocket a;
    LoopbackSocket b;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = b.netPort;
    ASSERT_EQ(::connect(a.fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    UdpOutPacket out;
    PacketHeader::Reply(CMD_IP_CHANGED).Write(out);
    out.WriteU32Host(0xC0A80001);
    EXPECT_EQ(out.Send(a.fd), 0);
    UdpInPacket in;
    ASSERT_EQ(in.Receive(b.fd), 24);
    EXPECT_EQ(in.ReadU32Host(), 0xC0A80001u);

    EXPECT_EQ(out.Send(-1), -1);
    EXPECT_LT(out.SendTo(-1, htonl(INADDR_LOOPBACK), b.netPort), 0);
}

}  // namespace
