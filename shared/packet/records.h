#pragma once
// The records both programs exchange over the control channel, with their wire forms.

#include <cstdint>
#include <string>
#include <vector>

class OutPacket;
class InPacket;

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

// One router port mapping. In memory: port, op, type, allow. On the wire (5 bytes): port, type, op, allow.
struct PortMapEntry {
    uint16_t port = 0;
    uint8_t op = 0;     // 1 = mapped, 0 = not
    uint8_t type = 0;   // 0 = TCP, 1 = UDP
    uint8_t allow = 0;  // 1 = restore at start and on address change
};

inline bool operator==(const PortMapEntry& a, const PortMapEntry& b)
{
    return a.port == b.port && a.op == b.op && a.type == b.type && a.allow == b.allow;
}

// The machine's public address and network as the web service reports them.
struct NetInfo {
    int32_t dyip = 0;  // first octet in the most significant byte; 0 = unknown
    int32_t nettype = 0;
    std::string netlocation;
};
