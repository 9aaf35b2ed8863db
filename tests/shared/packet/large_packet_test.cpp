#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/large_packet.h"

namespace {

// Makes every buffer allocation fail while alive.
struct NoMemory {
    NoMemory() { LargePacket::SetBufferAllocator([](std::size_t) -> void* { return nullptr; }); }
    ~NoMemory() { LargePacket::SetBufferAllocator(nullptr); }
};

TEST(LargeOutPacketGrowth, CapacityRules)
{
    EXPECT_EQ(LargeOutPacket().Capacity(), 10240);
    EXPECT_EQ(LargeOutPacket(100).Capacity(), 10240);
    EXPECT_EQ(LargeOutPacket(10241).Capacity(), 10241);
    const char bytes[] = "abc";
    LargeOutPacket copied(bytes, 3);
    EXPECT_EQ(copied.Capacity(), 10240);
    EXPECT_EQ(copied.Size(), 3);
    EXPECT_EQ(std::memcmp(copied.Data(), bytes, 3), 0);
}

TEST(LargeOutPacketGrowth, NumbersGrowByOneStep)
{
    LargeOutPacket p;
    std::vector<uint8_t> fill(10240, 0x11);
    ASSERT_TRUE(p.WriteRaw(fill.data(), 10240));
    EXPECT_EQ(p.Capacity(), 10240);
    ASSERT_TRUE(p.WriteU8(0x22));
    EXPECT_EQ(p.Capacity(), 20480);
    EXPECT_EQ(p.Size(), 10241);
    EXPECT_EQ(p.Data()[10239], 0x11);  // written bytes kept across the growth
    EXPECT_EQ(p.Data()[10240], 0x22);

    LargeOutPacket q;
    q.WriteRaw(fill.data(), 10237);
    ASSERT_TRUE(q.WriteU32Host(0x01020304));  // 3 bytes left: grows
    EXPECT_EQ(q.Capacity(), 20480);
    EXPECT_EQ(q.Data()[10237], 1);
    EXPECT_EQ(q.Data()[10240], 4);
}

TEST(LargeOutPacketGrowth, StringGrowthFollowsItsNeed)
{
    LargeOutPacket p;
    std::vector<uint8_t> fill(10000, 0);
    p.WriteRaw(fill.data(), 10000);
    // need = 10000 + 30000 + 3 = 40003 -> grow by 3 * 10240 + 10240.
    const std::string text(30000, 'q');
    ASSERT_TRUE(p.WriteString(text));
    EXPECT_EQ(p.Capacity(), 10240 + 40960);
    EXPECT_EQ(p.Size(), 40003);
    EXPECT_EQ(p.Data()[10000], 30001 >> 8);
    EXPECT_EQ(p.Data()[10001], 30001 & 0xFF);
    EXPECT_EQ(p.Data()[40002], 0);

    // A string that just fits does not grow.
    LargeOutPacket q;
    q.WriteRaw(fill.data(), 10000);
    ASSERT_TRUE(q.WriteString(std::string(237, 'x')));
    EXPECT_EQ(q.Capacity(), 10240);
    ASSERT_TRUE(q.WriteString(""));
    EXPECT_EQ(q.Capacity(), 20480 + 10240);  // need 10243: grows by 10240 + 10240

    // Too long for the 16-bit prefix: nothing written.
    LargeOutPacket r;
    EXPECT_FALSE(r.WriteString(std::string(0xFFFF, 'z')));
    EXPECT_EQ(r.Size(), 0);
}

TEST(LargeOutPacketGrowth, FailedGrowthLeavesThePacketAsItWas)
{
    LargeOutPacket p;
    std::vector<uint8_t> fill(10240, 0x33);
    p.WriteRaw(fill.data(), 10240);
    const uint8_t* before = p.Data();
    {
        NoMemory none;
        EXPECT_FALSE(p.WriteU8(1));
        EXPECT_FALSE(p.WriteU16(1));
        EXPECT_FALSE(p.WriteString("abc"));
        EXPECT_FALSE(p.WriteRaw("abc", 3));
    }
    EXPECT_EQ(p.Capacity(), 10240);
    EXPECT_EQ(p.Size(), 10240);
    EXPECT_EQ(p.Data(), before);
    EXPECT_EQ(p.Data()[10239], 0x33);
    EXPECT_TRUE(p.WriteU8(1));  // and it grows again once memory is back

    // A packet whose first buffer could not be had is empty but safe.
    NoMemory none;
    LargeInPacket in("abc", 3);
    EXPECT_EQ(in.Length(), 0);
    EXPECT_EQ(in.ReadU8(), 0);
    EXPECT_TRUE(in.Remaining().empty());
}

TEST(LargeInPacketReaders, LimitTerminatorAndRemaining)
{
    const uint8_t bytes[] = {
        0, 3, 'o', 'k', 0,     // good string
        0, 3, 'n', 'o', '!',   // last byte not 0: empty, prefix consumed
        0x12, 0x34, 0x56,      //
    };
    LargeInPacket in(bytes, sizeof bytes);
    EXPECT_EQ(in.ReadString(), "ok");
    EXPECT_TRUE(in.ReadStringView().empty());
    std::span<const uint8_t> rest = in.Remaining();
    ASSERT_EQ(rest.size(), 6u);
    EXPECT_EQ(rest[0], 'n');
    uint8_t skip[3];
    ASSERT_TRUE(in.ReadRaw(skip, 3));
    EXPECT_EQ(in.ReadU16Host(), 0x1234);
    EXPECT_EQ(in.ReadU16(), 0);  // one byte left
    EXPECT_EQ(in.ReadU8(), 0x56);
    EXPECT_TRUE(in.Remaining().empty());

    const uint8_t pastEnd[] = {0, 8, 'a', 0};
    LargeInPacket in2(pastEnd, sizeof pastEnd);
    EXPECT_TRUE(in2.ReadStringView().empty());
    EXPECT_EQ(in2.Remaining().size(), 2u);
}

}  // namespace
