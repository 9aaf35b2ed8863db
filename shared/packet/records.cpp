#include "shared/packet/records.h"

#include <climits>

#include "shared/packet/large_packet.h"
#include "shared/packet/packet.h"

namespace {

constexpr std::size_t kMaxText = 0xFFFE;  // the prefix counts the terminator in 16 bits
constexpr std::size_t kMaxCount = 0xFFFF;

std::size_t StringWireSize(const std::string& text)
{
    return 2 + text.size() + 1;
}

bool Fits(OutPacket& out, std::size_t n)
{
    return n <= static_cast<std::size_t>(out.Room());
}

bool Fits(LargeOutPacket& out, std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX) && out.Reserve(static_cast<int>(n));
}

bool Writable(const DomainRecord& r)
{
    return r.domain.size() <= kMaxText && r.reserved1.size() <= kMaxText &&
           r.reserved3.size() <= kMaxText && r.data.size() <= kMaxText;
}

template <class Out>
bool WriteDomainRecordTo(Out& out, const DomainRecord& r)
{
    if (!Writable(r) || !Fits(out, DomainRecordWireSize(r)))
        return false;
    out.WriteString(r.domain);
    out.WriteString(r.reserved1);
    out.WriteU32Host(r.reserved2);
    out.WriteString(r.reserved3);
    out.WriteU8(r.reserved4);
    out.WriteU32Host(r.hostid);
    out.WriteString(r.data);
    out.WriteU16Host(r.reserved5);
    out.WriteU32Host(r.reserved6);
    out.WriteU8(r.enabled);
    return true;
}

template <class In>
DomainRecord ReadDomainRecordFrom(In& in)
{
    DomainRecord r;
    r.domain = in.ReadString();
    r.reserved1 = in.ReadString();
    r.reserved2 = in.ReadU32Host();
    r.reserved3 = in.ReadString();
    r.reserved4 = in.ReadU8();
    r.hostid = in.ReadU32Host();
    r.data = in.ReadString();
    r.reserved5 = in.ReadU16Host();
    r.reserved6 = in.ReadU32Host();
    r.enabled = in.ReadU8();
    return r;
}

template <class Out>
bool WritePortMapEntryTo(Out& out, const PortMapEntry& e)
{
    if (!Fits(out, kPortMapEntryWireSize))
        return false;
    out.WriteU16Host(e.port);
    out.WriteU8(e.type);
    out.WriteU8(e.op);
    out.WriteU8(e.allow);
    return true;
}

template <class In>
PortMapEntry ReadPortMapEntryFrom(In& in)
{
    PortMapEntry e;
    e.port = in.ReadU16Host();
    e.type = in.ReadU8();
    e.op = in.ReadU8();
    e.allow = in.ReadU8();
    return e;
}

template <class Out>
bool WriteNetInfoTo(Out& out, const NetInfo& info)
{
    if (info.netlocation.size() > kMaxText || !Fits(out, NetInfoWireSize(info)))
        return false;
    out.WriteU32Host(static_cast<uint32_t>(info.dyip));
    out.WriteU32Host(static_cast<uint32_t>(info.nettype));
    out.WriteString(info.netlocation);
    return true;
}

template <class In>
NetInfo ReadNetInfoFrom(In& in)
{
    NetInfo info;
    info.dyip = static_cast<int32_t>(in.ReadU32Host());
    info.nettype = static_cast<int32_t>(in.ReadU32Host());
    info.netlocation = in.ReadString();
    return info;
}

std::size_t WireSize(const DomainRecord& r)
{
    return Writable(r) ? DomainRecordWireSize(r) : static_cast<std::size_t>(-1);
}

std::size_t WireSize(const PortMapEntry&)
{
    return kPortMapEntryWireSize;
}

// How many leading records go out: all that fit after the count, stopping at the first that
// does not (so the list keeps its order and has no holes).
template <class T>
std::size_t FittingCount(OutPacket& out, const std::vector<T>& items)
{
    std::size_t room = static_cast<std::size_t>(out.Room()) - 2;
    std::size_t n = 0;
    for (const T& item : items) {
        const std::size_t size = WireSize(item);
        if (n == kMaxCount || size > room)
            break;
        room -= size;
        ++n;
    }
    return n;
}

template <class T>
std::size_t FittingCount(LargeOutPacket& out, const std::vector<T>& items)
{
    std::size_t total = 2;
    std::size_t n = 0;
    for (const T& item : items) {
        const std::size_t size = WireSize(item);
        if (n == kMaxCount || size > static_cast<std::size_t>(INT_MAX) - total)
            break;
        total += size;
        ++n;
    }
    // Grow once for the whole list; without the memory, send an empty list rather than part.
    return out.Reserve(static_cast<int>(total)) ? n : 0;
}

template <class Out, class T, class WriteOne>
int WriteList(Out& out, const std::vector<T>& items, WriteOne writeOne)
{
    if (!Fits(out, 2))
        return 0;
    const std::size_t n = FittingCount(out, items);
    out.WriteU16Host(static_cast<uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i)
        writeOne(out, items[i]);
    return static_cast<int>(n);
}

bool Exhausted(const InPacket& in)
{
    return in.Remaining() <= 0;
}

bool Exhausted(const LargeInPacket& in)
{
    return in.Remaining().empty();
}

template <class In, class ReadOne>
auto ReadList(In& in, ReadOne readOne)
{
    const uint16_t n = in.ReadU16Host();
    std::vector<decltype(readOne(in))> items;
    items.reserve(n);
    for (uint16_t i = 0; i < n; ++i) {
        if (Exhausted(in)) {
            // Nothing left to read: the rest are cleared records.
            items.resize(n);
            break;
        }
        items.push_back(readOne(in));
    }
    return items;
}

}  // namespace

std::size_t DomainRecordWireSize(const DomainRecord& r)
{
    return StringWireSize(r.domain) + StringWireSize(r.reserved1) + 4 + StringWireSize(r.reserved3) +
           1 + 4 + StringWireSize(r.data) + 2 + 4 + 1;
}

std::size_t NetInfoWireSize(const NetInfo& info)
{
    return 4 + 4 + StringWireSize(info.netlocation);
}

bool WriteDomainRecord(OutPacket& out, const DomainRecord& r) { return WriteDomainRecordTo(out, r); }
bool WriteDomainRecord(LargeOutPacket& out, const DomainRecord& r) { return WriteDomainRecordTo(out, r); }
DomainRecord ReadDomainRecord(InPacket& in) { return ReadDomainRecordFrom(in); }
DomainRecord ReadDomainRecord(LargeInPacket& in) { return ReadDomainRecordFrom(in); }

bool WritePortMapEntry(OutPacket& out, const PortMapEntry& e) { return WritePortMapEntryTo(out, e); }
bool WritePortMapEntry(LargeOutPacket& out, const PortMapEntry& e) { return WritePortMapEntryTo(out, e); }
PortMapEntry ReadPortMapEntry(InPacket& in) { return ReadPortMapEntryFrom(in); }
PortMapEntry ReadPortMapEntry(LargeInPacket& in) { return ReadPortMapEntryFrom(in); }

bool WriteNetInfo(OutPacket& out, const NetInfo& info) { return WriteNetInfoTo(out, info); }
bool WriteNetInfo(LargeOutPacket& out, const NetInfo& info) { return WriteNetInfoTo(out, info); }
NetInfo ReadNetInfo(InPacket& in) { return ReadNetInfoFrom(in); }
NetInfo ReadNetInfo(LargeInPacket& in) { return ReadNetInfoFrom(in); }

int WriteDomainList(OutPacket& out, const std::vector<DomainRecord>& records)
{
    return WriteList(out, records, [](OutPacket& o, const DomainRecord& r) { WriteDomainRecordTo(o, r); });
}

int WriteDomainList(LargeOutPacket& out, const std::vector<DomainRecord>& records)
{
    return WriteList(out, records, [](LargeOutPacket& o, const DomainRecord& r) { WriteDomainRecordTo(o, r); });
}

std::vector<DomainRecord> ReadDomainList(InPacket& in)
{
    return ReadList(in, [](InPacket& i) { return ReadDomainRecordFrom(i); });
}

std::vector<DomainRecord> ReadDomainList(LargeInPacket& in)
{
    return ReadList(in, [](LargeInPacket& i) { return ReadDomainRecordFrom(i); });
}

int WritePortList(OutPacket& out, const std::vector<PortMapEntry>& entries)
{
    return WriteList(out, entries, [](OutPacket& o, const PortMapEntry& e) { WritePortMapEntryTo(o, e); });
}

int WritePortList(LargeOutPacket& out, const std::vector<PortMapEntry>& entries)
{
    return WriteList(out, entries, [](LargeOutPacket& o, const PortMapEntry& e) { WritePortMapEntryTo(o, e); });
}

std::vector<PortMapEntry> ReadPortList(InPacket& in)
{
    return ReadList(in, [](InPacket& i) { return ReadPortMapEntryFrom(i); });
}

std::vector<PortMapEntry> ReadPortList(LargeInPacket& in)
{
    return ReadList(in, [](LargeInPacket& i) { return ReadPortMapEntryFrom(i); });
}
