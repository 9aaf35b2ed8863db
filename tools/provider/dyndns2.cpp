#include "tools/provider/dyndns2.h"

#include <cctype>
#include <vector>

#include "shared/base/hostname.h"
#include "shared/base/md5.h"
#include "shared/base/ipv4.h"
#include "tools/provider/server.h"
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

// The address to set: the first IPv4 address of `myip` (a comma-separated list may carry an IPv6 one too),
// or the caller's when absent or empty. False when the parameter is there but names no IPv4 address.
bool WantedAddress(const std::string* myip, uint32_t peer, uint32_t& address)
{
    if (!myip || myip->empty()) {
        address = peer;
        return peer != 0;
    }
    size_t pos = 0;
    while (pos <= myip->size()) {
        size_t comma = myip->find(',', pos);
        std::string item = myip->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (ParseDotted(item, address))
            return true;
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return false;
}

}  // namespace

std::string Dyndns2Answer(CProviderStore& store, const http::Request& request, uint32_t peer,
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
    uint32_t address = 0;
    if (!WantedAddress(param("myip"), peer, address))
        return http::Answer(400, "badagent\n");
    const std::string dotted = FormatIPv4(address);

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
        if (host.data == dotted && options.publicationFailing && options.publicationFailing(store, host.hostid)) {
            body += "dnserr\n";  // stored, but the name does not carry it yet; a retry is no abuse
            continue;
        }
        if (host.data == dotted) {
            int count = 0;
            if (!store.CountNochg(host.hostid, count))
                body += "911\n";
            else if (count > options.nochgLimit)
                body += "abuse\n";
            else
                body += "nochg " + dotted + "\n";
            continue;
        }
        std::vector<int> results;
        if (!store.UpdateHosts(account.name, {host.hostid}, dotted, results) || results.empty() || results[0] != 1) {
            body += "911\n";
            continue;
        }
        store.ResetNochg(host.hostid);
        if (options.publicationFailing && options.publicationFailing(store, host.hostid))
            body += "dnserr\n";
        else
            body += "good " + dotted + "\n";
    }
    return Text(body);
}

}  // namespace provider
