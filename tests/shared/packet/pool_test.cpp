#include <atomic>
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

// Allocator that fails after `budget` blocks; counts the attempts.
struct Budget {
    int budget = 0;
    int attempts = 0;
};

void* LimitedAlloc(std::size_t bytes, void* context)
{
    auto* b = static_cast<Budget*>(context);
    ++b->attempts;
    if (b->budget <= 0)
        return nullptr;
    --b->budget;
    return std::malloc(bytes);
}

TEST(PacketPoolBlocks, SlotsAreDistinctAlignedAndReusedBeforeANewBlock)
{
    PacketPool pool(100, 4);
    std::set<void*> seen;
    std::vector<void*> taken;
    for (int i = 0; i < 4; ++i) {
        void* p = pool.Get();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
        std::memset(p, 0xEE, 100);  // the whole object storage is ours
        EXPECT_TRUE(seen.insert(p).second);
        taken.push_back(p);
    }
    EXPECT_EQ(pool.BlockCount(), 1);
    EXPECT_EQ(pool.InUse(), 4);

    // A full block: a slot given back is handed out again instead of a new block.
    pool.Put(taken[2]);
    EXPECT_EQ(pool.Get(), taken[2]);
    EXPECT_EQ(pool.BlockCount(), 1);

    void* fifth = pool.Get();
    EXPECT_EQ(pool.BlockCount(), 2);
    EXPECT_EQ(seen.count(fifth), 0u);
    pool.Put(fifth);
    for (void* p : taken)
        pool.Put(p);
    pool.Put(nullptr);
    EXPECT_EQ(pool.InUse(), 0);
}

TEST(PacketPoolBlocks, GetPutCyclesDoNotGrowThePool)
{
    // One object taken and returned over and over must keep using the same block.
    PacketPool pool(64, 8);
    for (int i = 0; i < 1000; ++i)
        pool.Put(pool.Get());
    EXPECT_EQ(pool.BlockCount(), 1);

    // The same with a block that fills up and empties again.
    std::vector<void*> all;
    for (int round = 0; round < 50; ++round) {
        for (int i = 0; i < 20; ++i)
            all.push_back(pool.Get());
        for (void* p : all)
            pool.Put(p);
        all.clear();
    }
    EXPECT_EQ(pool.BlockCount(), 3);
}

TEST(PacketPoolBlocks, PartlyUsedBlocksAreFilledBeforeIdleOnes)
{
    PacketPool pool(32, 2);
    void* a1 = pool.Get();
    void* a2 = pool.Get();  // block A full
    void* b1 = pool.Get();
    void* b2 = pool.Get();  // block B full
    void* c1 = pool.Get();  // block C, half used
    pool.Put(b1);
    pool.Put(b2);  // B idle
    pool.Put(a1);  // A half used
    // a1's slot and c1's block's free slot come before anything of idle B.
    std::set<void*> next = {pool.Get(), pool.Get()};
    EXPECT_EQ(next.count(b1) + next.count(b2), 0u);
    EXPECT_EQ(pool.Trim(), 1);  // B
    EXPECT_EQ(pool.BlockCount(), 2);
    for (void* p : next)
        pool.Put(p);
    pool.Put(a2);
    pool.Put(c1);
}

TEST(PacketPoolTrim, FreesIdleBlocksOnlyAndKeepsWorking)
{
    PacketPool pool(48, 4);
    std::vector<void*> taken;
    for (int i = 0; i < 12; ++i)
        taken.push_back(pool.Get());
    ASSERT_EQ(pool.BlockCount(), 3);
    EXPECT_EQ(pool.Trim(), 0);

    // Empty the last block taken from and one slot of another.
    for (int i = 8; i < 12; ++i)
        pool.Put(taken[static_cast<size_t>(i)]);
    pool.Put(taken[0]);
    EXPECT_EQ(pool.Trim(), 1);
    EXPECT_EQ(pool.BlockCount(), 2);
    EXPECT_EQ(pool.InUse(), 7);

    // Everything still works after the trim: the free slot, then a new block.
    void* again = pool.Get();
    EXPECT_EQ(again, taken[0]);
    EXPECT_NE(pool.Get(), nullptr);
    EXPECT_EQ(pool.BlockCount(), 3);
}

TEST(PacketPoolExhaustion, GetReturnsNullWhenNoBlockCanBeHad)
{
    PacketPool pool(40, 2);
    Budget budget;
    budget.budget = 1;
    pool.SetBlockAllocator(LimitedAlloc, &budget);
    void* a = pool.Get();
    void* b = pool.Get();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    PacketPool::TrimAll();  // so that the failing get finds nothing to trim anywhere
    EXPECT_EQ(pool.Get(), nullptr);
    EXPECT_EQ(budget.attempts, 2);  // nothing was trimmed, so no second attempt
    pool.Put(a);
    EXPECT_EQ(pool.Get(), a);  // a returned slot is usable again
    pool.Put(a);
    pool.Put(b);
}

TEST(PacketPoolExhaustion, FailureTrimsOtherPoolsAndRetriesOnce)
{
    PacketPool idle(40, 2);
    idle.Put(idle.Get());  // one idle block to give back
    ASSERT_EQ(idle.BlockCount(), 1);

    PacketPool starving(40, 2);
    struct FailOnce {
        int calls = 0;
    } state;
    starving.SetBlockAllocator(
        [](std::size_t bytes, void* ctx) -> void* {
            return ++static_cast<FailOnce*>(ctx)->calls == 1 ? nullptr : std::malloc(bytes);
        },
        &state);
    void* p = starving.Get();
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(state.calls, 2);
    EXPECT_EQ(idle.BlockCount(), 0);
    starving.Put(p);
}

TEST(PacketPoolExhaustion, PooledPacketsConstructNothingWithoutStorage)
{
    // Fill the process pool of out packets, then make it unable to grow.
    PacketPool& pool = UdpOutPacket::Pool();
    std::vector<UdpOutPacketPtr> held;
    held.emplace_back(UdpOutPacket::Create());  // at least one block exists
    ASSERT_NE(held.back(), nullptr);
    Budget none;
    pool.SetBlockAllocator(LimitedAlloc, &none);
    for (;;) {
        UdpOutPacketPtr p(UdpOutPacket::Create());
        if (!p)
            break;
        held.push_back(std::move(p));
        ASSERT_LT(held.size(), 100000u);
    }
    const int inUse = pool.InUse();
    EXPECT_EQ(UdpOutPacket::Create(), nullptr);
    EXPECT_EQ(new UdpOutPacket(), nullptr);
    EXPECT_EQ(pool.InUse(), inUse);

    ASSERT_GT(held.size(), 1u);
    held.pop_back();  // one back, one out again
    UdpOutPacketPtr again(UdpOutPacket::Create());
    EXPECT_NE(again, nullptr);
    pool.SetBlockAllocator(nullptr);
}

TEST(PacketPoolThreads, PacketTakenOnOneThreadIsReleasedOnAnother)
{
    PacketPool& pool = UdpInPacket::Pool();
    const int before = pool.InUse();
    UdpInPacket* p = UdpInPacket::Create();
    ASSERT_NE(p, nullptr);
    const uint8_t bytes[24] = {};
    p->SetData(bytes, 24);
    std::thread([p] { p->Release(); }).join();
    EXPECT_EQ(pool.InUse(), before);
}

// The GUI's shape: one thread receives into pooled packets and queues them; another takes them
// off the queue and releases them. Both threads also take and release packets of their own.
TEST(PacketPoolThreads, ProducerConsumerStress)
{
    constexpr int kPackets = 20000;
    std::mutex queueLock;
    std::deque<UdpInPacket*> queue;
    std::atomic<bool> done{false};
    const int before = UdpInPacket::Pool().InUse();

    std::thread producer([&] {
        for (int i = 0; i < kPackets; ++i) {
            UdpInPacket* p = UdpInPacket::Create();
            ASSERT_NE(p, nullptr);
            uint8_t bytes[24] = {};
            bytes[14] = static_cast<uint8_t>(i >> 8);
            bytes[15] = static_cast<uint8_t>(i);
            p->SetData(bytes, sizeof bytes);
            UdpOutPacket* scratch = UdpOutPacket::Create();
            ASSERT_NE(scratch, nullptr);
            scratch->WriteU32(static_cast<uint32_t>(i));
            scratch->Release();
            std::lock_guard<std::mutex> guard(queueLock);
            queue.push_back(p);
        }
        done = true;
    });

    int received = 0;
    int outOfOrder = 0;
    while (received < kPackets) {
        UdpInPacket* p = nullptr;
        {
            std::lock_guard<std::mutex> guard(queueLock);
            if (!queue.empty()) {
                p = queue.front();
                queue.pop_front();
            }
        }
        if (!p) {
            std::this_thread::yield();
            continue;
        }
        if (p->Command() != static_cast<uint16_t>(received))
            ++outOfOrder;
        ++received;
        UdpInPacketPtr owned(p);
        UdpOutPacketPtr reply(UdpOutPacket::Create());
        ASSERT_NE(reply, nullptr);
        reply->WriteU16(p->Command());
    }
    producer.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(UdpInPacket::Pool().InUse(), before);
}

// Two threads hammering one standalone pool; every object is written while held, so a slot
// handed out twice shows up as a torn value.
TEST(PacketPoolThreads, ConcurrentGetPutNeverSharesASlot)
{
    PacketPool pool(64, 16);
    std::atomic<int> torn{0};
    auto worker = [&](uint64_t tag) {
        std::vector<uint64_t*> mine;
        for (int round = 0; round < 2000; ++round) {
            for (int i = 0; i < 40; ++i) {
                auto* p = static_cast<uint64_t*>(pool.Get());
                if (!p)
                    continue;
                for (int w = 0; w < 8; ++w)
                    p[w] = tag;
                mine.push_back(p);
            }
            for (uint64_t* p : mine) {
                for (int w = 0; w < 8; ++w)
                    if (p[w] != tag)
                        ++torn;
                pool.Put(p);
            }
            mine.clear();
        }
    };
    std::thread a(worker, 0x1111111111111111ull);
    std::thread b(worker, 0x2222222222222222ull);
    a.join();
    b.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(pool.InUse(), 0);
    const int blocks = pool.BlockCount();
    EXPECT_EQ(pool.Trim(), blocks);
    EXPECT_EQ(pool.BlockCount(), 0);
}

}  // namespace
