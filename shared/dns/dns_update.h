#pragma once
// RFC 2136 dynamic updates through ldns: one UPDATE message that replaces the A (or AAAA) RRset of a name
// with a single address, signed with TSIG, sent over UDP (TCP when the answer is truncated), and the answer
// checked.

#include <cstdint>
#include <string>
#include <vector>

// An authoritative server for one zone and the TSIG key it accepts updates with.
struct DnsZone {
    std::string zone;    // lower case, no trailing dot
    std::string server;  // address or host name of the primary
    uint16_t port = 53;
    std::string keyName;
    std::string algorithm = "hmac-sha256";
    std::string secret;  // base64
    uint32_t ttl = 60;
};

struct DnsUpdateResult {
    bool ok = false;
    // Why it failed: "time-out", "REFUSED", "NOTAUTH (BADSIG)", "answer not signed", ...
    std::string error;
    // The server refused the content (REFUSED, NOTZONE): one name of several may be the cause.
    bool refusedContent = false;
};

// One name and the address it is to have: an IPv4 address is its A record, an IPv6 one its AAAA record.
struct DnsAddressRecord {
    std::string name;
    std::string address;
};

namespace dns {

// Null where updates can be sent and names queried; otherwise why not, in words for the one who asked for an
// nsupdate account.
extern const char* const kUpdatesMissing;

// "HOST", "HOST:PORT", "[V6]:PORT". False with a reason when malformed.
bool ParseServer(const std::string& text, std::string& host, uint16_t& port, std::string& why);
// "NAME:ALGORITHM:SECRET" or "NAME:SECRET" (hmac-sha256). The secret must be base64.
bool ParseKey(const std::string& text, std::string& name, std::string& algorithm, std::string& secret,
              std::string& why);
// hmac-sha1, hmac-sha224, hmac-sha256, hmac-sha384, hmac-sha512 (hmac-md5 for old servers).
bool KnownAlgorithm(const std::string& algorithm);
// The owner name of a known algorithm in a TSIG record ("hmac-sha256."), null for an unknown one.
const char* AlgorithmWireName(const std::string& algorithm);
// Lower case without the trailing dot; false for names that are not plain host names.
bool NormalizeName(const std::string& text, std::string& name);
// True when `name` is `zone` or lies below it (both normalized).
bool InZone(const std::string& name, const std::string& zone);

// Replaces the A records of `name` (inside zone.zone) with `address` (the AAAA records for an IPv6 address).
// Waits at most timeoutMs per transport.
DnsUpdateResult SendAddressUpdate(const DnsZone& zone, const std::string& name, const std::string& address,
                                  int timeoutMs);
// The same for several records in one message (a name's A and AAAA records side by side when both change),
// applied by the server all or nothing. Over TCP from the start when the message is too large for a safe UDP
// datagram.
DnsUpdateResult SendAddressUpdates(const DnsZone& zone, const std::vector<DnsAddressRecord>& records, int timeoutMs);

// Asks server:port for the A (or AAAA) records of `name` over UDP; `addresses` gets them space-separated in
// answer order. False on time-out or an error rcode.
bool QueryAddress(const std::string& server, uint16_t port, const std::string& name, std::string& addresses,
                  int timeoutMs, bool ipv6 = false);

}  // namespace dns
