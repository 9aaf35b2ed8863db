#pragma once
// provider.conf: which provider accounts the service uses and how to reach them. A file of its own in
// the data directory, because it holds the accounts' secrets in clear (the protocols send them so): mode
// 0660, group of the data directory, replaced atomically.
//
// Format: UTF-8 text, one "key=value" per line, the value running to the end of the line; lines
// starting with '#' and blank lines are ignored; unknown keys are kept out of the way (ignored).
// The lines before the first account= line are one account named after its kind (the whole file of a
// single account); each account=NAME line starts another account named NAME, with lines of its own.
//   account=NAME                    (letters, digits, '-', '_', '.'; at most 32)
//   kind=web-service | dyndns2 | cloudflare | duckdns | nsupdate | url   (no file = web-service)
//   server=https://HOST[:PORT][/PATH]   (dyndns2: no PATH = /nic/update; duckdns: the service's URL;
//                                    nsupdate: HOST[:PORT] of the primary)
//   api=https://URL                 (cloudflare: the API's base URL; none = Cloudflare's own)
//   url=https://TEMPLATE            (url: {host} {ipv4} {ipv6} {password} substituted)
//   user=NAME
//   password=TEXT                   (dyndns2, url)
//   token=TEXT                      (cloudflare, duckdns)
//   key=NAME:ALGORITHM:SECRET       (nsupdate: the TSIG key)
//   zone=NAME                       (nsupdate)
//   ttl=SECONDS                     (cloudflare, nsupdate)
//   proxied=yes | no                (cloudflare; none = keep what the record has)
//   success=TEXT                    (url: the answer's body must contain it; none = any 2xx status)
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

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/packet/records.h"

inline constexpr const char* kProviderFileName = "provider.conf";

struct ProviderConfig {
    enum class Kind { WebService, Dyndns2, Cloudflare, DuckDNS, Nsupdate, Url };
    // Which address families the account keeps current; Invalid: an ip= value nobody knows (Check says so).
    enum class Families { IPv4, IPv6, Both, Invalid };
    // With both families: one request carrying both (myip=V4,V6), or one request per family.
    enum class DualRequest { One, Separate, Invalid };
    Kind kind = Kind::WebService;
    std::string name;    // the account's name; empty = the kind's
    std::string server;  // the server, API or URL template, as the kind takes it
    std::string user;
    std::string password;  // the kind's secret: password, token, or NAME:ALGORITHM:SECRET of a TSIG key
    std::string zone;
    uint32_t ttl = 0;  // 0: not given
    int proxied = -1;  // -1: not given, 0 no, 1 yes
    std::string success;
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

inline constexpr size_t kMaxAccounts = 32;
inline constexpr const char* kCloudflareApi = "https://api.cloudflare.com/client/v4";
inline constexpr const char* kDuckDnsServer = "https://www.duckdns.org";

const char* KindName(ProviderConfig::Kind kind);
bool ParseKind(const std::string& text, ProviderConfig::Kind& kind);
// The account's name: its own, else its kind's.
std::string AccountName(const ProviderConfig& config);
// What a login over the channel gives as the password of the account: the dyndns2 or url password, the
// token, or the TSIG key's secret.
std::string LoginSecret(const ProviderConfig& config);
// True for a kind that does not come from the web service (it keeps its own hosts in provider.conf).
bool IsAccountKind(ProviderConfig::Kind kind);
// "ipv4", "ipv6", "both"; "one", "separate".
const char* FamiliesName(ProviderConfig::Families families);
const char* DualRequestName(ProviderConfig::DualRequest mode);
bool ParseFamilies(const std::string& text, ProviderConfig::Families& families);
bool ParseDualRequest(const std::string& text, ProviderConfig::DualRequest& mode);

// False when the file exists but cannot be read or names an unknown kind; a missing file gives the
// web-service kind and true.
// Read and Parse give the first account; ReadAll and ParseAll every one, in order (at least one).
bool Read(const std::string& path, ProviderConfig& config);
bool Parse(const std::string& text, ProviderConfig& config);
bool ReadAll(const std::string& path, std::vector<ProviderConfig>& accounts);
bool ParseAll(const std::string& text, std::vector<ProviderConfig>& accounts);
std::string Serialize(const ProviderConfig& config);
std::string SerializeAll(const std::vector<ProviderConfig>& accounts);
// Atomic replace; mode 0660 and the group of the directory before the new file becomes visible.
bool Write(const std::string& path, const ProviderConfig& config);
bool WriteAll(const std::string& path, const std::vector<ProviderConfig>& accounts);

// What is wrong with an account, or empty when it can be used. Values must not hold line breaks; host
// names must be plain names.
std::string Check(const ProviderConfig& config);
// Check for every account, and what is wrong with them together: names used twice, a host in two
// accounts, the web service beside other accounts, too many accounts.
std::string CheckAll(const std::vector<ProviderConfig>& accounts);

// The check-IP URLs to try: the configured ones, else the built-in list unless switched off.
std::vector<std::string> CheckIpUrls(const ProviderConfig& config);
// The same for IPv6 addresses (check-ip6 lines, the built-in IPv6 list).
std::vector<std::string> CheckIp6Urls(const ProviderConfig& config);

// Host ids for the configured hosts, in order: a hash of the lower-case name (stable when other
// hosts are added or removed), never 0, distinct within the list.
std::vector<DomainRecord> HostRecords(const ProviderConfig& config);
// The same for the hosts of every account, in order (one account: the same ids as HostRecords).
std::vector<DomainRecord> HostRecords(const std::vector<ProviderConfig>& accounts);

}  // namespace providerconf
