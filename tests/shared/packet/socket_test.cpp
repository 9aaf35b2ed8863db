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

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

struct Socket {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{AF_INET, 0, {kLoopback}, {}};

    Socket()
    {
        socklen_t len = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        timeval tv{2, 0};  // a lost datagram fails the test instead of hanging it
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Socket() { ::close(fd); }
    void Raw(const Socket& to, const std::vector<uint8_t>& bytes) const
    {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to.addr), sizeof to.addr);
    }
};

TEST(PacketSockets, DatagramTravelsWithItsSenderInNetworkOrder)
{
    Socket service, gui;
    ASSERT_NE(gui.addr.sin_port, 0);
    UdpOutPacketPtr out(UdpOutPacket::Create());
    PacketHeader::Reply(CMD_PORT_LIST).Write(*out);
    out->WriteU8(1);
    WritePortList(*out, {PortMapEntry{8080, 1, 0, 1}, PortMapEntry{53, 0, 1, 0}});
    ASSERT_EQ(out->SendTo(service.fd, kLoopback, gui.addr.sin_port), 33);

    UdpInPacketPtr in(UdpInPacket::Create());
    ASSERT_EQ(in->Receive(gui.fd), 33);
    EXPECT_EQ(in->SenderAddress(), kLoopback);
    EXPECT_EQ(in->SenderPort(), service.addr.sin_port);
    EXPECT_EQ(in->Command(), CMD_PORT_LIST);
    EXPECT_EQ(in->ReadU8(), 1);
    EXPECT_EQ(ReadPortList(*in), (std::vector<PortMapEntry>{{8080, 1, 0, 1}, {53, 0, 1, 0}}));

    // Send on a connected socket: 0 when everything went, -1 otherwise.
    ASSERT_EQ(::connect(service.fd, reinterpret_cast<sockaddr*>(&gui.addr), sizeof gui.addr), 0);
    EXPECT_EQ(out->Send(service.fd), 0);
    EXPECT_EQ(in->Receive(gui.fd), 33);
    EXPECT_EQ(out->Send(-1), -1);
}

TEST(PacketSockets, ShortAndOversizedDatagramsAreNotTakenForRequests)
{
    Socket service, gui;
    UdpInPacket in;
    UdpOutPacket login;
    PacketHeader::Request(7, CMD_LOGIN, 1).Write(login);
    login.WriteString("user");
    login.SendTo(gui.fd, kLoopback, service.addr.sin_port);
    ASSERT_GT(in.Receive(service.fd), 0);
    ASSERT_EQ(in.Command(), CMD_LOGIN);

    gui.Raw(service, std::vector<uint8_t>(5, 0));
    EXPECT_EQ(in.Receive(service.fd), 5);
    EXPECT_FALSE(in.HasHeader());
    EXPECT_EQ(in.Command(), kNoCommand);

    // Longer than a packet: an error, never a datagram cut to 1536 bytes.
    gui.Raw(service, std::vector<uint8_t>(kPacketCapacity + 1, 0));
    EXPECT_EQ(in.Receive(service.fd), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(in.Length(), 0);
    EXPECT_FALSE(in.HasHeader());

    gui.Raw(service, std::vector<uint8_t>(kPacketCapacity, 0));
    EXPECT_EQ(in.Receive(service.fd), kPacketCapacity);
    EXPECT_TRUE(in.HasHeader());
}

}  // namespace
