#include <arpa/inet.h>

#include <cstring>
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

// Fills the packet so that exactly `room` bytes stay free.
void FillLeaving(OutPacket& p, int room)
{
    std::vector<uint8_t> pad(static_cast<size_t>(p.Capacity() - room), 0xAB);
    ASSERT_TRUE(p.WriteRaw(pad.data(), static_cast<int>(pad.size())));
    ASSERT_EQ(p.Room(), room);
}

TEST(OutPacketRoom, EachWriterRefusesWhatDoesNotFitAndTakesWhatJustFits)
{
    struct Case {
        const char* name;
        int room;      // free bytes before the write
        bool written;  // expected
        bool (*write)(OutPacket&);
    };
    static const char text[] = "abcd";  // L = 4
    const Case cases[] = {
        {"u8 at 0", 0, false, [](OutPacket& p) { return p.WriteU8(1); }},
        {"u8 at 1", 1, true, [](OutPacket& p) { return p.WriteU8(1); }},
        {"u16 at 1", 1, false, [](OutPacket& p) { return p.WriteU16(1); }},
        {"u16 at 2", 2, true, [](OutPacket& p) { return p.WriteU16(1); }},
        {"u32 at 3", 3, false, [](OutPacket& p) { return p.WriteU32(1); }},
        {"u32 at 4", 4, true, [](OutPacket& p) { return p.WriteU32(1); }},
        // The string writer keeps two bytes for the prefix and needs L + 1 more.
        {"string at L+2", 6, false, [](OutPacket& p) { return p.WriteString(text, 4); }},
        {"string at L+3", 7, true, [](OutPacket& p) { return p.WriteString(text, 4); }},
        {"zero-terminated at L", 4, false, [](OutPacket& p) { return p.WriteZeroTerminated(text, 4); }},
        {"zero-terminated at L+1", 5, true, [](OutPacket& p) { return p.WriteZeroTerminated(text, 4); }},
        {"raw at L-1", 3, false, [](OutPacket& p) { return p.WriteRaw(text, 4); }},
        {"raw at L", 4, true, [](OutPacket& p) { return p.WriteRaw(text, 4); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UdpOutPacket p;
        FillLeaving(p, c.room);
        const int before = p.Size();
        EXPECT_EQ(c.write(p), c.written);
        if (c.written)
            EXPECT_EQ(p.Room(), 0);
        else
            EXPECT_EQ(p.Size(), before);
    }
}

TEST(OutPacketRoom, NullAndNegativeInputsWriteNothing)
{
    UdpOutPacket p;
    EXPECT_FALSE(p.WriteString(nullptr, 3));
    EXPECT_FALSE(p.WriteZeroTerminated(nullptr, 3));
    EXPECT_FALSE(p.WriteRaw(nullptr, 3));
    EXPECT_FALSE(p.WriteString("abc", -1));
    EXPECT_FALSE(p.WriteRaw("abc", -1));
    EXPECT_EQ(p.Size(), 0);
}

TEST(OutPacketEncoding, NumbersStringsAndZeroTerminatedBytes)
{
    UdpOutPacket p;
    p.WriteU8(0x7F);
    p.WriteU16(htons(0x1234));
    p.WriteU16Host(0x5678);
    p.WriteU32(htonl(0x01020304));
    p.WriteString(std::string("hi"));
    p.WriteString("");
    p.WriteZeroTerminated("ok", 2);
    const std::vector<uint8_t> expected = {0x7F, 0x12, 0x34, 0x56, 0x78, 1,   2,   3, 4, 0, 3,
                                           'h',  'i',  0,    0,    1,    0,   'o', 'k', 0};
    EXPECT_EQ(Bytes(p), expected);
}

TEST(OutPacketEncoding, StringWriterReadsOnlyLBytesAndSuppliesTheTerminator)
{
    // A slice of a longer text: the byte after it is not a terminator.
    const char text[] = "hostname.example";
    UdpOutPacket p;
    p.WriteString(text, 4);
    const std::vector<uint8_t> expected = {0, 5, 'h', 'o', 's', 't', 0};
    EXPECT_EQ(Bytes(p), expected);
}

TEST(OutPacketCursor, SkipAndSetCursorPatchACountAndStayInsideTheBuffer)
{
    UdpOutPacket p;
    uint8_t* countAt = p.Skip(2);
    EXPECT_EQ(countAt, p.Data());
    p.WriteU8(9);
    p.WriteU8(8);
    uint8_t* end = p.SetCursor(countAt);
    p.WriteU16Host(2);
    p.SetCursor(end);
    EXPECT_EQ(Bytes(p), (std::vector<uint8_t>{0, 2, 9, 8}));

    // Out of range moves are clamped or refused: the send never reaches past the buffer.
    p.Skip(100000);
    EXPECT_EQ(p.Size(), kPacketCapacity);
    p.Skip(-100000);
    EXPECT_EQ(p.Size(), 0);
    uint8_t outside = 0;
    p.SetCursor(&outside);
    EXPECT_EQ(p.Size(), 0);
}

TEST(OutPacketCursor, SkippedBytesOfARecycledPacketAreZero)
{
    // Writes a packet full of data, releases it, and takes the same storage again.
    UdpOutPacket* first = UdpOutPacket::Create();
    ASSERT_NE(first, nullptr);
    std::vector<uint8_t> secret(kPacketCapacity, 0x5A);
    first->WriteRaw(secret.data(), kPacketCapacity);
    void* storage = first;
    first->Release();
    UdpOutPacket* second = UdpOutPacket::Create();
    ASSERT_EQ(static_cast<void*>(second), storage);
    second->Skip(64);
    second->WriteU8(1);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(second->Data()[i], 0) << i;
    second->Release();
}

// An in packet holding the given bytes.
UdpInPacket Holding(const std::vector<uint8_t>& bytes)
{
    UdpInPacket in;
    in.SetData(bytes.data(), static_cast<int>(bytes.size()));
    return in;
}

TEST(InPacketReaders, ShortReadsReturnZeroAndLeaveTheCursor)
{
    InPacket in;
    const uint8_t bytes[] = {1, 2, 3};
    in.SetData(bytes, 3);
    EXPECT_EQ(in.ReadU32(), 0u);
    EXPECT_EQ(in.Offset(), 0);
    EXPECT_EQ(in.ReadU16Host(), 0x0102);
    EXPECT_EQ(in.ReadU16(), 0);
    EXPECT_EQ(in.Offset(), 2);
    EXPECT_EQ(in.ReadU8(), 3);
    EXPECT_EQ(in.ReadU8(), 0);
    uint8_t out[2] = {7, 7};
    EXPECT_FALSE(in.ReadRaw(out, 1));
    EXPECT_EQ(out[0], 7);
}

TEST(InPacketReaders, StringPrefixRules)
{
    InPacket in;
    {
        SCOPED_TRACE("prefix 0: empty, prefix consumed");
        const uint8_t bytes[] = {0, 0, 'x', 0};
        in.SetData(bytes, 4);
        EXPECT_TRUE(in.ReadStringView().empty());
        EXPECT_EQ(in.Offset(), 2);
    }
    {
        SCOPED_TRACE("prefix past the end: empty, only the prefix consumed");
        const uint8_t bytes[] = {0, 9, 'a', 'b', 0};
        in.SetData(bytes, 5);
        EXPECT_TRUE(in.ReadString().empty());
        EXPECT_EQ(in.Offset(), 2);
    }
    {
        SCOPED_TRACE("one byte only: nothing consumed");
        const uint8_t bytes[] = {0};
        in.SetData(bytes, 1);
        EXPECT_TRUE(in.ReadStringView().empty());
        EXPECT_EQ(in.Offset(), 0);
    }
    {
        SCOPED_TRACE("embedded 0: the view keeps it, the text stops there");
        const uint8_t bytes[] = {0, 4, 'a', 0, 'b', 0, 0, 3, 'a', 0, 'b'};
        in.SetData(bytes, sizeof bytes);
        const std::string_view view = in.ReadStringView();
        EXPECT_EQ(view, std::string_view("a\0b", 3));
        EXPECT_EQ(in.ReadString(), "a");
        EXPECT_EQ(in.Offset(), static_cast<int>(sizeof bytes));
    }
    {
        SCOPED_TRACE("exactly fitting string");
        const uint8_t bytes[] = {0, 3, 'o', 'k', 0};
        in.SetData(bytes, 5);
        EXPECT_EQ(in.ReadString(), "ok");
        EXPECT_EQ(in.Remaining(), 0);
    }
}

TEST(InPacketData, SetDataClampsAndAcceptsItsOwnBuffer)
{
    std::vector<uint8_t> big(70000, 1);
    InPacket in;
    in.SetData(big.data(), static_cast<int>(big.size()));
    EXPECT_EQ(in.Length(), kPacketCapacity);  // not 70000 mod 65536
    in.SetData(big.data(), -5);
    EXPECT_EQ(in.Length(), 0);

    const uint8_t bytes[] = {1, 2, 3, 4};
    in.SetData(bytes, 4);
    in.SetData(in.Data() + 1, 3);  // overlapping source
    EXPECT_EQ(in.Length(), 3);
    EXPECT_EQ(std::memcmp(in.Data(), bytes + 1, 3), 0);
}

std::vector<uint8_t> RequestDatagram(uint16_t command, std::vector<uint8_t> body = {})
{
    UdpOutPacket p;
    PacketHeader::Request(0x01020304, command, 0x0506).Write(p);
    p.WriteRaw(body.data(), static_cast<int>(body.size()));
    std::vector<uint8_t> bytes(p.Data(), p.Data() + p.Size());
    return bytes;
}

TEST(PacketHeaderWire, RequestAndReplyLayouts)
{
    const std::vector<uint8_t> request = RequestDatagram(CMD_NET_INFO);
    const std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0x10, 0x00, 5, 6, 1, 0};
    EXPECT_EQ(request, expected);

    UdpOutPacket reply;
    PacketHeader::Reply(CMD_MAP_PORTS).Write(reply);
    std::vector<uint8_t> replyBytes(20, 0);
    replyBytes[15] = 4;
    EXPECT_EQ(Bytes(reply), replyBytes);

    UdpOutPacket full;
    FillLeaving(full, 19);
    EXPECT_FALSE(PacketHeader::Reply(1).Write(full));
    EXPECT_EQ(full.Room(), 19);
}

TEST(UdpInPacketHeader, ParsedFromTwentyBytesAndNotFromNineteen)
{
    std::vector<uint8_t> twenty = RequestDatagram(CMD_REFRESH_DOMAINS);
    UdpInPacket in = Holding(twenty);
    EXPECT_TRUE(in.HasHeader());
    EXPECT_EQ(in.Command(), CMD_REFRESH_DOMAINS);
    EXPECT_EQ(in.Session(), 0x01020304u);
    EXPECT_EQ(in.Sequence(), 0x0506);
    EXPECT_EQ(in.Marker(), PacketHeader::kRequestMarker);
    EXPECT_EQ(in.Offset(), kPacketHeaderSize);
    EXPECT_EQ(in.Remaining(), 0);

    std::vector<uint8_t> nineteen(twenty.begin(), twenty.end() - 1);
    UdpInPacket shortOne = Holding(nineteen);
    EXPECT_FALSE(shortOne.HasHeader());
    EXPECT_EQ(shortOne.Offset(), 0);
}

TEST(UdpInPacketHeader, ARecycledObjectShowsNoStaleHeader)
{
    // A login request leaves command 0 and a session in the pooled object; a short datagram
    // that reuses the object must not look like another login.
    UdpInPacket* p = UdpInPacket::Create();
    ASSERT_NE(p, nullptr);
    const std::vector<uint8_t> login = RequestDatagram(CMD_LOGIN, {0, 1, 0, 0, 1, 0});
    p->SetData(login.data(), static_cast<int>(login.size()));
    ASSERT_TRUE(p->HasHeader());
    ASSERT_EQ(p->Command(), CMD_LOGIN);
    void* storage = p;
    p->Release();

    p = UdpInPacket::Create();
    ASSERT_EQ(static_cast<void*>(p), storage);
    EXPECT_FALSE(p->HasHeader());  // fresh object
    p->SetData(login.data(), 19);
    EXPECT_FALSE(p->HasHeader());
    EXPECT_EQ(p->Command(), kNoCommand);
    EXPECT_EQ(p->Session(), 0u);
    EXPECT_EQ(p->Sequence(), 0);

    // The same on the same object without going through the pool.
    p->SetData(login.data(), static_cast<int>(login.size()));
    p->SetData(login.data(), 3);
    EXPECT_FALSE(p->HasHeader());
    EXPECT_EQ(p->Command(), kNoCommand);
    p->Release();
}

TEST(UdpInPacketCopy, DuplicatesEverythingAndStandsAtTheBody)
{
    UdpInPacket original = Holding(RequestDatagram(CMD_IP_CHANGED, {0xC0, 0xA8, 0, 1}));
    UdpInPacket copy(original);
    EXPECT_TRUE(copy.HasHeader());
    EXPECT_EQ(copy.Command(), CMD_IP_CHANGED);
    EXPECT_EQ(copy.Length(), 24);
    EXPECT_EQ(copy.Offset(), kPacketHeaderSize);
    EXPECT_EQ(copy.ReadU32Host(), 0xC0A80001u);
    EXPECT_NE(copy.Data(), original.Data());

    UdpInPacket shortOne = Holding({1, 2, 3});
    UdpInPacket shortCopy(shortOne);
    EXPECT_FALSE(shortCopy.HasHeader());
    EXPECT_EQ(shortCopy.Offset(), 0);
    EXPECT_EQ(shortCopy.Remaining(), 3);
}

}  // namespace
