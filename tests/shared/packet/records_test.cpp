#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "shared/packet/large_packet.h"
#include "shared/packet/packet.h"
#include "shared/packet/records.h"
#include "shared/packet/status_records.h"

namespace {

std::vector<uint8_t> Bytes(const OutPacket& p)
{
    return {p.Data(), p.Data() + p.Size()};
}

void Load(InPacket& in, const OutPacket& out)
{
    in.SetData(out.Data(), out.Size());
}

bool Same(const DomainRecord& a, const DomainRecord& b)
{
    return a.domain == b.domain && a.reserved1 == b.reserved1 && a.reserved2 == b.reserved2 &&
           a.reserved3 == b.reserved3 && a.reserved4 == b.reserved4 && a.hostid == b.hostid && a.data == b.data &&
           a.reserved5 == b.reserved5 && a.reserved6 == b.reserved6 && a.enabled == b.enabled;
}

// Every field distinct, so a swapped pair shows. Same size for every hostid.
DomainRecord Sample(uint32_t hostid)
{
    return DomainRecord{"host" + std::to_string(100000 + hostid) + ".example.net",
                        "r1",
                        0xA1B2C3D4,
                        "r3",
                        0x44,
                        hostid,
                        "203.0.113.7",
                        0x5566,
                        0x778899AA,
                        1};
}

TEST(RecordWire, PortMapEntryIsPortTypeOpAllow)
{
    UdpOutPacket out;
    ASSERT_TRUE(WritePortMapEntry(out, PortMapEntry{8080, /*op*/ 1, /*type*/ 0, /*allow*/ 1}));
    ASSERT_TRUE(WritePortMapEntry(out, PortMapEntry{53, 0, 1, 0}));
    EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0x1F, 0x90, 0, 1, 1, 0, 0x35, 1, 0, 0}));
    InPacket in;
    Load(in, out);
    EXPECT_EQ(ReadPortMapEntry(in), (PortMapEntry{8080, 1, 0, 1}));
    EXPECT_EQ(ReadPortMapEntry(in), (PortMapEntry{53, 0, 1, 0}));
}

TEST(RecordWire, EmptyDomainRecordIs28BytesWithHostIdAfterReserved4)
{
    DomainRecord r;
    r.hostid = 258;
    UdpOutPacket out;
    ASSERT_TRUE(WriteDomainRecord(out, r));
    EXPECT_EQ(DomainRecordWireSize(r), static_cast<size_t>(kEmptyDomainRecordWireSize));
    EXPECT_EQ(Bytes(out), (std::vector<uint8_t>{0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0,  // .. reserved4
                                                0, 0, 1, 2,                                // hostid
                                                0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RecordWire, RecordsRoundTripAndAreWrittenWholeOrNotAtAll)
{
    UdpOutPacket out;
    ASSERT_TRUE(WriteDomainRecord(out, Sample(0x01020304)));
    ASSERT_TRUE(WriteNetInfo(out, NetInfo{static_cast<int32_t>(0xC0A80102u), 3, "Shanghai"}));
    InPacket in;
    Load(in, out);
    EXPECT_TRUE(Same(ReadDomainRecord(in), Sample(0x01020304)));
    const NetInfo info = ReadNetInfo(in);
    EXPECT_EQ(static_cast<uint32_t>(info.dyip), 0xC0A80102u);
    EXPECT_EQ(info.nettype, 3);
    EXPECT_EQ(info.netlocation, "Shanghai");
    EXPECT_FALSE(info.reportsIPv6);
    EXPECT_EQ(in.Remaining(), 0);

    // The IPv6 tail: read back by a reader that knows it, skipped by one that stops after the text.
    NetInfo six{7, 0, "interface eth0"};
    six.reportsIPv6 = true;
    six.dyip6[0] = 0x20;
    six.dyip6[15] = 0x07;
    UdpOutPacket tail;
    ASSERT_TRUE(WriteNetInfo(tail, six));
    EXPECT_EQ(tail.Size(), int(NetInfoWireSize(six)));
    Load(in, tail);
    const NetInfo back = ReadNetInfo(in);
    EXPECT_TRUE(back.reportsIPv6 && back.dyip6 == six.dyip6 && back.netlocation == six.netlocation);

    // One byte short of a whole record: nothing of it is written.
    UdpOutPacket tight;
    tight.Skip(kPacketCapacity - static_cast<int>(DomainRecordWireSize(Sample(1))) + 1);
    const int before = tight.Size();
    EXPECT_FALSE(WriteDomainRecord(tight, Sample(1)));
    EXPECT_EQ(tight.Size(), before);
    // A text its 16-bit prefix cannot count is refused even where room is no object.
    DomainRecord huge;
    huge.data.assign(70000, 'x');
    LargeOutPacket large;
    EXPECT_FALSE(WriteDomainRecord(large, huge));
    EXPECT_EQ(large.Size(), 0);
}

TEST(ListWire, ReaderDeliversTheAnnouncedCountWhateverTheDatagramHolds)
{
    UdpOutPacket out;
    out.WriteU16Host(3);
    WriteDomainRecord(out, Sample(11));
    WriteDomainRecord(out, Sample(12));
    InPacket in;
    Load(in, out);
    const std::vector<DomainRecord> list = ReadDomainList(in);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE(Same(list[1], Sample(12)));
    EXPECT_TRUE(Same(list[2], DomainRecord{}));
    // Into a kept list: nothing of its earlier records survives, however long it was.
    std::vector<DomainRecord> kept(5, Sample(99));
    in.SetData(out.Data(), out.Size());
    ReadDomainList(in, kept);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_TRUE(Same(kept[0], Sample(11)));
    EXPECT_TRUE(Same(kept[2], DomainRecord{}));

    UdpOutPacket cut;  // a record cut short keeps what arrived
    cut.WriteU16Host(2);
    cut.WriteString("partial.example");
    Load(in, cut);
    const std::vector<DomainRecord> partial = ReadDomainList(in);
    ASSERT_EQ(partial.size(), 2u);
    EXPECT_EQ(partial[0].domain, "partial.example");
    EXPECT_EQ(partial[0].hostid, 0u);

    UdpOutPacket ports;
    ports.WriteU16Host(2);
    WritePortMapEntry(ports, PortMapEntry{80, 1, 0, 1});
    Load(in, ports);
    EXPECT_EQ(ReadPortList(in), (std::vector<PortMapEntry>{{80, 1, 0, 1}, {}}));
}

TEST(ListWire, WriterSendsOnlyWholeRecordsAndCountsThem)
{
    std::vector<DomainRecord> many;
    for (uint32_t i = 1; i <= 100; ++i)
        many.push_back(Sample(i));
    UdpOutPacket out;
    PacketHeader::Reply(0).Write(out);
    out.WriteU8(1);
    const int written = WriteDomainList(out, many);
    const int perRecord = static_cast<int>(DomainRecordWireSize(Sample(1)));
    EXPECT_EQ(written, (kPacketCapacity - 21 - 2) / perRecord);

    UdpInPacket in;
    in.SetData(out.Data(), out.Size());
    in.ReadU8();
    const std::vector<DomainRecord> back = ReadDomainList(in);
    ASSERT_EQ(back.size(), static_cast<size_t>(written));
    EXPECT_TRUE(Same(back.back(), many[back.size() - 1]));
    EXPECT_EQ(in.Remaining(), 0);

    UdpOutPacket full;  // no room for the count: nothing at all
    full.Skip(kPacketCapacity - 1);
    EXPECT_EQ(WritePortList(full, {PortMapEntry{}}), 0);
    EXPECT_EQ(full.Room(), 1);

    // Large packets carry what no datagram could.
    std::vector<PortMapEntry> entries(3000, PortMapEntry{8080, 1, 1, 0});
    LargeOutPacket large;
    EXPECT_EQ(WritePortList(large, entries), 3000);
    LargeInPacket largeIn(large.Data(), large.Size());
    EXPECT_EQ(ReadPortList(largeIn), entries);
}

}  // namespace

// The later replies: a status list longer than a datagram announces only the hosts it carries, each
// whole; settings that do not fit are written not at all; a wild count reads no further than the bytes.
TEST(ListWire, HostStatusAndSettingsWholeOrNotAtAll)
{
    std::vector<HostStatus> many(200, HostStatus{7, kHostFailing, 0xCB007107, "2001:db8::1", 1, 2, "why"});
    UdpOutPacket out;
    const int fit = WriteHostStatusList(out, many);
    EXPECT_GT(fit, 0);
    EXPECT_LT(fit, 200);
    InPacket in;
    Load(in, out);
    std::vector<HostStatus> back = ReadHostStatusList(in);
    ASSERT_EQ(static_cast<int>(back.size()), fit);
    EXPECT_EQ(back.back().reason, "why");
    EXPECT_EQ(back.back().ipv6, "2001:db8::1");
    EXPECT_EQ(in.Remaining(), 0);

    const uint8_t wild[] = {0xFF, 0xFF, 0, 0, 0, 7};
    InPacket junk;
    junk.SetData(wild, sizeof wild);
    EXPECT_LE(ReadHostStatusList(junk).size(), 4u);

    ProviderSettings s;
    s.hosts.assign(40, "a.example.net");  // more than a list may hold
    UdpOutPacket settings;
    EXPECT_FALSE(WriteProviderSettings(settings, s));
    EXPECT_EQ(settings.Size(), 0);
    s.hosts.resize(3);
    s.password = "pw";
    ASSERT_TRUE(WriteProviderSettings(settings, s));
    InPacket read;
    Load(read, settings);
    ProviderSettings got = ReadProviderSettings(read);
    EXPECT_EQ(got.hosts.size(), 3u);
    EXPECT_EQ(got.password, "pw");
    EXPECT_TRUE(got.router && got.checkIpDefaults);
}
