// Socket owners from the kernel's socket diagnostics, and group membership.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/socket_owner.h"

namespace {

struct Udp {
    int fd = -1;
    sockaddr_in address{};
    explicit Udp(const char* ip = "127.0.0.1")
    {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        address.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &address.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t len = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    }
    ~Udp() { ::close(fd); }
    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&address); }
};

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

TEST(SocketOwner, FindsTheSocketADatagramWouldReachAndItsUser)
{
    platform::CSocketOwnerLookup lookup;
    Udp sender, receiver, wildcard("0.0.0.0");
    uid_t owner = 4242;
    ASSERT_TRUE(lookup.UdpReceiverOwner(sender.Addr(), receiver.Addr(), owner)) << errno;
    EXPECT_EQ(owner, ::geteuid());

    // A socket bound to the wildcard takes loopback datagrams for its port.
    sockaddr_in viaLoopback = Loopback(ntohs(wildcard.address.sin_port));
    owner = 4242;
    EXPECT_TRUE(lookup.UdpReceiverOwner(sender.Addr(), reinterpret_cast<sockaddr*>(&viaLoopback), owner));
    EXPECT_EQ(owner, ::geteuid());

    // Nobody on the port: no owner, and no stale answer from the question before.
    sockaddr_in nobody = Loopback(ntohs(receiver.address.sin_port));
    ::close(receiver.fd);
    receiver.fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_FALSE(lookup.UdpReceiverOwner(sender.Addr(), reinterpret_cast<sockaddr*>(&nobody), owner));
    EXPECT_EQ(errno, ENOENT);

    // A connected socket takes datagrams from its peer only.
    Udp connected, other;
    ASSERT_EQ(::connect(connected.fd, sender.Addr(), sizeof sender.address), 0);
    EXPECT_TRUE(lookup.UdpReceiverOwner(sender.Addr(), connected.Addr(), owner));
    EXPECT_FALSE(lookup.UdpReceiverOwner(other.Addr(), connected.Addr(), owner));

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    EXPECT_FALSE(lookup.UdpReceiverOwner(sender.Addr(), reinterpret_cast<sockaddr*>(&v6), owner));
    EXPECT_EQ(errno, EAFNOSUPPORT);
}

TEST(SocketOwner, ReportsAnotherUsersSocketAsTheirs)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to bind a socket as another user";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            _exit(1);
        Udp squatter;
        // A TCP listener on the same port number, as on a provider's port.
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::bind(listener, squatter.Addr(), sizeof squatter.address) != 0 || ::listen(listener, 4) != 0)
            _exit(1);
        uint16_t port = squatter.address.sin_port;
        if (::write(ready[1], &port, sizeof port) != sizeof port)
            _exit(1);
        ::pause();
        _exit(0);
    }
    uint16_t port = 0;
    ASSERT_EQ(::read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    sockaddr_in theirs = Loopback(ntohs(port));
    Udp mine;
    platform::CSocketOwnerLookup lookup;
    uid_t owner = 0;
    EXPECT_TRUE(lookup.UdpReceiverOwner(mine.Addr(), reinterpret_cast<sockaddr*>(&theirs), owner));
    EXPECT_EQ(owner, 65534u);

    // A connection nobody has accepted yet: the listener's owner, not the root older kernels report.
    int tcp = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(::connect(tcp, reinterpret_cast<sockaddr*>(&theirs), sizeof theirs), 0);
    sockaddr_in local{};
    socklen_t size = sizeof local;
    ::getsockname(tcp, reinterpret_cast<sockaddr*>(&local), &size);
    owner = 0;
    EXPECT_TRUE(lookup.TcpPeerOwner(reinterpret_cast<sockaddr*>(&local), reinterpret_cast<sockaddr*>(&theirs), owner));
    EXPECT_EQ(owner, 65534u);
    ::close(tcp);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(SocketOwner, GroupMembershipByPrimaryGroupAndGroupDatabase)
{
    EXPECT_TRUE(platform::UserInGroup(0, 0));
    EXPECT_FALSE(platform::UserInGroup(65534, 0));
    EXPECT_FALSE(platform::UserInGroup(424242, 0)) << "an unknown user belongs nowhere";
    platform::CGroupMembershipCache cache(60000);
    EXPECT_TRUE(cache.IsMember(0, 0));
    EXPECT_FALSE(cache.IsMember(65534, 0));
    EXPECT_TRUE(cache.IsMember(0, 0));
}

}  // namespace
