#include "tools/provider/dyndns2.h"

#include <arpa/inet.h>

#include <cctype>
#include <vector>

#include "shared/base/hostname.h"
#include "shared/base/ipv4.h"
#include "shared/base/md5.h"
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

// The account named by a Basic Authorization header whose password matches. False on anything else.
bool Authenticate(CProviderStore& store, const std::string* header, ProviderAccount& account)
{
    if (!header || header->size() < 6 || header->size() > 1024)
        return false;
    std::string scheme = header->substr(0, 6);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme != "basic ")
        return false;
    size_t start = header->find_first_not_of(' ', 6);
    std::string credentials;
    if (start == std::string::npos || !http::Base64Decode(std::string_view(*header).substr(start), credentials))
        return false;
    size_t colon = credentials.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string name = credentials.substr(0, colon);
    CMD5 digest;
    digest.Digest(std::string_view(credentials).substr(colon + 1));
    return store.CheckPassword(name, digest.HexDigest(), account);
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

std::string Dyndns2Answer(CProviderStore& store, const http::Request& request, uint32_t peer, const std::string& peer6,
                          const Dyndns2Options& options)
{
    std::vector<std::pair<std::string, std::string>> params;
    if (!http::ParseQuery(request.Query(), params))
        return http::Answer(400, "badagent\n");
    auto param = [&](const char* name) -> const std::string* {
        for (const auto& [k, v] : params)
            if (k == name)
                return &v;
        return nullptr;
    };

    // Credentials first: nothing about hosts is revealed to a caller who is not an account holder.
    ProviderAccount account;
    if (!Authenticate(store, request.Header("authorization"), account))
        return BadAuth();

    const std::string* hostnames = param("hostname");
    if (!hostnames || hostnames->empty())
        return Text("notfqdn\n");
    std::vector<std::string> hosts;
    size_t pos = 0;
    for (;;) {
        size_t comma = hostnames->find(',', pos);
        hosts.push_back(hostnames->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
        if (hosts.size() > options.maxHosts)
            return Text("numhost\n");
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    // An address that is malformed, of the wrong family or not a host's (link-local, ULA, ...) is refused
    // whole: storing the other family alone would answer "good" to a request that was not carried out.
    ProviderAddresses wanted;
    if (WantedFromQuery(params, peer, peer6, wanted) != WantedVerdict::Ok)
        return http::Answer(400, "badagent\n");
    const std::string shown = Shown(wanted);
    auto failing = [&](uint32_t hostid, const ProviderAddresses& families) {
        return options.publicationFailing &&
               ((!families.ipv4.empty() && options.publicationFailing(store, hostid, IpFamily::V4)) ||
                (!families.ipv6.empty() && options.publicationFailing(store, hostid, IpFamily::V6)));
    };

    std::string body;
    for (const std::string& name : hosts) {
        std::string lookup;
        if (!hostname::FromText(name, lookup)) {
            body += "notfqdn\n";
            continue;
        }
        ProviderHost host;
        if (!store.FindHost(lookup, host)) {
            body += store.LastError().empty() ? "nohost\n" : "911\n";
            continue;
        }
        if (host.owner != account.name) {
            body += "nohost\n";
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
                body += "dnserr\n";  // stored, but the name does not carry it yet; a retry is no abuse
                continue;
            }
            int count = 0;
            if (!store.CountNochg(host.hostid, count))
                body += "911\n";
            else if (count > options.nochgLimit)
                body += "abuse\n";
            else
                body += "nochg " + shown + "\n";
            continue;
        }
        std::vector<int> results;
        if (!store.UpdateHosts(account.name, {host.hostid}, change, results) || results.empty() || results[0] != 1) {
            body += "911\n";
            continue;
        }
        body += failing(host.hostid, change) ? "dnserr\n" : "good " + shown + "\n";
    }
    return Text(body);
}

}  // namespace provider
