// What the channel pays per datagram to learn who sent it: one socket-diagnostics question, and the
// group check (cached as the service does, and uncached).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

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

void BM_GroupLookupUncached(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::UserInGroup(65534, 0));
}
BENCHMARK(BM_GroupLookupUncached)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
