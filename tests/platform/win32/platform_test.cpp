// The Windows platform layer, run under Wine: who owns a loopback socket (the channel's check), the
// wake event and stamped receive the channel's threads poll, the named mutex, the data directory.

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "core/interface_watch.h"
#include "platform/data_dir.h"
#include "platform/single_instance.h"
#include "platform/socket.h"
#include "platform/socket_owner.h"
#include "platform/win32/compat/win32.h"
#include "shared/base/udp.h"

namespace {

struct Socket {
    SOCKET s;
    sockaddr_in address{};
    explicit Socket(int type) : s(::socket(AF_INET, type, 0))
    {
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
        int length = sizeof address;
        ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    }
    ~Socket() { ::closesocket(s); }
    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&address); }
};

bool Readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 200) == 1 && (p.revents & POLLIN);
}

TEST(Win32Platform, NamesTheOwnerOfLoopbackSocketsAndNobodyForAFreePort)
{
    platform::CSocketOwnerLookup lookup;
    Socket sender(SOCK_DGRAM), receiver(SOCK_DGRAM);
    uid_t owner = 4242;
    ASSERT_TRUE(lookup.UdpReceiverOwner(sender.Addr(), receiver.Addr(), owner)) << errno;
    EXPECT_EQ(owner, ::geteuid());

    Socket listener(SOCK_STREAM);
    ASSERT_EQ(::listen(listener.s, 1), 0);
    Socket client(SOCK_STREAM);
    ASSERT_EQ(::connect(client.s, listener.Addr(), sizeof listener.address), 0);
    owner = 4242;
    ASSERT_TRUE(lookup.TcpPeerOwner(client.Addr(), listener.Addr(), owner)) << errno;
    EXPECT_EQ(owner, ::geteuid());

    sockaddr_in gone = receiver.address;
    ::closesocket(receiver.s);
    receiver.s = INVALID_SOCKET;
    EXPECT_FALSE(lookup.UdpReceiverOwner(sender.Addr(), reinterpret_cast<sockaddr*>(&gone), owner));
}

TEST(Win32Platform, WakeEventAndStampedReceive)
{
    platform::CWakeEvent wake;
    ASSERT_TRUE(wake.Open());
    EXPECT_FALSE(Readable(wake.Fd()));
    wake.Signal();
    wake.Signal();
    EXPECT_TRUE(Readable(wake.Fd()));
    wake.Drain();
    EXPECT_FALSE(Readable(wake.Fd()));

    uint16_t port = 0;
    int channel = BindLoopbackUdp(47000, 50, port);
    ASSERT_GE(channel, 0);
    Socket sender(SOCK_DGRAM);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    char big[64] = "oversized";
    ::sendto(sender.s, big, static_cast<int>(sizeof big), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::sendto(sender.s, big, 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    uint8_t bytes[16];
    sockaddr_in from{};
    timespec arrived{};
    ASSERT_TRUE(Readable(channel));
    EXPECT_GT(platform::ReceiveStamped(channel, bytes, sizeof bytes, from, arrived), 16);  // seen as oversized
    ASSERT_TRUE(Readable(channel));
    EXPECT_EQ(platform::ReceiveStamped(channel, bytes, sizeof bytes, from, arrived), 4);
    EXPECT_EQ(from.sin_port, sender.address.sin_port);
    EXPECT_GT(arrived.tv_sec, 0);
    platform::CloseSocket(channel);
}

TEST(Win32Platform, NamedMutexAndPortableDataDirectory)
{
    platform::CSingleInstance first, second;
    const std::string name = "morvane-test-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(first.Acquire(name));
    EXPECT_FALSE(second.Acquire(name));
    EXPECT_TRUE(second.AlreadyExists());
    first.Release();
    EXPECT_TRUE(second.Acquire(name));

    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    std::string dir = std::string(temp) + "morvane-portable-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    std::ofstream(dir + "\\" + platform::kPortableMarker).put('\n');
    EXPECT_EQ(platform::DataDirectoryFor(dir), dir);
    DeleteFileA((dir + "\\" + platform::kPortableMarker).c_str());
    RemoveDirectoryA(dir.c_str());
}

// provider.conf is followed by a thread waiting for the directory: the file replaced as the programs
// replace files wakes the worker's poll(), another file of the directory does not.
TEST(Win32Platform, FileWatchWakesForItsFileOnly)
{
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(MAX_PATH, temp), 0u);
    std::string dir = std::string(temp) + "morvane-watch-" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    CFileWatch watch;
    std::string why;
    ASSERT_TRUE(watch.Open(dir + "\\provider.conf", why)) << why;
    std::ofstream(dir + "\\other.conf").put('\n');
    EXPECT_FALSE(Readable(watch.Descriptor()));
    std::ofstream(dir + "\\provider.conf.new").put('\n');
    ASSERT_TRUE(MoveFileExA((dir + "\\provider.conf.new").c_str(), (dir + "\\provider.conf").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    bool woke = false;
    for (int i = 0; i < 10 && !woke; ++i)
        woke = Readable(watch.Descriptor());
    ASSERT_TRUE(woke);
    watch.OnReadable(1000);
    EXPECT_EQ(watch.DueIn(1000), int64_t(kInterfaceQuietMs));
    EXPECT_FALSE(Readable(watch.Descriptor()));
    watch.Close();
    EXPECT_EQ(watch.Descriptor(), -1);
    for (const char* name : {"provider.conf", "other.conf"})
        DeleteFileA((dir + "\\" + name).c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
