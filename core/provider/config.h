#pragma once
// provider.conf: which provider the service uses and, for a dyndns2 account, how to reach it. A file of
// its own in the data directory, because it holds the dyndns2 password in clear (the protocol sends it
// so): mode 0660, group of the data directory, replaced atomically.
//
// Format: UTF-8 text, one "key=value" per line, the value running to the end of the line; lines
// starting with '#' and blank lines are ignored; unknown keys are kept out of the way (ignored).
//   kind=web-service | dyndns2      (no file = web-service)
//   server=https://HOST[:PORT][/PATH]   (no PATH = /nic/update)
//   user=NAME
//   password=TEXT
//   host=NAME[=::ID]                (one line per host, in order; ::ID: the host's IPv6 address is this
//                                    machine's /64 prefix with the interface id ID)
//   ip=ipv4 | ipv6 | both           (the address families kept current; none = ipv4)
//   dual-request=one | separate     (with both: one request for both families, or one per family)
//   check-ip=URL                    (one line per URL, tried in turn; none = the built-in list)
//   check-ip6=URL                   (the same for IPv6 addresses)
//   check-ip-defaults=off           (no built-in list for a family without a check-ip line)
//   interface=NAME                  (the addresses of this local interface, used alone, both families)
//   router=off                      (do not ask the router over UPnP/NAT-PMP)
//   ca-file=PATH                    (certificate authorities to trust instead of the system's)

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/packet/records.h"

inline constexpr const char* kProviderFileName = "provider.conf";

struct ProviderConfig {
    enum class Kind { WebService, Dyndns2 };
    // Which address families the account keeps current; Invalid: an ip= value nobody knows (Check says so).
    enum class Families { IPv4, IPv6, Both, Invalid };
    // With both families: one request carrying both (myip=V4,V6), or one request per family.
    enum class DualRequest { One, Separate, Invalid };
    Kind kind = Kind::WebService;
    std::string server;
    std::string user;
    std::string password;
    std::vector<std::string> hosts;
    // Host name -> interface id ("::1234"): that host's IPv6 address is this machine's /64 prefix with
    // the id (another machine on the same network). Hosts without one get this machine's address.
    std::map<std::string, std::string> interfaceIds;
    Families ip = Families::IPv4;
    DualRequest dualRequest = DualRequest::One;
    std::vector<std::string> checkIp;
    std::vector<std::string> checkIp6;
    bool checkIpDefaults = true;
    std::string interfaceName;
    bool router = true;
    std::string caFile;

    bool WantsIPv4() const { return ip == Families::IPv4 || ip == Families::Both; }
    bool WantsIPv6() const { return ip == Families::IPv6 || ip == Families::Both; }
};

namespace providerconf {

const char* KindName(ProviderConfig::Kind kind);
// "ipv4", "ipv6", "both"; "one", "separate".
const char* FamiliesName(ProviderConfig::Families families);
const char* DualRequestName(ProviderConfig::DualRequest mode);
bool ParseFamilies(const std::string& text, ProviderConfig::Families& families);
bool ParseDualRequest(const std::string& text, ProviderConfig::DualRequest& mode);

// False when the file exists but cannot be read or names an unknown kind; a missing file gives the
// web-service kind and true.
bool Read(const std::string& path, ProviderConfig& config);
bool Parse(const std::string& text, ProviderConfig& config);
std::string Serialize(const ProviderConfig& config);
// Atomic replace; mode 0660 and the group of the directory before the new file becomes visible.
bool Write(const std::string& path, const ProviderConfig& config);

// What is wrong with a dyndns2 configuration, or empty when it can be used. Values must not hold
// line breaks; host names must be plain names.
std::string Check(const ProviderConfig& config);

// The check-IP URLs to try: the configured ones, else the built-in list unless switched off.
std::vector<std::string> CheckIpUrls(const ProviderConfig& config);
// The same for IPv6 addresses (check-ip6 lines, the built-in IPv6 list).
std::vector<std::string> CheckIp6Urls(const ProviderConfig& config);

// Host ids for the configured hosts, in order: a hash of the lower-case name (stable when other
// hosts are added or removed), never 0, distinct within the list.
std::vector<DomainRecord> HostRecords(const ProviderConfig& config);

}  // namespace providerconf
