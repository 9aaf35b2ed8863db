#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/packet.h"
#include "shared/packet/packet_pool.h"

namespace {

// Allocator that grants `budget` blocks, then fails; counts the attempts.
struct Budget {
    int budget = 0;
    int attempts = 0;
};

void* LimitedAlloc(std::size_t bytes, void* context)
{
    auto* b = static_cast<Budget*>(context);
    ++b->attempts;
    return b->budget-- > 0 ? std::malloc(bytes) : nullptr;
}

TEST(PacketPoolBlocks, SlotsAreReusedBeforeANewBlockIsMade)
{
    PacketPool pool(100, 4);
    std::set<void*> taken;
    for (int i = 0; i < 4; ++i) {
        void* p = pool.Get();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
        std::memset(p, 0xEE, 100);
        EXPECT_TRUE(taken.insert(p).second);
    }
    void* some = *taken.begin();
    pool.Put(some);  // the block was full: the returned slot comes back first
    EXPECT_EQ(pool.Get(), some);
    EXPECT_EQ(pool.BlockCount(), 1);
    void* fifth = pool.Get();
    EXPECT_EQ(pool.BlockCount(), 2);
    pool.Put(fifth);
    for (void* p : taken)
        pool.Put(p);
    pool.Put(nullptr);
    EXPECT_EQ(pool.InUse(), 0);

    // Taking and returning over and over, one at a time or in bursts, does not grow the pool.
    for (int i = 0; i < 1000; ++i)
        pool.Put(pool.Get());
    std::vector<void*> burst;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 10; ++i)
            burst.push_back(pool.Get());
        for (void* p : burst)
            pool.Put(p);
        burst.clear();
    }
    EXPECT_EQ(pool.BlockCount(), 3);
}

TEST(PacketPoolBlocks, TrimFreesOnlyIdleBlocksAndPartlyUsedOnesAreFilledFirst)
{
    PacketPool pool(32, 2);
    std::vector<void*> p;
    for (int i = 0; i < 5; ++i)
        p.push_back(pool.Get());  // blocks A (0, 1), B (2, 3), C (4)
    EXPECT_EQ(pool.Trim(), 0);
    pool.Put(p[2]);
    pool.Put(p[3]);  // B idle
    pool.Put(p[0]);  // A half used, like C
    const std::set<void*> next = {pool.Get(), pool.Get()};
    EXPECT_EQ(next.count(p[0]), 1u);
    EXPECT_EQ(next.count(p[2]) + next.count(p[3]), 0u);
    EXPECT_EQ(pool.Trim(), 1);
    EXPECT_EQ(pool.BlockCount(), 2);
}

TEST(PacketPoolExhaustion, NullWhenNoBlockCanBeHadAfterTrimmingEveryPool)
{
    PacketPool pool(40, 2);
    Budget budget{1, 0};
    pool.SetBlockAllocator(LimitedAlloc, &budget);
    void* a = pool.Get();
    void* b = pool.Get();
    ASSERT_NE(b, nullptr);
    PacketPool::TrimAll();  // nothing idle anywhere: the failing get has nothing to trim
    EXPECT_EQ(pool.Get(), nullptr);
    EXPECT_EQ(budget.attempts, 2);
    pool.Put(a);
    EXPECT_EQ(pool.Get(), a);

    // Another pool's idle block is given back, and the second attempt succeeds.
    PacketPool idle(40, 2);
    idle.Put(idle.Get());
    budget = Budget{0, 0};
    void* c = nullptr;
    pool.SetBlockAllocator(
        [](std::size_t bytes, void* ctx) -> void* {
            return ++static_cast<Budget*>(ctx)->attempts == 1 ? nullptr : std::malloc(bytes);
        },
        &budget);
    c = pool.Get();
    EXPECT_NE(c, nullptr);
    EXPECT_EQ(budget.attempts, 2);
    EXPECT_EQ(idle.BlockCount(), 0);
    for (void* p : {a, b, c})
        pool.Put(p);
}

TEST(PacketPoolExhaustion, PooledPacketsConstructNothingWithoutStorage)
{
    PacketPool& pool = UdpOutPacket::Pool();
    std::vector<UdpOutPacketPtr> held;
    held.emplace_back(UdpOutPacket::Create());  // at least one block exists
    Budget none;
    pool.SetBlockAllocator(LimitedAlloc, &none);
    while (held.back() && held.size() < 100000)
        held.emplace_back(UdpOutPacket::Create());
    EXPECT_EQ(held.back(), nullptr);
    const int inUse = pool.InUse();
    EXPECT_EQ(new UdpOutPacket(), nullptr);
    EXPECT_EQ(pool.InUse(), inUse);
    held.pop_back();
    held.pop_back();  // one back, one out again
    EXPECT_NE(UdpOutPacketPtr(UdpOutPacket::Create()), nullptr);
    pool.SetBlockAllocator(nullptr);
}

// The GUI's shape: a receive thread takes packets from the pool and queues them; the window
// thread takes them off the queue and releases them. Under ThreadSanitizer this shows any
// unguarded pool state.
TEST(PacketPoolThreads, TakenOnOneThreadReleasedOnAnother)
{
    constexpr int kPackets = 20000;
    std::mutex queueLock;
    std::deque<UdpInPacket*> queue;
    const int before = UdpInPacket::Pool().InUse();

    std::thread receiver([&] {
        for (int i = 0; i < kPackets; ++i) {
            UdpInPacket* p = UdpInPacket::Create();
            uint8_t bytes[24] = {};
            bytes[14] = static_cast<uint8_t>(i >> 8);
            bytes[15] = static_cast<uint8_t>(i);
            p->SetData(bytes, sizeof bytes);
            std::lock_guard<std::mutex> guard(queueLock);
            queue.push_back(p);
        }
    });

    int received = 0;
    int wrong = 0;
    while (received < kPackets) {
        UdpInPacketPtr p;
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (!queue.empty()) {
                p.reset(queue.front());
                queue.pop_front();
            }
        }
        if (!p) {
            std::this_thread::yield();
            continue;
        }
        wrong += p->Command() != static_cast<uint16_t>(received++);
    }
    receiver.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(UdpInPacket::Pool().InUse(), before);
}

}  // namespace
