#include "tools/provider/access.h"

#include <cctype>

#include "shared/base/md5.h"

namespace provider {
namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Matches(const std::string& stored, CAccess::Kind kind, const std::string& secret)
{
    switch (kind) {
    case CAccess::Kind::Digest: return SameText(Lower(stored), CMD5(secret.c_str()).HexDigest());
    case CAccess::Kind::SameDigest: return SameText(Lower(stored), Lower(secret));
    default: return VerifySecret(stored, secret);
    }
}

}  // namespace

CAccess::CAccess() : m_dummy(HashSecret(RandomHex(16))) {}

CAccess::Verdict CAccess::Check(IncomingRequest& request, const std::string& account, const std::string& stored,
                                Kind kind, const std::string& secret, const std::string& busy, int& retryAfter)
{
    const bool missing = stored.empty();
    const std::string& checked = missing ? m_dummy : stored;
    const Kind checkedKind = missing ? Kind::Hash : kind;
    // The verdict's name in the request's notes: the same keyed digest the cache uses.
    const std::string key = m_cache.Key(checked, secret);
    if (!missing && m_cache.Has(key))
        return Verdict::Accepted;
    const auto now = CLoginThrottle::Clock::now();
    const std::string address = CLoginThrottle::AddressKey(request.peer, request.peer6);
    auto verdict = [&](bool ok) {
        if (ok && !missing) {
            m_cache.Add(key);
            m_throttle.Succeeded(address, account);
            return Verdict::Accepted;
        }
        m_throttle.Failed(address, now, account);
        return Verdict::Refused;
    };
    auto noted = request.notes.find(key);
    if (noted != request.notes.end())
        return verdict(noted->second == "1");
    CLoginThrottle::Clock::time_point when;
    if (!m_throttle.Reserve(address, now, when)) {
        retryAfter = static_cast<int>(std::chrono::ceil<std::chrono::seconds>(when - now).count());
        return Verdict::Throttled;
    }
    // A digest is cheap to compare: here, unless the address must wait first.
    if (checkedKind != Kind::Hash && when <= now)
        return verdict(Matches(checked, checkedKind, secret));
    request.defer = Deferral{[key, checked, checkedKind, secret](IncomingRequest& r) {
                                 // One character, assigned as such: GCC 12 at -O3 reports a false
                                 // -Wrestrict for the assignment of a one-character literal.
                                 r.notes[key].assign(1, Matches(checked, checkedKind, secret) ? '1' : '0');
                             },
                             when, busy};
    return Verdict::Pending;
}

const std::string* CAccess::NewHash(IncomingRequest& request, const std::string& name, const std::string& secret,
                                    const std::string& busy)
{
    auto it = request.notes.find(name);
    if (it != request.notes.end())
        return it->second.empty() ? nullptr : &it->second;
    request.defer = Deferral{[name, secret](IncomingRequest& r) { r.notes[name] = HashSecret(secret); },
                             CLoginThrottle::Clock::now(), busy};
    return nullptr;
}

}  // namespace provider
