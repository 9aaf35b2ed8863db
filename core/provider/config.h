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
//   host=NAME                       (one line per host, in order)
//   check-ip=URL                    (one line per URL, tried in turn; none = the built-in list)
//   check-ip-defaults=off           (no built-in list when no check-ip line is given)
//   interface=NAME                  (the address of this local interface, used alone)
//   router=off                      (do not ask the router over UPnP/NAT-PMP)
//   ca-file=PATH                    (certificate authorities to trust instead of the system's)

#include <cstdint>
#include <string>
#include <vector>

#include "shared/packet/records.h"

inline constexpr const char* kProviderFileName = "provider.conf";

struct ProviderConfig {
    enum class Kind { WebService, Dyndns2 };
    Kind kind = Kind::WebService;
    std::string server;
    std::string user;
    std::string password;
    std::vector<std::string> hosts;
    std::vector<std::string> checkIp;
    bool checkIpDefaults = true;
    std::string interfaceName;
    bool router = true;
    std::string caFile;
};

namespace providerconf {

const char* KindName(ProviderConfig::Kind kind);

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

// Host ids for the configured hosts, in order: a hash of the lower-case name (stable when other
// hosts are added or removed), never 0, distinct within the list.
std::vector<DomainRecord> HostRecords(const ProviderConfig& config);

}  // namespace providerconf
