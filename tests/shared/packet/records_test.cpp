#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/large_packet.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"

namespace {

std::vector<uint8_t> Bytes(const OutPacket& p)
{
    return {p.Data(), p.Data() + p.Size()};
}

void Load(InPacket& in, const OutPacket& out)
{
    in.SetData(out.Data(), out.Size());
}

bool SameRecord(const DomainRecord& a, const DomainRecord& b)
{
    return a.domain == b.domain && a.reserved1 == b.reserved1 && a.reserved2 == b.reserved2 &&
           a.reserved3 == b.reserved3 && a.reserved4 == b.reserved4 && a.hostid == b.hostid &&
           a.data == b.data && a.reserved5 == b.reserved5 && a.reserved6 == b.reserved6 &&
           a.enabled == b.enabled;
}

DomainRecord Sample(uint32_t hostid)
{
    DomainRecord r;
    r.domain = "host" + std::to_string(100000 + hostid) + ".example.net";  // same length for all
    r.reserved1 = "r1";
    r.reserved2 = 0xA1B2C3D4;
    r.reserved3 = "r3";
    r.reserved4 = 0x44;
    r.hostid = hostid;
    r.data = "203.0.113.7";
    r.reserved5 = 0x5566;
    r.reserved6 = 0x778899AA;
    r.enabled = 1;
    return r;
}

TEST(PortMapEntryWire, FiveBytesInPortTypeOpAllowOrder)
{
    PortMapEntry e;
    e.port = 8080;
    e.op = 1;
    e.type = 0;
    e.allow = 1;
    UdpOutPacket out;
    ASSERT_TRUE(WritePortMapEntry(out, e));
    EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0x1F, 0x90, 0x00, 0x01, 0x01}));

    InPacket in;
    Load(in, out);
    EXPECT_EQ(ReadPortMapEntry(in), e);

    // type and op must not be swapped on the way back either.
    PortMapEntry udp{53, 0, 1, 0};
    UdpOutPacket out2;
    WritePortMapEntry(out2, udp);
    EXPECT_EQ(Bytes(out2), (std::vector<uint8_t>{0x00, 0x35, 0x01, 0x00, 0x00}));
    InPacket in2;
    Load(in2, out2);
    EXPECT_EQ(ReadPortMapEntry(in2), udp);
}

TEST(DomainRecordWire, EmptyRecordIs28BytesWithHostIdAfterReserved4)
{
    DomainRecord r;
    r.hostid = 258;
    UdpOutPacket out;
    ASSERT_TRUE(WriteDomainRecord(out, r));
    ASSERT_EQ(out.Size(), kEmptyDomainRecordWireSize);
    EXPECT_EQ(DomainRecordWireSize(r), 28u);
    const std::vector<uint8_t> expected = {
        0, 1, 0,     // domain
        0, 1, 0,     // reserved1
        0, 0, 0, 0,  // reserved2
        0, 1, 0,     // reserved3
        0,           // reserved4
        0, 0, 1, 2,  // hostid 258
        0, 1, 0,     // data
        0, 0,        // reserved5
        0, 0, 0, 0,  // reserved6
        0,           // enabled
    };
    EXPECT_EQ(Bytes(out), expected);
}

TEST(DomainRecordWire, EveryFieldSurvivesARoundTripInOrder)
{
    const DomainRecord r = Sample(0x01020304);
    UdpOutPacket out;
    ASSERT_TRUE(WriteDomainRecord(out, r));
    EXPECT_EQ(static_cast<size_t>(out.Size()), DomainRecordWireSize(r));
    InPacket in;
    Load(in, out);
    EXPECT_TRUE(SameRecord(ReadDomainRecord(in), r));
    EXPECT_EQ(in.Remaining(), 0);
}

TEST(DomainRecordWire, RecordIsWrittenWholeOrNotAtAll)
{
    const DomainRecord r = Sample(7);
    const int size = static_cast<int>(DomainRecordWireSize(r));
    UdpOutPacket out;
    std::vector<uint8_t> pad(static_cast<size_t>(kPacketCapacity - size + 1), 0);
    out.WriteRaw(pad.data(), static_cast<int>(pad.size()));
    EXPECT_FALSE(WriteDomainRecord(out, r));
    EXPECT_EQ(out.Size(), static_cast<int>(pad.size()));

    DomainRecord tooLong;
    tooLong.domain.assign(70000, 'x');
    LargeOutPacket large;
    EXPECT_FALSE(WriteDomainRecord(large, tooLong));
    EXPECT_EQ(large.Size(), 0);
}

TEST(NetInfoWire, NumbersThenLocation)
{
    NetInfo info;
    info.dyip = static_cast<int32_t>(0xC0A80102u);  // 192.168.1.2
    info.nettype = 3;
    UdpOutPacket out;
    ASSERT_TRUE(WriteNetInfo(out, info));
    EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0xC0, 0xA8, 1, 2, 0, 0, 0, 3, 0, 1, 0}));
    info.netlocation = "Shanghai";
    UdpOutPacket out2;
    WriteNetInfo(out2, info);
    InPacket in;
    Load(in, out2);
    const NetInfo back = ReadNetInfo(in);
    EXPECT_EQ(back.dyip, info.dyip);
    EXPECT_EQ(back.nettype, 3);
    EXPECT_EQ(back.netlocation, "Shanghai");
}

TEST(ListsWire, AnnouncedCountIsReadWhateverTheDatagramHolds)
{
    UdpOutPacket out;
    out.WriteU16Host(3);
    WriteDomainRecord(out, Sample(11));
    WriteDomainRecord(out, Sample(12));
    InPacket in;
    Load(in, out);
    const std::vector<DomainRecord> list = ReadDomainList(in);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(SameRecord(list[0], Sample(11)));
    EXPECT_TRUE(SameRecord(list[1], Sample(12)));
    EXPECT_TRUE(SameRecord(list[2], DomainRecord{}));

    // A record cut short keeps what arrived and zeroes the rest.
    UdpOutPacket cut;
    cut.WriteU16Host(1);
    cut.WriteString("partial.example");
    InPacket in2;
    Load(in2, cut);
    const std::vector<DomainRecord> partial = ReadDomainList(in2);
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].domain, "partial.example");
    EXPECT_EQ(partial[0].hostid, 0u);

    UdpOutPacket ports;
    ports.WriteU16Host(2);
    WritePortMapEntry(ports, PortMapEntry{80, 1, 0, 1});
    InPacket in3;
    Load(in3, ports);
    const std::vector<PortMapEntry> entries = ReadPortList(in3);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], (PortMapEntry{80, 1, 0, 1}));
    EXPECT_EQ(entries[1], PortMapEntry{});
}

TEST(ListsWire, WriterSendsOnlyWholeRecordsAndCountsThem)
{
    // A reply datagram: header, ok byte, list. More records than fit.
    std::vector<DomainRecord> many;
    for (uint32_t i = 1; i <= 100; ++i)
        many.push_back(Sample(i));
    UdpOutPacket out;
    PacketHeader::Reply(0).Write(out);
    out.WriteU8(1);
    const int written = WriteDomainList(out, many);
    const int perRecord = static_cast<int>(DomainRecordWireSize(Sample(1)));
    EXPECT_EQ(written, (kPacketCapacity - 21 - 2) / perRecord);
    EXPECT_LT(out.Room(), perRecord);

    UdpInPacket in;
    in.SetData(out.Data(), out.Size());
    ASSERT_TRUE(in.HasHeader());
    EXPECT_EQ(in.ReadU8(), 1);
    const std::vector<DomainRecord> back = ReadDomainList(in);
    ASSERT_EQ(back.size(), static_cast<size_t>(written));
    for (int i = 0; i < written; ++i)
        EXPECT_TRUE(SameRecord(back[static_cast<size_t>(i)], many[static_cast<size_t>(i)])) << i;
    EXPECT_EQ(in.Remaining(), 0);

    // No room for the count: nothing at all.
    UdpOutPacket full;
    std::vector<uint8_t> pad(kPacketCapacity - 1, 0);
    full.WriteRaw(pad.data(), static_cast<int>(pad.size()));
    EXPECT_EQ(WritePortList(full, {PortMapEntry{}}), 0);
    EXPECT_EQ(full.Room(), 1);
}

TEST(ListsWire, LargePacketsCarryLongListsAndReadThemBack)
{
    std::vector<PortMapEntry> entries;
    for (uint16_t p = 1; p <= 3000; ++p)
        entries.push_back(PortMapEntry{p, static_cast<uint8_t>(p & 1), static_cast<uint8_t>(p % 3 == 0), 1});
    LargeOutPacket out;
    EXPECT_EQ(WritePortList(out, entries), 3000);
    EXPECT_EQ(out.Size(), 2 + 3000 * kPortMapEntryWireSize);

    LargeInPacket in(out.Data(), out.Size());
    EXPECT_EQ(ReadPortList(in), entries);
    EXPECT_TRUE(in.Remaining().empty());

    LargeOutPacket recs;
    WriteDomainList(recs, {Sample(1), Sample(2)});
    WriteNetInfo(recs, NetInfo{5, 6, "loc"});
    LargeInPacket rin(recs.Data(), recs.Size());
    const std::vector<DomainRecord> list = ReadDomainList(rin);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(SameRecord(list[1], Sample(2)));
    EXPECT_EQ(ReadNetInfo(rin).netlocation, "loc");
}

}  // namespace
