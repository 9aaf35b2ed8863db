#pragma once
// The records both programs exchange over the control channel, with their wire forms.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

class OutPacket;
class InPacket;
class LargeOutPacket;
class LargeInPacket;

// One dynamic domain name of the account. Wire order = member order.
struct DomainRecord {
    std::string domain;
    std::string reserved1;
    uint32_t reserved2 = 0;
    std::string reserved3;
    uint8_t reserved4 = 0;
    uint32_t hostid = 0;
    std::string data;
    uint16_t reserved5 = 0;
    uint32_t reserved6 = 0;
    uint8_t enabled = 0;
};

// Protocol of a port mapping; one byte on the wire.
enum PortProtocol : uint8_t { kProtocolTcp = 0, kProtocolUdp = 1 };

// "TCP" or "UDP"; null for any other value.
inline const char* PortProtocolName(uint8_t protocol)
{
    return protocol == kProtocolTcp ? "TCP" : protocol == kProtocolUdp ? "UDP" : nullptr;
}

// One router port mapping. In memory: port, op, type, allow. On the wire (5 bytes): port, type, op, allow.
struct PortMapEntry {
    uint16_t port = 0;
    uint8_t op = 0;               // 1 = mapped, 0 = not
    uint8_t type = kProtocolTcp;  // a PortProtocol
    uint8_t allow = 0;            // 1 = restore at start and on address change
};

inline bool operator==(const PortMapEntry& a, const PortMapEntry& b)
{
    return a.port == b.port && a.op == b.op && a.type == b.type && a.allow == b.allow;
}

// Network types of NetInfo::nettype, with their names: the one morvanectl prints and the number
// of the desktop program's text for it (gui/strings.h). Indexed by code.
struct NetTypeNames {
    const char* name;
    int textId;
};

inline constexpr NetTypeNames kNetTypes[] = {
    {"unknown", 116},   {"dynamic", 117}, {"China Telecom", 113},     {"China Netcom", 114},
    {"education", 118}, {"foreign", 119}, {"carrier-grade NAT", 154},
};

// A machine whose only address is private or shared (100.64.0.0/10): it is behind carrier-grade NAT,
// and no address is pushed for it. Reported for dyndns2 accounts.
inline constexpr int32_t kNetTypeCarrierGradeNat = 6;

// Names of a network type; null for a code outside the table.
inline const NetTypeNames* FindNetType(int32_t code)
{
    return code >= 0 && static_cast<size_t>(code) < std::size(kNetTypes) ? &kNetTypes[code] : nullptr;
}

// The machine's public address and network as the web service reports them; a dyndns2 account that
// keeps IPv6 names current also reports the machine's IPv6 address.
struct NetInfo {
    int32_t dyip = 0;     // first octet in the most significant byte; 0 = unknown
    int32_t nettype = 0;  // index into kNetTypes
    std::string netlocation;
    bool reportsIPv6 = false;         // the account uses IPv6: dyip6 is on the wire
    std::array<uint8_t, 16> dyip6{};  // network order; all zero = none now
};

// ---------------------------------------------------------------------------------------------
// Wire forms. Numbers are big-endian, texts are strings (u16 length + 1, the bytes, a 0 byte).
//
// A record writer appends the whole record or nothing (false when it does not fit, or when a
// text is too long for its 16-bit prefix), so a reader never meets half a record followed by
// unrelated bytes. A record reader always yields a record: fields missing from the datagram
// read as 0 or empty.
//
// Lists travel as a u16 count and that many records. A list writer writes only whole records:
// as many as fit, with the count saying how many, and returns that number (0 with nothing
// written when not even the count fits). A list reader reads the announced number of records
// whatever the datagram holds.

constexpr int kPortMapEntryWireSize = 5;
constexpr int kEmptyDomainRecordWireSize = 28;

std::size_t DomainRecordWireSize(const DomainRecord& record);
std::size_t NetInfoWireSize(const NetInfo& info);

bool WriteDomainRecord(OutPacket& out, const DomainRecord& record);
bool WriteDomainRecord(LargeOutPacket& out, const DomainRecord& record);
DomainRecord ReadDomainRecord(InPacket& in);
DomainRecord ReadDomainRecord(LargeInPacket& in);

// port (u16), type (u8), op (u8), allow (u8): not the memory order.
bool WritePortMapEntry(OutPacket& out, const PortMapEntry& entry);
bool WritePortMapEntry(LargeOutPacket& out, const PortMapEntry& entry);
PortMapEntry ReadPortMapEntry(InPacket& in);
PortMapEntry ReadPortMapEntry(LargeInPacket& in);

// dyip (u32), nettype (u32), netlocation (string); then, with reportsIPv6, dyip6 (16 bytes), a tail
// that older readers never look at. A reader finding 16 more bytes sets reportsIPv6.
bool WriteNetInfo(OutPacket& out, const NetInfo& info);
bool WriteNetInfo(LargeOutPacket& out, const NetInfo& info);
NetInfo ReadNetInfo(InPacket& in);
NetInfo ReadNetInfo(LargeInPacket& in);

int WriteDomainList(OutPacket& out, const std::vector<DomainRecord>& records);
int WriteDomainList(LargeOutPacket& out, const std::vector<DomainRecord>& records);
std::vector<DomainRecord> ReadDomainList(InPacket& in);
std::vector<DomainRecord> ReadDomainList(LargeInPacket& in);
// The same into a list the caller keeps: its records and their texts' storage are reused, so
// a receiver that decodes lists over and over does not allocate once the list has grown.
void ReadDomainList(InPacket& in, std::vector<DomainRecord>& into);

int WritePortList(OutPacket& out, const std::vector<PortMapEntry>& entries);
int WritePortList(LargeOutPacket& out, const std::vector<PortMapEntry>& entries);
std::vector<PortMapEntry> ReadPortList(InPacket& in);
std::vector<PortMapEntry> ReadPortList(LargeInPacket& in);
