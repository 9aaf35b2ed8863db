#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/large_packet.h"

namespace {

struct NoMemory {
    NoMemory()
    {
        LargePacket::SetBufferAllocator([](std::size_t) -> void* { return nullptr; });
    }
    ~NoMemory() { LargePacket::SetBufferAllocator(nullptr); }
};

TEST(LargeOutPacketGrowth, CapacityAndGrowthRules)
{
    EXPECT_EQ(LargeOutPacket(100).Capacity(), 10240);
    EXPECT_EQ(LargeOutPacket(10241).Capacity(), 10241);
    EXPECT_EQ(LargeOutPacket("abc", 3).Size(), 3);

    LargeOutPacket p;
    std::vector<uint8_t> fill(10240, 0x11);
    ASSERT_TRUE(p.WriteRaw(fill.data(), 10240));
    EXPECT_EQ(p.Capacity(), 10240);
    ASSERT_TRUE(p.WriteU8(0x22));  // one more byte: one more step
    EXPECT_EQ(p.Capacity(), 20480);
    EXPECT_EQ(p.Data()[10239], 0x11);
    EXPECT_EQ(p.Data()[10240], 0x22);

    // A string grows by (need / 10240) * 10240 + 10240 when capacity < need = used + L + 3.
    LargeOutPacket s;
    s.WriteRaw(fill.data(), 10000);
    ASSERT_TRUE(s.WriteString(std::string(237, 'x')));  // need 10240: fits
    EXPECT_EQ(s.Capacity(), 10240);
    ASSERT_TRUE(s.WriteString(std::string(30000, 'q')));  // need 40243
    EXPECT_EQ(s.Capacity(), 10240 + 40960);
    EXPECT_EQ(s.Size(), 40243);
    EXPECT_EQ(s.Data()[10240], 30001 >> 8);
    EXPECT_EQ(s.Data()[40242], 0);
    EXPECT_FALSE(s.WriteString(std::string(0xFFFF, 'z')));  // prefix would wrap
    EXPECT_EQ(s.Size(), 40243);
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
        EXPECT_FALSE(p.WriteU32(1));
        EXPECT_FALSE(p.WriteString("abc"));
        EXPECT_FALSE(p.WriteRaw("abc", 3));
        LargeInPacket in("abc", 3);  // no first buffer: empty but safe
        EXPECT_EQ(in.ReadU8(), 0);
        EXPECT_TRUE(in.Remaining().empty());
    }
    EXPECT_EQ(p.Capacity(), 10240);
    EXPECT_EQ(p.Size(), 10240);
    EXPECT_EQ(p.Data(), before);
    EXPECT_TRUE(p.WriteU8(1));
}

TEST(LargeInPacketReaders, StringsMustEndInTheirTerminator)
{
    const uint8_t bytes[] = {0, 3, 'o', 'k', 0, 0, 3, 'n', 'o', '!', 0x12, 0x34, 0x56};
    LargeInPacket in(bytes, sizeof bytes);
    EXPECT_EQ(in.ReadString(), "ok");
    EXPECT_TRUE(in.ReadStringView().empty());  // last byte not 0: prefix consumed only
    ASSERT_EQ(in.Remaining().size(), 6u);
    EXPECT_EQ(in.Remaining()[0], 'n');
    uint8_t skip[3];
    ASSERT_TRUE(in.ReadRaw(skip, 3));
    EXPECT_EQ(in.ReadU16Host(), 0x1234);
    EXPECT_EQ(in.ReadU16(), 0);
    EXPECT_EQ(in.ReadU8(), 0x56);
    EXPECT_TRUE(in.Remaining().empty());
}

}  // namespace
