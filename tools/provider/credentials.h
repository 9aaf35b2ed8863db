#pragma once
// Secrets of account holders: slow salted hashes of passwords and per-host tokens (Argon2id through
// libsodium), the random secrets of tokens and sessions, a bounded memory of pairs already verified (so
// that a client updating every few minutes costs a database read and no hash), and the slowing down of
// addresses whose secrets fail.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

namespace provider {

// Argon2id with 19 MiB and two passes (about 30-70 ms on a small server): what OWASP advises as the least
// for passwords. The encoded form names its own parameters, so raising them later leaves older hashes valid.
constexpr unsigned long long kHashPasses = 2;
constexpr size_t kHashMemory = 19u << 20;

// Must run once before any other function here (several calls are harmless); false when the library
// cannot start.
bool InitCredentials();
// The encoded hash of `secret` ("$argon2id$v=19$m=...,t=...,p=1$salt$hash"); empty when out of memory.
std::string HashSecret(const std::string& secret);
// In time independent of the secret; false for anything that is not such a hash.
bool VerifySecret(const std::string& encoded, const std::string& secret);
// `bytes` random bytes as lower-case hex.
std::string RandomHex(size_t bytes);
std::string Sha256Hex(const std::string& text);
bool SameText(const std::string& a, const std::string& b);  // in constant time for equal lengths

// A per-host token as shown to its holder: "t<id>-<32 characters of base32>" (160 random bits). The id
// tells which stored hash to check, so one hash is computed per attempt however many tokens a host has;
// the hash is of the random part, made (and hashed) before the id is known.
std::string TokenSecret();
std::string TokenText(int64_t id, const std::string& secret);
// The id and random part of token text; false for text that cannot be a token (a password, say).
bool ParseToken(const std::string& text, int64_t& id, std::string& secret);

// Pairs of (stored hash, presented secret) known to match, kept as keyed digests (never the secrets) in a
// bounded least-recently-used set. A pair is only ever looked up with the hash the store holds now, so a
// revoked token or a changed password is never found again.
class CVerifiedCache {
public:
    explicit CVerifiedCache(size_t capacity = 16384);
    std::string Key(const std::string& stored, const std::string& secret) const;
    bool Has(const std::string& key);
    void Add(const std::string& key);

private:
    std::mutex m_mutex;
    size_t m_capacity;
    std::string m_secret;            // per process: the keys mean nothing elsewhere
    std::list<std::string> m_order;  // most recent first
    std::unordered_map<std::string, std::list<std::string>::iterator> m_index;
};

// Failed secrets per client address (an IPv4 address, or the /64 of an IPv6 one). Each check of a secret
// from an address takes the next slot: at once for an address without recent failures (checks at least
// kSpacing apart), and after kFreeFailures failures in a row (typing errors) the slots move apart,
// doubling from 0.5 s with each further failure up to kMaxDelay. A
// check whose slot is further than kMaxWait away is refused outright (429). A success clears the address
// only when every failure since was for the secret that now passed (a user's typing errors): one valid
// account must not let its holder go on guessing at the others at full speed. Failures are forgotten
// kForget after the last one. Nobody is locked out: the right secret always
// passes once its slot comes. At most `capacity` addresses are kept; the one seen longest ago goes first.
class CLoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kSpacing = std::chrono::milliseconds(50);
    static constexpr Clock::duration kMaxDelay = std::chrono::seconds(16);
    static constexpr Clock::duration kMaxWait = std::chrono::seconds(30);
    static constexpr Clock::duration kForget = std::chrono::minutes(15);
    static constexpr int kFreeFailures = 3;

    explicit CLoginThrottle(size_t capacity = 10000) : m_capacity(capacity) {}
    // The key of a caller: its IPv4 address, or the first 64 bits of its IPv6 address.
    static std::string AddressKey(uint32_t peer, const std::string& peer6);
    // When this check may run; false (with `when` the earliest time to come back) when that is too far.
    bool Reserve(const std::string& address, Clock::time_point now, Clock::time_point& when);
    // `account`: the account whose secret was checked.
    void Failed(const std::string& address, Clock::time_point now, const std::string& account);
    void Succeeded(const std::string& address, const std::string& account);
    size_t Size();

private:
    struct Entry {
        int failures = 0;
        Clock::time_point next;      // the next free slot
        Clock::time_point lastFail;  // and when the last failure was
        Clock::time_point seen;
        std::string failedAccount;  // what the failures were for, while they were all for one
        bool mixed = false;         // failures for more than one
    };
    Entry& Find(const std::string& address, Clock::time_point now);
    static Clock::duration Delay(int failures);  // between checks after that many failures in a row

    std::mutex m_mutex;
    size_t m_capacity;
    std::unordered_map<std::string, Entry> m_entries;
};

}  // namespace provider
