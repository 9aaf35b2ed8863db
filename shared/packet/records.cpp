#include "shared/packet/records.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "shared/packet/large_packet.h"
#include "shared/packet/packet.h"

namespace {

constexpr std::size_t kMaxText = 0xFFFE;  // the prefix counts the terminator in 16 bits
constexpr std::size_t kMaxCount = 0xFFFF;

std::size_t StringWireSize(const std::string& text)
{
    return 2 + text.size() + 1;
}

uint8_t* Claim(OutPacket& out, std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX) ? out.Claim(static_cast<int>(n)) : nullptr;
}

uint8_t* Claim(LargeOutPacket& out, std::size_t n)
{
    return n <= static_cast<std::size_t>(INT_MAX) ? out.Claim(static_cast<int>(n)) : nullptr;
}

// Encodes into room already claimed, so a record costs one room check.
struct Emitter {
    uint8_t* at;

    void U8(uint8_t v) { *at++ = v; }
    void U16(uint16_t v)
    {
        *at++ = static_cast<uint8_t>(v >> 8);
        *at++ = static_cast<uint8_t>(v);
    }
    void U32(uint32_t v)
    {
        U16(static_cast<uint16_t>(v >> 16));
        U16(static_cast<uint16_t>(v));
    }
    void Text(const std::string& text)
    {
        U16(static_cast<uint16_t>(text.size() + 1));
        std::memcpy(at, text.data(), text.size());
        at += text.size();
        *at++ = 0;
    }
};

// A string field up to its first 0 byte, assigned in place.
template <class In>
void ReadText(In& in, std::string& out)
{
    const std::string_view view = in.ReadStringView();
    out.assign(view.data(), std::min(view.find('\0'), view.size()));
}

bool Writable(const DomainRecord& r)
{
    return r.domain.size() <= kMaxText && r.reserved1.size() <= kMaxText && r.reserved3.size() <= kMaxText &&
           r.data.size() <= kMaxText;
}

template <class Out>
bool WriteDomainRecordTo(Out& out, const DomainRecord& r)
{
    if (!Writable(r))
        return false;
    uint8_t* at = Claim(out, DomainRecordWireSize(r));
    if (!at)
        return false;
    Emitter e{at};
    e.Text(r.domain);
    e.Text(r.reserved1);
    e.U32(r.reserved2);
    e.Text(r.reserved3);
    e.U8(r.reserved4);
    e.U32(r.hostid);
    e.Text(r.data);
    e.U16(r.reserved5);
    e.U32(r.reserved6);
    e.U8(r.enabled);
    return true;
}

template <class In>
void ReadDomainRecordInto(In& in, DomainRecord& r)
{
    ReadText(in, r.domain);
    ReadText(in, r.reserved1);
    r.reserved2 = in.ReadU32Host();
    ReadText(in, r.reserved3);
    r.reserved4 = in.ReadU8();
    r.hostid = in.ReadU32Host();
    ReadText(in, r.data);
    r.reserved5 = in.ReadU16Host();
    r.reserved6 = in.ReadU32Host();
    r.enabled = in.ReadU8();
}

template <class In>
DomainRecord ReadDomainRecordFrom(In& in)
{
    DomainRecord r;
    ReadDomainRecordInto(in, r);
    return r;
}

template <class Out>
bool WritePortMapEntryTo(Out& out, const PortMapEntry& e)
{
    uint8_t* at = Claim(out, kPortMapEntryWireSize);
    if (!at)
        return false;
    Emitter w{at};
    w.U16(e.port);
    w.U8(e.type);
    w.U8(e.op);
    w.U8(e.allow);
    return true;
}

template <class In>
void ReadPortMapEntryInto(In& in, PortMapEntry& e)
{
    e.port = in.ReadU16Host();
    e.type = in.ReadU8();
    e.op = in.ReadU8();
    e.allow = in.ReadU8();
}

template <class In>
PortMapEntry ReadPortMapEntryFrom(In& in)
{
    PortMapEntry e;
    ReadPortMapEntryInto(in, e);
    return e;
}

template <class Out>
bool WriteNetInfoTo(Out& out, const NetInfo& info)
{
    if (info.netlocation.size() > kMaxText)
        return false;
    uint8_t* at = Claim(out, NetInfoWireSize(info));
    if (!at)
        return false;
    Emitter e{at};
    e.U32(static_cast<uint32_t>(info.dyip));
    e.U32(static_cast<uint32_t>(info.nettype));
    e.Text(info.netlocation);
    if (info.reportsIPv6)
        std::memcpy(e.at, info.dyip6.data(), info.dyip6.size());
    return true;
}

template <class In>
NetInfo ReadNetInfoFrom(In& in)
{
    NetInfo info;
    info.dyip = static_cast<int32_t>(in.ReadU32Host());
    info.nettype = static_cast<int32_t>(in.ReadU32Host());
    ReadText(in, info.netlocation);
    info.reportsIPv6 = in.ReadRaw(info.dyip6.data(), static_cast<int>(info.dyip6.size()));
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
    if (out.Room() < 2)
        return 0;
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
    const std::size_t n = FittingCount(out, items);
    uint8_t* countAt = Claim(out, 2);
    if (!countAt)
        return 0;
    Emitter{countAt}.U16(static_cast<uint16_t>(n));
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

template <class T, class In, class ReadInto>
std::vector<T> ReadList(In& in, ReadInto readInto)
{
    const uint16_t n = in.ReadU16Host();
    std::vector<T> items;
    items.reserve(n);
    while (items.size() < n) {
        if (Exhausted(in)) {
            items.resize(n);  // nothing left to read: the rest are cleared records
            break;
        }
        // Built here and moved in: a value-initialised element would be zero-filled first.
        T item;
        readInto(in, item);
        items.push_back(std::move(item));
    }
    return items;
}

}  // namespace

std::size_t DomainRecordWireSize(const DomainRecord& r)
{
    return StringWireSize(r.domain) + StringWireSize(r.reserved1) + 4 + StringWireSize(r.reserved3) + 1 + 4 +
           StringWireSize(r.data) + 2 + 4 + 1;
}

std::size_t NetInfoWireSize(const NetInfo& info)
{
    return 4 + 4 + StringWireSize(info.netlocation) + (info.reportsIPv6 ? info.dyip6.size() : 0);
}

bool WriteDomainRecord(OutPacket& out, const DomainRecord& r)
{
    return WriteDomainRecordTo(out, r);
}
bool WriteDomainRecord(LargeOutPacket& out, const DomainRecord& r)
{
    return WriteDomainRecordTo(out, r);
}
DomainRecord ReadDomainRecord(InPacket& in)
{
    return ReadDomainRecordFrom(in);
}
DomainRecord ReadDomainRecord(LargeInPacket& in)
{
    return ReadDomainRecordFrom(in);
}

bool WritePortMapEntry(OutPacket& out, const PortMapEntry& e)
{
    return WritePortMapEntryTo(out, e);
}
bool WritePortMapEntry(LargeOutPacket& out, const PortMapEntry& e)
{
    return WritePortMapEntryTo(out, e);
}
PortMapEntry ReadPortMapEntry(InPacket& in)
{
    return ReadPortMapEntryFrom(in);
}
PortMapEntry ReadPortMapEntry(LargeInPacket& in)
{
    return ReadPortMapEntryFrom(in);
}

bool WriteNetInfo(OutPacket& out, const NetInfo& info)
{
    return WriteNetInfoTo(out, info);
}
bool WriteNetInfo(LargeOutPacket& out, const NetInfo& info)
{
    return WriteNetInfoTo(out, info);
}
NetInfo ReadNetInfo(InPacket& in)
{
    return ReadNetInfoFrom(in);
}
NetInfo ReadNetInfo(LargeInPacket& in)
{
    return ReadNetInfoFrom(in);
}

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
    return ReadList<DomainRecord>(in, [](InPacket& i, DomainRecord& r) { ReadDomainRecordInto(i, r); });
}

void ReadDomainList(InPacket& in, std::vector<DomainRecord>& into)
{
    const uint16_t n = in.ReadU16Host();
    into.resize(n);
    for (DomainRecord& r : into) {
        if (Exhausted(in))
            r = DomainRecord{};
        else
            ReadDomainRecordInto(in, r);
    }
}

std::vector<DomainRecord> ReadDomainList(LargeInPacket& in)
{
    return ReadList<DomainRecord>(in, [](LargeInPacket& i, DomainRecord& r) { ReadDomainRecordInto(i, r); });
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
    return ReadList<PortMapEntry>(in, [](InPacket& i, PortMapEntry& r) { ReadPortMapEntryInto(i, r); });
}

std::vector<PortMapEntry> ReadPortList(LargeInPacket& in)
{
    return ReadList<PortMapEntry>(in, [](LargeInPacket& i, PortMapEntry& r) { ReadPortMapEntryInto(i, r); });
}
