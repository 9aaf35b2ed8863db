#include "core/provider/https.h"
#include "core/provider/url/url_provider.h"

#include <algorithm>
#include <cstring>

#include "core/log.h"
#include "core/provider/address6.h"
#include "shared/base/ipv4.h"

namespace {

// The template without its secret, for the journal.
std::string Redacted(std::string url, const std::string& secret)
{
    for (size_t at; !secret.empty() && (at = url.find(secret)) != std::string::npos;)
        url.replace(at, secret.size(), "***");
    return url;
}

}  // namespace

std::string CUrlProvider::Fill(const std::string& host, const AddressPair& address) const
{
    const std::string& t = m_config.server;
    std::string out;
    // One pass, so that a value holding "{ipv4}" is never replaced again.
    for (size_t i = 0; i < t.size();) {
        static const char* const kNames[] = {"{host}", "{ipv4}", "{ipv6}", "{password}"};
        int which = -1;
        for (int n = 0; n < 4 && which < 0; ++n)
            if (t.compare(i, std::strlen(kNames[n]), kNames[n]) == 0)
                which = n;
        if (which < 0) {
            out += t[i++];
            continue;
        }
        i += std::strlen(kNames[which]);
        if (which == 0)
            out += QueryEscape(host);
        else if (which == 1)
            out += address.ipv4 ? FormatIPv4(address.ipv4) : std::string();
        else if (which == 2)
            out += address.HasIPv6() ? QueryEscape(address::FormatIPv6(address.ipv6)) : std::string();
        else
            out += QueryEscape(m_config.password);
    }
    return out;
}

int CUrlProvider::Send(std::vector<Item>& items)
{
    // Per host when the template names the host; else one request per address pair for them all.
    const bool perHost = m_config.server.find("{host}") != std::string::npos;
    std::vector<std::pair<AddressPair, std::vector<Item*>>> groups;
    for (Item& item : items) {
        auto same =
            perHost ? groups.end()
                    : std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == item.wanted; });
        if (same != groups.end())
            same->second.push_back(&item);
        else
            groups.push_back({item.wanted, {&item}});
    }
    int status = 0;
    for (auto& [address, group] : groups) {
        HttpsRequest request;
        request.url = Fill(group.front()->name, address);
        if (!m_config.user.empty()) {
            request.user = m_config.user;
            request.password = m_config.password;
        }
        HttpsAnswer answer;
        std::string shown = Redacted(request.url, QueryEscape(m_config.password));
        if (!Exchange(request, answer)) {
            JournalPrint(kJournalWarning, "%s: %s failed: %s", Tag().c_str(), shown.c_str(), answer.error.c_str());
            return Fail(kStatusNoAnswer, answer.error);
        }
        if (answer.status == 401 || answer.status == 403) {
            StopAccount("the server refused the credentials (HTTP " + std::to_string(answer.status) + ")");
            return Fail(kStatusRefused, "credentials refused");
        }
        bool ok = m_config.success.empty() ? answer.status >= 200 && answer.status <= 299
                                           : answer.body.find(m_config.success) != std::string::npos;
        if (!ok) {
            std::string first = answer.body.substr(0, answer.body.find_first_of("\r\n"));
            JournalPrint(kJournalWarning, "%s: %s answered HTTP %ld%s%.60s%s", Tag().c_str(), shown.c_str(),
                         answer.status, first.empty() ? "" : " \"", first.c_str(), first.empty() ? "" : "\"");
            status = Fail(1, "HTTP " + std::to_string(answer.status));
            continue;
        }
        for (Item* item : group) {
            item->done4 = item->sent.ipv4 != 0;
            item->done6 = item->sent.HasIPv6();
        }
    }
    return status;
}
