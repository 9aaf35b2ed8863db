#pragma once
// Records of the later requests (10-14): what the service knows of each domain, and the provider
// settings as the clients see and send them. Same encodings as records.h; readers yield zeros and
// empty texts for what a datagram lacks.

#include <cstdint>
#include <string>
#include <vector>

class OutPacket;
class InPacket;

// The fields of ProviderSettings a kind uses: the settings page shows those, and sends only those.
enum ProviderField : unsigned {
    kFieldServer = 1u << 0,   // server, API base URL or URL template, as the kind takes it
    kFieldUser = 1u << 1,     // user name
    kFieldSecret = 1u << 2,   // password, token or the TSIG key's secret
    kFieldHosts = 1u << 3,    // the host names kept current
    kFieldZone = 1u << 4,     // the DNS zone
    kFieldKey = 1u << 5,      // the TSIG key's name and algorithm
    kFieldTtl = 1u << 6,      // the records' TTL
    kFieldProxied = 1u << 7,  // proxied through the provider or not
    kFieldSuccess = 1u << 8,  // what the answer's body must contain
};

// The provider's kinds: the name written into provider.conf and said by the clients, and the fields
// the kind uses (none: the web service, which keeps the account and hosts itself).
struct ProviderKindInfo {
    const char* name;
    unsigned fields;
};
inline constexpr ProviderKindInfo kProviderKinds[] = {
    {"web-service", 0},
    {"dyndns2", kFieldServer | kFieldUser | kFieldSecret | kFieldHosts},
    {"cloudflare", kFieldServer | kFieldSecret | kFieldHosts | kFieldTtl | kFieldProxied},
    {"duckdns", kFieldServer | kFieldSecret | kFieldHosts},
    {"nsupdate", kFieldServer | kFieldZone | kFieldKey | kFieldSecret | kFieldTtl | kFieldHosts},
    {"url", kFieldServer | kFieldUser | kFieldSecret | kFieldSuccess | kFieldHosts},
};

// provider.conf as sent over the channel. The secret (`password`: password, token or TSIG key secret)
// goes only towards the service (an empty one keeps the stored secret); the service tells only
// whether one is stored.
struct ProviderSettings {
    std::string kind = "web-service";
    std::string server;
    std::string user;
    std::string password;
    bool passwordStored = false;
    std::vector<std::string> hosts;
    std::vector<std::string> checkIp;
    bool checkIpDefaults = true;
    std::string interfaceName;
    bool router = true;
    std::string caFile;
    std::string zone;
    uint32_t ttl = 0;  // 0: not given
    int proxied = -1;  // -1: not given (the record keeps what it has), 0 no, 1 yes
    std::string keyName;
    std::string keyAlgorithm;
    std::string success;
};

// One domain as the service sees it.
enum HostState : uint8_t {
    kHostOff = 0,      // switched off: the service leaves the name alone
    kHostCurrent = 1,  // switched on, and the provider holds the current address
    kHostFailing = 2,  // switched on, but the last update failed (`reason` says why)
    kHostPending = 3,  // switched on, not yet updated with the current address
};

struct HostStatus {
    uint32_t hostid = 0;
    uint8_t state = kHostOff;
    uint32_t ipv4 = 0;       // the address the provider holds, as far as known; 0 = none
    std::string ipv6;        // the same for IPv6, in text; empty = none or not handled
    uint32_t updatedAt = 0;  // last update accepted (seconds since 1970, UTC); 0 = never
    uint32_t triedAt = 0;    // last attempt, accepted or not; 0 = never
    std::string reason;      // why the last attempt failed; empty when it did not
};

// Reason byte of a failed login reply: the provider is set up for another account, whose name follows
// as a string (reasons 1-3 are in protocol.md).
inline constexpr uint8_t kLoginOtherAccount = 4;

// The list caps: what one datagram can carry in any case.
inline constexpr size_t kMaxSettingsItems = 32;

// Settings: kind, server, user, password (or "" from the service), u8 password stored, u16 n hosts,
// u16 n check-IP URLs, u8 check-IP defaults, interface, u8 router, CA file, zone, u32 TTL, u8 proxied
// (0 not given, 1 no, 2 yes), key name, key algorithm, success text. False when it does not fit.
bool WriteProviderSettings(OutPacket& out, const ProviderSettings& settings);
ProviderSettings ReadProviderSettings(InPacket& in);

// u16 n, then per host: hostid (u32), state (u8), ipv4 (u32), ipv6 (string), updated (u32), tried
// (u32), reason (string). Writes as many as fit; returns that number.
int WriteHostStatusList(OutPacket& out, const std::vector<HostStatus>& list);
std::vector<HostStatus> ReadHostStatusList(InPacket& in);
