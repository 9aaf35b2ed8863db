#include "tools/provider/credentials.h"

#include <sodium.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace provider {

bool InitCredentials()
{
    return sodium_init() >= 0;
}

std::string HashSecret(const std::string& secret)
{
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(out, secret.data(), secret.size(), kHashPasses, kHashMemory,
                              crypto_pwhash_ALG_ARGON2ID13) != 0)
        return {};
    return out;
}

bool VerifySecret(const std::string& encoded, const std::string& secret)
{
    // Only Argon2id hashes: anything else in the column (damage, a digest) fails rather than being
    // compared some other way.
    if (encoded.rfind("$argon2id$", 0) != 0)
        return false;
    return crypto_pwhash_str_verify(encoded.c_str(), secret.data(), secret.size()) == 0;
}

std::string RandomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
    hex.pop_back();
    return hex;
}

std::string Sha256Hex(const std::string& text)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    char hex[sizeof digest * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

namespace {

constexpr char kBase32[] = "abcdefghijklmnopqrstuvwxyz234567";
constexpr size_t kTokenChars = 32;  // 5 bits each

}  // namespace

std::string TokenSecret()
{
    unsigned char raw[kTokenChars];
    randombytes_buf(raw, sizeof raw);
    std::string text;
    for (unsigned char c : raw)
        text += kBase32[c & 31];
    return text;
}

std::string TokenText(int64_t id, const std::string& secret)
{
    // Appended piecewise: GCC 12 at -O3 reports a false -Wrestrict for "t" + to_string(id).
    std::string text(1, 't');
    text += std::to_string(id);
    text += '-';
    text += secret;
    return text;
}

bool ParseToken(const std::string& text, int64_t& id, std::string& secret)
{
    size_t dash = text.find('-');
    if (text.size() < 3 || text[0] != 't' || dash == std::string::npos || dash < 2 || dash > 19 ||
        text.size() - dash - 1 != kTokenChars)
        return false;
    id = 0;
    for (size_t i = 1; i < dash; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        id = id * 10 + (text[i] - '0');
    }
    secret = text.substr(dash + 1);
    for (char c : secret)
        if (!std::strchr(kBase32, c) || c == '\0')
            return false;
    return id > 0;
}

CVerifiedCache::CVerifiedCache(size_t capacity) : m_capacity(capacity), m_secret(RandomHex(32)) {}

std::string CVerifiedCache::Key(const std::string& stored, const std::string& secret) const
{
    unsigned char mac[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(m_secret.data()), m_secret.size());
    // The stored hash never holds a NUL: the separator keeps (stored, secret) pairs apart.
    std::string message = stored + '\0' + secret;
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    crypto_auth_hmacsha256_final(&state, mac);
    sodium_memzero(message.data(), message.size());
    return std::string(reinterpret_cast<const char*>(mac), sizeof mac);
}

bool CVerifiedCache::Has(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_index.find(key);
    if (it == m_index.end())
        return false;
    m_order.splice(m_order.begin(), m_order, it->second);
    return true;
}

void CVerifiedCache::Add(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_index.count(key))
        return;
    m_order.push_front(key);
    m_index[key] = m_order.begin();
    if (m_order.size() > m_capacity) {
        m_index.erase(m_order.back());
        m_order.pop_back();
    }
}

std::string CLoginThrottle::AddressKey(uint32_t peer, const std::string& peer6)
{
    if (peer6.empty())
        return std::to_string(peer);
    // The first four groups of the canonical text are the /64 (a "::" among them stands for zeros).
    in6_addr a6{};
    if (inet_pton(AF_INET6, peer6.c_str(), &a6) != 1)
        return peer6;
    char text[INET6_ADDRSTRLEN];
    std::memset(a6.s6_addr + 8, 0, 8);
    inet_ntop(AF_INET6, &a6, text, sizeof text);
    return std::string(text) + "/64";
}

CLoginThrottle::Clock::duration CLoginThrottle::Delay(int failures)
{
    if (failures <= kFreeFailures)
        return kSpacing;
    Clock::duration delay = std::chrono::milliseconds(500);
    for (int i = kFreeFailures + 1; i < failures && delay < kMaxDelay; ++i)
        delay *= 2;
    return std::min(delay, kMaxDelay);
}

CLoginThrottle::Entry& CLoginThrottle::Find(const std::string& address, Clock::time_point now)
{
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        if (m_entries.size() >= m_capacity) {
            auto oldest = m_entries.begin();
            for (auto e = m_entries.begin(); e != m_entries.end(); ++e)
                if (e->second.seen < oldest->second.seen)
                    oldest = e;
            m_entries.erase(oldest);
        }
        it = m_entries.emplace(address, Entry{}).first;
        it->second.next = now;
    }
    Entry& e = it->second;
    if (e.failures > 0 && now - e.lastFail > kForget)
        e = Entry{0, now, {}, now, {}, false};
    e.seen = now;
    return e;
}

bool CLoginThrottle::Reserve(const std::string& address, Clock::time_point now, Clock::time_point& when)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry& e = Find(address, now);
    when = std::max(now, e.next);
    if (when - now > kMaxWait)
        return false;
    e.next = when + Delay(e.failures);
    return true;
}

void CLoginThrottle::Failed(const std::string& address, Clock::time_point now, const std::string& account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry& e = Find(address, now);
    if (e.failures == 0)
        e.failedAccount = account;
    else if (e.failedAccount != account)
        e.mixed = true;
    ++e.failures;
    e.lastFail = now;
    e.next = std::max(e.next, now + Delay(e.failures));
}

void CLoginThrottle::Succeeded(const std::string& address, const std::string& account)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(address);
    if (it != m_entries.end() && !it->second.mixed && (it->second.failures == 0 || it->second.failedAccount == account))
        m_entries.erase(it);
}

size_t CLoginThrottle::Size()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

}  // namespace provider
