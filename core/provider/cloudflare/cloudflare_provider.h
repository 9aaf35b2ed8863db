#pragma once
// A Cloudflare account (API v4 with a scoped token: Zone:Read and DNS:Edit) as a provider kind.
//   - a host's zone is found by GET /zones?name=, trying the host name and then each name above it;
//   - its record by GET /zones/{zone}/dns_records?type=A|AAAA&name=HOST: one record is changed with
//     PATCH (content; TTL and proxied only when provider.conf gives them), none is created with POST,
//     two or more stop the host (which one to change cannot be known);
//   - zone and record ids are kept, so a changed address costs one request once they are known;
//   - HTTP 401/403 (a token that is wrong, expired or lacks a permission) stops the account; 429 waits
//     for Retry-After (60 s when absent); 5xx and no answer are tried again at the next check.

#include <map>
#include <string>
#include <utility>

#include "core/provider/account_provider.h"

class CJson;

class CCloudflareProvider : public CAccountProvider {
public:
    using CAccountProvider::CAccountProvider;

protected:
    int Send(std::vector<Item>& items) override;

private:
    enum class Outcome { Done, Stop, Retry, Unreachable };
    // One API call; `json` holds the parsed answer when it is one. Retry/Unreachable/Stop say the call
    // failed (the reason in `why`, the account stopped or backing off as the answer says).
    Outcome Call(const std::string& method, const std::string& path, const std::string& body, CJson& json,
                 std::string& why);
    Outcome ZoneOf(const std::string& host, std::string& zoneId, std::string& why);
    Outcome SetRecord(const std::string& host, bool ipv6, const std::string& address, std::string& why);
    std::string Api() const;

    struct Record {
        std::string id;
        std::string content;
    };
    std::map<std::string, std::string> m_zones;                // host -> zone id
    std::map<std::pair<std::string, bool>, Record> m_records;  // (host, IPv6) -> record
};
