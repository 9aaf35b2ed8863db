// What the channel pays to learn who is at the other end: per datagram on UDP, one socket-diagnostics
// question and the group check (cached as the service does, and uncached); per connection on the
// local socket, the credentials the kernel recorded at connect and the same group check, beside a
// connection that is accepted and closed unchecked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/local_socket.h"
#include "platform/socket_owner.h"

namespace {

struct Bound {
    int fd;
    sockaddr_in address{};
    Bound()
    {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t len = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
    }
    ~Bound() { ::close(fd); }
    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&address); }
};

void BM_SenderOwner(benchmark::State& state)
{
    Bound service, client;
    platform::CSocketOwnerLookup lookup;
    uid_t owner = 0;
    for (auto _ : state) {
        bool found = lookup.UdpReceiverOwner(service.Addr(), client.Addr(), owner);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_SenderOwner)->Unit(benchmark::kMicrosecond);

// The whole admission of one datagram from a user who is neither root nor the service's user.
void BM_AdmitDatagram(benchmark::State& state)
{
    Bound service, client;
    platform::CSocketOwnerLookup lookup;
    platform::CGroupMembershipCache groups;
    uid_t owner = 0;
    for (auto _ : state) {
        bool admitted = lookup.UdpReceiverOwner(service.Addr(), client.Addr(), owner) && groups.IsMember(65534, 0);
        benchmark::DoNotOptimize(admitted);
    }
}
BENCHMARK(BM_AdmitDatagram)->Unit(benchmark::kMicrosecond);

// One connection to a local socket, accepted and closed; with `check`, admitted as the service does.
void Connections(benchmark::State& state, bool check)
{
    char pattern[] = "/tmp/morvane-bench-XXXXXX";
    const std::string path = std::string(mkdtemp(pattern)) + "/channel";
    platform::CLocalListener listener;
    listener.Listen(path, 16, 0660, static_cast<gid_t>(-1));
    platform::CGroupMembershipCache groups;
    for (auto _ : state) {
        int client = platform::ConnectLocal(path);
        int accepted = ::accept4(listener.Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        uid_t uid = 0;
        struct stat st {};
        // As for a member who is not root: the data directory's group, then the (cached) membership.
        bool admitted = !check || (platform::LocalPeer(accepted, uid) && ::stat(pattern, &st) == 0 &&
                                   groups.IsMember(uid, st.st_gid));
        benchmark::DoNotOptimize(admitted);
        ::close(accepted);
        ::close(client);
    }
    listener.Close();
    ::rmdir(pattern);
}
// The check alone, on one accepted connection: what admission adds to accept().
void BM_ConnectionCheck(benchmark::State& state)
{
    int pair[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    platform::CGroupMembershipCache groups;
    for (auto _ : state) {
        uid_t uid = 0;
        struct stat st {};
        bool admitted =
            platform::LocalPeer(pair[0], uid) && ::stat("/tmp", &st) == 0 && groups.IsMember(uid, st.st_gid);
        benchmark::DoNotOptimize(admitted);
    }
    ::close(pair[0]);
    ::close(pair[1]);
}
BENCHMARK(BM_ConnectionCheck)->Unit(benchmark::kMicrosecond);
void BM_ConnectionUnchecked(benchmark::State& state)
{
    Connections(state, false);
}
BENCHMARK(BM_ConnectionUnchecked)->Unit(benchmark::kMicrosecond);
void BM_ConnectionAdmitted(benchmark::State& state)
{
    Connections(state, true);
}
BENCHMARK(BM_ConnectionAdmitted)->Unit(benchmark::kMicrosecond);

void BM_GroupLookupUncached(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::UserInGroup(65534, 0));
}
BENCHMARK(BM_GroupLookupUncached)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
