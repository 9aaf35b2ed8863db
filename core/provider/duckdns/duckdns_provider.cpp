#include "core/provider/https.h"
#include "core/provider/duckdns/duckdns_provider.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/provider/address6.h"
#include "shared/base/ipv4.h"

namespace {

// DuckDNS names its domains by their first label ("home" for home.duckdns.org).
std::string Domain(const std::string& host)
{
    return host.substr(0, host.find('.'));
}

}  // namespace

std::string CDuckDnsProvider::UpdateUrl(const std::vector<std::string>& hosts, const AddressPair& address) const
{
    std::string base = m_config.server.empty() ? providerconf::kDuckDnsServer : m_config.server;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    std::string domains;
    for (const std::string& h : hosts) {
        if (!domains.empty())
            domains += ',';
        domains += Domain(h);
    }
    // A family left out is not sent at all: an empty ip= would make DuckDNS take the request's source.
    std::string url =
        base + "/update?domains=" + QueryEscape(domains, ",:") + "&token=" + QueryEscape(m_config.password, ",:");
    if (address.ipv4)
        url += "&ip=" + FormatIPv4(address.ipv4);
    if (address.HasIPv6())
        url += "&ipv6=" + QueryEscape(address::FormatIPv6(address.ipv6), ",:");
    return url;
}

int CDuckDnsProvider::Send(std::vector<Item>& items)
{
    // Every family the host keeps goes along, so that an answer for one request covers the host whole.
    std::vector<std::pair<AddressPair, std::vector<Item*>>> groups;
    for (Item& item : items) {
        auto same = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == item.wanted; });
        if (same != groups.end())
            same->second.push_back(&item);
        else
            groups.push_back({item.wanted, {&item}});
    }
    int status = 0;
    for (auto& [address, group] : groups) {
        std::vector<std::string> names;
        for (Item* item : group)
            names.push_back(item->name);
        HttpsRequest request;
        request.url = UpdateUrl(names, address);
        HttpsAnswer answer;
        std::string list;
        for (const std::string& n : names) {
            if (!list.empty())
                list += ",";
            list += n;
        }
        if (!Exchange(request, answer)) {
            JournalPrint(kJournalWarning, "%s: update of %s to %s failed: %s", Tag().c_str(), list.c_str(),
                         address.Text().c_str(), answer.error.c_str());
            return Fail(kStatusNoAnswer, answer.error);
        }
        std::string first = answer.body.substr(0, answer.body.find_first_of("\r\n"));
        if (answer.status == 200 && first == "OK") {
            for (Item* item : group) {
                item->done4 = item->sent.ipv4 != 0;
                item->done6 = item->sent.HasIPv6();
            }
        } else if (answer.status == 200 && first == "KO") {
            for (Item* item : group)
                item->stop = "DuckDNS answered KO (the token is wrong or " + Domain(item->name) +
                             " is not a domain of this account)";
            status = Fail(kStatusRefused, "DuckDNS answered KO");
        } else {
            JournalPrint(kJournalWarning, "%s: unexpected answer for %s (HTTP %ld): %.60s", Tag().c_str(), list.c_str(),
                         answer.status, first.c_str());
            status = Fail(1, "unexpected answer");
        }
    }
    return status == kStatusRefused ? 0 : status;
}
