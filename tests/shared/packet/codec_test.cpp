#include <arpa/inet.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/commands.h"
#include "shared/packet/packet.h"

namespace {

std::vector<uint8_t> Bytes(const OutPacket& p)
{
    return {p.Data(), p.Data() + p.Size()};
}

TEST(OutPacketWriters, EachWriterTakesExactlyItsRoomOrNothing)
{
    struct Case {
        int room;  // free bytes before the write
        bool fits;
        bool (*write)(OutPacket&);
    };
    // The string writer keeps two bytes for the prefix and needs L + 1 more (L = 4 here).
    const Case cases[] = {
        {0, false, [](OutPacket& p) { return p.WriteU8(1); }},
        {1, true, [](OutPacket& p) { return p.WriteU8(1); }},
        {1, false, [](OutPacket& p) { return p.WriteU16(1); }},
        {3, false, [](OutPacket& p) { return p.WriteU32(1); }},
        {4, true, [](OutPacket& p) { return p.WriteU32(1); }},
        {6, false, [](OutPacket& p) { return p.WriteString("abcd", 4); }},
        {7, true, [](OutPacket& p) { return p.WriteString("abcd", 4); }},
        {4, false, [](OutPacket& p) { return p.WriteZeroTerminated("abcd", 4); }},
        {5, true, [](OutPacket& p) { return p.WriteZeroTerminated("abcd", 4); }},
        {3, false, [](OutPacket& p) { return p.WriteRaw("abcd", 4); }},
        {9, false, [](OutPacket& p) { return p.WriteString(nullptr, 1); }},
        {9, false, [](OutPacket& p) { return p.WriteRaw("abcd", -1); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        UdpOutPacket p;
        p.Skip(kPacketCapacity - cases[i].room);
        EXPECT_EQ(cases[i].write(p), cases[i].fits);
        EXPECT_EQ(p.Room(), cases[i].fits ? 0 : cases[i].room);
    }
}

TEST(OutPacketWriters, EncodingsAndAStringSliceGetItsOwnTerminator)
{
    UdpOutPacket p;
    p.WriteU8(0x7F);
    p.WriteU16(htons(0x1234));
    p.WriteU16Host(0x5678);
    p.WriteU32Host(0x01020304);
    p.WriteString("hostname", 4);  // the byte after the slice is not 0
    p.WriteString("");
    p.WriteZeroTerminated("ok", 2);
    EXPECT_EQ(Bytes(p), (std::vector<uint8_t>{0x7F, 0x12, 0x34, 0x56, 0x78, 1, 2, 3, 4,   0,   5,
                                              'h',  'o',  's',  't',  0,    0, 1, 0, 'o', 'k', 0}));
}

TEST(OutPacketCursor, PatchesStayInsideTheBufferAndNeverSendStaleBytes)
{
    // A packet built in storage full of an earlier packet's bytes, as the pool hands it out.
    alignas(UdpOutPacket) unsigned char storage[sizeof(UdpOutPacket)];
    std::memset(storage, 0x5A, sizeof storage);
    UdpOutPacket* p = ::new (storage) UdpOutPacket();

    uint8_t* countAt = p->Skip(2);
    p->WriteU8(9);
    uint8_t* end = p->SetCursor(countAt);
    p->WriteU16Host(1);
    p->SetCursor(end);
    p->Skip(3);
    EXPECT_EQ(Bytes(*p), (std::vector<uint8_t>{0, 1, 9, 0, 0, 0}));

    p->Skip(100000);
    EXPECT_EQ(p->Size(), kPacketCapacity);
    for (int i = 0; i < kPacketCapacity; ++i)
        ASSERT_NE(p->Data()[i], 0x5A) << i;
    p->Skip(-100000);
    EXPECT_EQ(p->Size(), 0);
    uint8_t outside = 0;
    p->SetCursor(&outside);
    EXPECT_EQ(p->Size(), 0);
    p->~UdpOutPacket();
}

TEST(InPacketReaders, MissingBytesReadAsZeroOrEmpty)
{
    InPacket in;
    const uint8_t three[] = {1, 2, 3};
    in.SetData(three, 3);
    EXPECT_EQ(in.ReadU32(), 0u);
    EXPECT_EQ(in.Offset(), 0);
    EXPECT_EQ(in.ReadU16Host(), 0x0102);
    EXPECT_EQ(in.ReadU16(), 0);
    EXPECT_EQ(in.ReadU8(), 3);
    EXPECT_EQ(in.ReadU8(), 0);

    struct Case {
        std::vector<uint8_t> bytes;
        std::string text;
        int offsetAfter;
    };
    const Case cases[] = {
        {{0, 0, 'x', 0}, "", 2},           // prefix 0: prefix consumed
        {{0, 9, 'a', 'b', 0}, "", 2},      // prefix past the end: only the prefix consumed
        {{0}, "", 0},                      // no room for a prefix
        {{0, 4, 'a', 0, 'b', 0}, "a", 6},  // embedded 0: the text stops there
        {{0, 3, 'o', 'k', 0}, "ok", 5},    // exactly fitting
    };
    for (const Case& c : cases) {
        in.SetData(c.bytes.data(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(in.ReadString(), c.text);
        EXPECT_EQ(in.Offset(), c.offsetAfter);
    }
    const uint8_t embedded[] = {0, 4, 'a', 0, 'b', 0};
    in.SetData(embedded, 6);
    EXPECT_EQ(in.ReadStringView(), std::string_view("a\0b", 3));
}

TEST(InPacketReaders, SetDataClampsWithoutWrappingAndAcceptsItsOwnBuffer)
{
    std::vector<uint8_t> big(65536 + 10, 1);
    InPacket in;
    in.SetData(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(in.Length(), kPacketCapacity);  // not 10
    in.SetData(big.data(), -5);
    EXPECT_EQ(in.Length(), 0);
    const uint8_t bytes[] = {1, 2, 3, 4};
    in.SetData(bytes, 4);
    in.SetData(in.Data() + 1, 3);
    EXPECT_EQ(in.Length(), 3);
    EXPECT_EQ(std::memcmp(in.Data(), bytes + 1, 3), 0);
}

std::vector<uint8_t> Request(uint16_t command, int bodyBytes = 0)
{
    UdpOutPacket p;
    PacketHeader::Request(0x01020304, command, 0x0506).Write(p);
    p.Skip(bodyBytes);
    return Bytes(p);
}

TEST(PacketHeaderWire, LayoutAndParseFromTwentyBytesNeverStaleFromNineteen)
{
    EXPECT_EQ(Request(CMD_NET_INFO),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0x10, 0, 5, 6, 1, 0}));
    UdpOutPacket reply;
    PacketHeader::Reply(CMD_MAP_PORTS).Write(reply);
    EXPECT_EQ(Bytes(reply), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0}));

    const std::vector<uint8_t> login = Request(CMD_LOGIN, 4);
    UdpInPacket* p = UdpInPacket::Create();
    ASSERT_NE(p, nullptr);
    p->SetData(login.data(), 20);
    EXPECT_TRUE(p->HasHeader());
    EXPECT_EQ(p->Command(), CMD_LOGIN);
    EXPECT_EQ(p->Session(), 0x01020304u);
    EXPECT_EQ(p->Sequence(), 0x0506);
    EXPECT_EQ(p->Marker(), PacketHeader::kRequestMarker);
    EXPECT_EQ(p->Remaining(), 0);

    // A short datagram in the same object must not pass for another login.
    p->SetData(login.data(), 19);
    EXPECT_FALSE(p->HasHeader());
    EXPECT_EQ(p->Command(), kNoCommand);
    EXPECT_EQ(p->Session(), 0u);
    EXPECT_EQ(p->Offset(), 0);

    // Nor in recycled storage: a packet built where a login was held starts without a header.
    p->SetData(login.data(), static_cast<int>(login.size()));
    alignas(UdpInPacket) unsigned char storage[sizeof(UdpInPacket)];
    std::memcpy(storage, static_cast<void*>(p), sizeof storage);
    UdpInPacket* fresh = ::new (storage) UdpInPacket();
    EXPECT_FALSE(fresh->HasHeader());
    EXPECT_EQ(fresh->Command(), kNoCommand);
    fresh->~UdpInPacket();

    // The copy the GUI queues stands at the body.
    p->SetData(login.data(), static_cast<int>(login.size()));
    UdpInPacket copy(*p);
    EXPECT_EQ(copy.Command(), CMD_LOGIN);
    EXPECT_EQ(copy.Offset(), kPacketHeaderSize);
    EXPECT_EQ(copy.Remaining(), 4);
    p->Release();
}

}  // namespace
