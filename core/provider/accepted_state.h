#pragma once
// provider.state: for each provider account, host and address family, the address the provider last
// accepted and when. The service keeps it so that a restart sends nothing a server already holds
// (dyndns2 servers block clients that repeat unchanged updates), while an unchanged address is still
// sent again after kResendAfterSeconds, as the protocol's clients do to keep a host alive.
//
// Format: UTF-8 text, one record per line, fields separated by tabs; bytes below 0x21, 0x7F and '%'
// inside a field are written as %XX. Lines starting with '#' are comments.
//   format  1
//   account NAME IDENTITY                      (what the account was when its addresses were accepted)
//   accepted ACCOUNT HOST FAMILY ADDRESS TIME  (FAMILY ipv4 | ipv6; TIME in seconds since 1970, UTC)
// A file that does not read exactly so, or is not a regular file of at most kMaxStateSize bytes, is
// set aside as provider.state.bad and nothing of it is used: the worst that costs is one update more.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

inline constexpr const char* kProviderStateFileName = "provider.state";
inline constexpr int64_t kResendAfterSeconds = 28ll * 24 * 3600;
inline constexpr size_t kMaxStateSize = 256u << 10;

enum class AddressFamily { IPv4, IPv6 };

struct AcceptedAddress {
    std::string address;     // as the family writes it ("203.0.113.7")
    int64_t acceptedAt = 0;  // seconds since 1970
};

class CAcceptedAddresses {
public:
    // The records of account `account`, whose settings `identity` sums up (kind, server, user): when the
    // file holds the account under another identity, its records are dropped, since another server
    // or user never accepted them. `wallClock` gives seconds since 1970; empty = the system clock.
    CAcceptedAddresses(std::string path, std::string account, std::string identity,
                       std::function<int64_t()> wallClock = {});

    // Reads the file; false when it was damaged (and set aside) or could not be read.
    bool Load();
    // The account's record for `host`, or null.
    const AcceptedAddress* Find(const std::string& host, AddressFamily family) const;
    // Notes that `host` now holds `address`, accepted at the clock's now; Save() keeps it.
    void Accept(const std::string& host, AddressFamily family, const std::string& address);
    // Replaces the file atomically; a failure is logged (the records stay in memory).
    bool Save();
    // True when an unchanged `address` should be sent again for `host`: its record is older than
    // kResendAfterSeconds, or stamped so far in the future that the clock must have been wrong. Never
    // while the clock is plainly unset (before kClockFloor), so a machine without a real-time clock
    // does not resend at every boot.
    bool Due(const std::string& host, AddressFamily family) const;
    // Drops the account's records of hosts not in `hosts` (kept in memory until the next save).
    void Keep(const std::vector<std::string>& hosts);

    int64_t Now() const;
    const std::string& Path() const { return m_path; }

    static constexpr int64_t kClockFloor = 1704067200;  // 2024-01-01

private:
    using Key = std::tuple<std::string, std::string, AddressFamily>;  // account, host, family
    bool Parse(const std::string& text);
    std::string Serialize() const;

    std::string m_path;
    std::string m_account;
    std::string m_identity;
    std::function<int64_t()> m_clock;
    std::map<std::string, std::string> m_accounts;  // name -> identity
    std::map<Key, AcceptedAddress> m_records;
};
