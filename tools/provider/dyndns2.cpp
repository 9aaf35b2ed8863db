#include "tools/provider/dyndns2.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <vector>

#include "shared/base/hostname.h"
#include "shared/base/ipv4.h"
#include "tools/provider/store.h"

namespace provider {
namespace {

std::string Text(const std::string& body)
{
    return http::Answer(200, body);
}

// Missing, undecodable or refused credentials alike: 401 with the challenge, so that clients that wait for
// one send them, and "badauth" for those that read the body.
std::string BadAuth()
{
    return http::Answer(401, "badauth\n", "text/plain; charset=utf-8",
                        {"WWW-Authenticate: Basic realm=\"morvane-provider\", charset=\"UTF-8\""});
}

// "911" for a request that must come back later (the store failed, a change too soon after the last, an
// address whose secrets failed too often): every client retries it later, where "abuse" stops most of
// them for good and "nochg" would tell them the address is set. With HTTP 429 and Retry-After for the two
// that are about time.
std::string Later(int seconds, const std::string& body = "911\n")
{
    return http::Answer(429, body, "text/plain; charset=utf-8",
                        {"Retry-After: " + std::to_string(seconds < 1 ? 1 : seconds)});
}

enum class Auth { Account, Token, Refused, Pending, Throttled, StoreFailed };

// Who the Basic Authorization header names, if its secret matches: an account by its password, or a host
// by one of its tokens (user name the host name, password the token).
Auth Authenticate(CProviderStore& store, CAccess& access, IncomingRequest& request, ProviderAccount& account,
                  ProviderToken& token, int& retryAfter)
{
    const std::string* header = request.head.Header("authorization");
    if (!header || header->size() < 6 || header->size() > 1024)
        return Auth::Refused;
    std::string scheme = header->substr(0, 6);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "basic ")
        return Auth::Refused;
    size_t start = header->find_first_not_of(' ', 6);
    std::string credentials;
    if (start == std::string::npos || !http::Base64Decode(std::string_view(*header).substr(start), credentials))
        return Auth::Refused;
    size_t colon = credentials.find(':');
    if (colon == std::string::npos || colon == 0)
        return Auth::Refused;
    const std::string name = credentials.substr(0, colon);
    const std::string password = credentials.substr(colon + 1);
    const std::string busy = Later(5);
    auto result = [&](CAccess::Verdict v, Auth accepted) {
        switch (v) {
        case CAccess::Verdict::Accepted: return accepted;
        case CAccess::Verdict::Pending: return Auth::Pending;
        case CAccess::Verdict::Throttled: return Auth::Throttled;
        default: return Auth::Refused;
        }
    };

    int64_t id = 0;
    std::string secret, host;
    if (ParseToken(password, id, secret) && hostname::FromText(name, host)) {
        std::string stored, tokenHost;
        if (store.FindToken(id, token) && hostname::FromText(token.domain, tokenHost) && tokenHost == host)
            stored = token.hash;
        else if (!store.LastError().empty())
            return Auth::StoreFailed;
        // The update is made in the name of the host's account, and failures count against it too.
        ProviderHost owned;
        const bool known = store.FindHost(host, owned);
        const std::string& owner = known ? owned.owner : name;
        Auth a =
            result(access.Check(request, owner, stored, CAccess::Kind::Hash, secret, busy, retryAfter), Auth::Token);
        if (a == Auth::Token) {
            if (!known)
                return Auth::StoreFailed;
            account.name = owned.owner;
            store.TokenUsed(id, static_cast<int64_t>(std::time(nullptr)));  // a note for the page, no more
        }
        return a;
    }
    if (!store.FindAccount(name, account) && store.LastError().rfind("no such account", 0) != 0)
        return Auth::StoreFailed;
    // An account made before slow hashes has its digest only: checked against it, and given its hash now
    // that the password is known.
    const bool legacy = account.pwhash.empty();
    Auth a = result(access.Check(request, name, legacy ? account.digest : account.pwhash,
                                 legacy ? CAccess::Kind::Digest : CAccess::Kind::Hash, password, busy, retryAfter),
                    Auth::Account);
    if (a == Auth::Account && legacy) {
        const std::string* hash = access.NewHash(request, "pwhash", password, busy);
        if (!hash)
            return request.defer ? Auth::Pending : Auth::Account;
        if (!store.AddPasswordHash(account.name, account.digest, *hash))
            return Auth::StoreFailed;
    }
    return a;
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

// One address of a parameter into its family's slot. `only` restricts the family (myipv4, myipv6). A
// "/len" suffix (the prefix form some clients send) is dropped once its length fits the family.
WantedVerdict Take(std::string_view item, const IpFamily* only, ProviderAddresses& wanted)
{
    std::string_view text = Trim(item);
    size_t slash = text.find('/');
    std::string_view length;
    if (slash != std::string_view::npos) {
        length = text.substr(slash + 1);
        text = text.substr(0, slash);
    }
    IpFamily family;
    std::string canonical;
    if (!ParseAddress(text, family, canonical) || (only && family != *only))
        return WantedVerdict::Malformed;
    if (slash != std::string_view::npos) {
        int bits = 0;
        for (char c : length)
            bits = std::isdigit(static_cast<unsigned char>(c)) && bits <= 128 ? bits * 10 + (c - '0') : 1000;
        if (length.empty() || bits > (family == IpFamily::V4 ? 32 : 128))
            return WantedVerdict::Malformed;
    }
    std::string& slot = family == IpFamily::V4 ? wanted.ipv4 : wanted.ipv6;
    if (!slot.empty() && slot != canonical)
        return WantedVerdict::Malformed;  // two addresses of one family: which one is meant?
    slot = canonical;
    return WantedVerdict::Ok;
}

// "V4,V6" (or one of them), the form the answer lines carry.
std::string Shown(const ProviderAddresses& a)
{
    return a.ipv4.empty() ? a.ipv6 : a.ipv6.empty() ? a.ipv4 : a.ipv4 + "," + a.ipv6;
}

}  // namespace

WantedVerdict WantedFromQuery(const std::vector<std::pair<std::string, std::string>>& params, uint32_t peer,
                              const std::string& peer6, ProviderAddresses& wanted)
{
    wanted = ProviderAddresses{};
    const IpFamily v4 = IpFamily::V4, v6 = IpFamily::V6;
    for (const auto& [name, value] : params) {
        const IpFamily* only = name == "myipv4" ? &v4 : name == "myipv6" || name == "myip6" ? &v6 : nullptr;
        if (name != "myip" && !only)
            continue;
        // Empty items and parameters name nothing: clients send "myipv6=" when they have no IPv6 address.
        std::string_view rest = value;
        while (!rest.empty()) {
            size_t comma = rest.find(',');
            std::string_view item = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (Trim(item).empty())
                continue;
            if (WantedVerdict v = Take(item, only, wanted); v != WantedVerdict::Ok)
                return v;
        }
    }
    if (wanted.ipv4.empty() && wanted.ipv6.empty()) {
        // None given: the caller's own address, of the family it came over.
        if (peer != 0)
            wanted.ipv4 = FormatIPv4(peer);
        else
            wanted.ipv6 = peer6;
    }
    if (!wanted.ipv6.empty()) {
        in6_addr a6{};
        if (inet_pton(AF_INET6, wanted.ipv6.c_str(), &a6) != 1 || !IsGlobalIpv6(a6))
            return WantedVerdict::NotStorable;
    }
    return wanted.ipv4.empty() && wanted.ipv6.empty() ? WantedVerdict::NotStorable : WantedVerdict::Ok;
}

std::string Dyndns2Answer(CProviderStore& store, CAccess& access, IncomingRequest& request,
                          const Dyndns2Options& options)
{
    // Answers for the whole request, counted once.
    auto whole = [&](const char* result, std::string answer) {
        if (options.count)
            options.count(result);
        return answer;
    };
    std::vector<std::pair<std::string, std::string>> params;
    if (!http::ParseQuery(request.head.Query(), params))
        return whole("badagent", http::Answer(400, "badagent\n"));
    auto param = [&](const char* name) -> const std::string* {
        for (const auto& [k, v] : params)
            if (k == name)
                return &v;
        return nullptr;
    };

    // Credentials first: nothing about hosts is revealed to a caller who is not an account holder.
    ProviderAccount account;
    ProviderToken token;
    int retryAfter = 0;
    Auth auth = Authenticate(store, access, request, account, token, retryAfter);
    switch (auth) {
    case Auth::Pending: return {};
    case Auth::Throttled: return whole("slowed", Later(retryAfter));
    case Auth::StoreFailed: return whole("911", Text("911\n"));
    case Auth::Refused: return whole("badauth", BadAuth());
    default: break;
    }

    const std::string* hostnames = param("hostname");
    if (!hostnames || hostnames->empty())
        return whole("notfqdn", Text("notfqdn\n"));
    std::vector<std::string> hosts;
    size_t pos = 0;
    for (;;) {
        size_t comma = hostnames->find(',', pos);
        hosts.push_back(hostnames->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (hosts.size() > options.maxHosts)
            return whole("numhost", Text("numhost\n"));
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    // An address that is malformed, of the wrong family or not a host's (link-local, ULA, ...) is refused
    // whole: storing the other family alone would answer "good" to a request that was not carried out.
    ProviderAddresses wanted;
    if (WantedFromQuery(params, request.peer, request.peer6, wanted) != WantedVerdict::Ok)
        return whole("badagent", http::Answer(400, "badagent\n"));
    const std::string shown = Shown(wanted);
    auto failing = [&](uint32_t hostid, const ProviderAddresses& families) {
        return options.publicationFailing &&
               ((!families.ipv4.empty() && options.publicationFailing(store, hostid, IpFamily::V4)) ||
                (!families.ipv6.empty() && options.publicationFailing(store, hostid, IpFamily::V6)));
    };

    std::string body;
    int64_t waitMs = 0;  // the longest wait of a host held back by the minimum interval
    auto line = [&](const char* result, const std::string& text) {
        if (options.count)
            options.count(result);
        body += text;
    };
    for (const std::string& name : hosts) {
        std::string lookup;
        if (!hostname::FromText(name, lookup)) {
            line("notfqdn", "notfqdn\n");
            continue;
        }
        ProviderHost host;
        if (!store.FindHost(lookup, host)) {
            store.LastError().empty() ? line("nohost", "nohost\n") : line("911", "911\n");
            continue;
        }
        // A token updates its own host only; an account, only its own hosts.
        if (auth == Auth::Token && host.hostid != token.hostid) {
            line("!yours", "!yours\n");
            continue;
        }
        if (host.owner != account.name) {
            line("nohost", "nohost\n");
            continue;
        }
        // Only the families that change are stored; the other family of the host stays as it is.
        ProviderAddresses change;
        if (wanted.ipv4 != host.data)
            change.ipv4 = wanted.ipv4;
        if (wanted.ipv6 != host.data6)
            change.ipv6 = wanted.ipv6;
        if (change.ipv4.empty() && change.ipv6.empty()) {
            if (failing(host.hostid, wanted)) {
                line("dnserr", "dnserr\n");  // stored, but the name does not carry it yet; a retry is no abuse
                continue;
            }
            int count = 0;
            if (!store.CountNochg(host.hostid, count))
                line("911", "911\n");
            else if (count > options.nochgLimit)
                line("abuse", "abuse\n");
            else
                line("nochg", "nochg " + shown + "\n");
            continue;
        }
        std::vector<int> results;
        std::vector<int64_t> retry;
        if (!store.UpdateHosts(account.name, {host.hostid}, change, results, &retry) || results.empty()) {
            line("911", "911\n");
        } else if (results[0] == kUpdateTooSoon) {
            waitMs = std::max(waitMs, retry[0]);
            line("throttled", "911\n");
        } else if (results[0] != kUpdateDone) {
            line("911", "911\n");
        } else {
            failing(host.hostid, change) ? line("dnserr", "dnserr\n") : line("good", "good " + shown + "\n");
        }
    }
    // A host held back makes the whole answer a 429: a client that reads the status only comes back after
    // Retry-After, and the other hosts' lines are in the body for one that reads on.
    if (waitMs > 0)
        return Later(static_cast<int>((waitMs + 999) / 1000), body);
    return Text(body);
}

}  // namespace provider
