#include "core/provider/https.h"
#include "core/provider/dyndns2/dyndns2_provider.h"

#include <algorithm>
#include <sstream>

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"

namespace {

// Statuses, in the range the web service's client leaves free.
constexpr int kStatusRefused = 910;
constexpr int kStatusNoAnswer = 911;

std::string FirstWord(const std::string& line)
{
    size_t end = line.find_first_of(" \t\r");
    return line.substr(0, end);
}

bool IsStopCode(const std::string& code)
{
    return code == "badauth" || code == "nohost" || code == "notfqdn" || code == "abuse" || code == "!donator" ||
           code == "badagent" || code == "!yours";
}

}  // namespace

CDyndns2Provider::CDyndns2Provider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                                   std::function<uint64_t()> clockMs)
    : m_config(std::move(config)), m_sources(std::move(sources)), m_clock(std::move(clockMs)), m_transport(HttpsGet)
{
    m_records = providerconf::HostRecords(m_config);
    for (const DomainRecord& r : m_records)
        InitOwnHost(m_hosts[r.hostid], m_config, r.domain);
}

void CDyndns2Provider::Persist(const std::string& path, std::function<int64_t()> wallClock)
{
    // Named after the account (the kind unless named); the server and the user say which account it is.
    m_state =
        std::make_unique<CAcceptedAddresses>(path, providerconf::AccountName(m_config),
                                             "dyndns2 " + m_config.user + " " + m_config.server, std::move(wallClock));
    m_state->Load();
    m_state->Keep(m_config.hosts);
    for (auto& [id, host] : m_hosts)
        LoadAccepted(*m_state, host);
}

bool CDyndns2Provider::Due(const HostState& host, AddressFamily family) const
{
    return m_state && m_state->Due(host.name, family);
}

AddressPair CDyndns2Provider::DueParts(const HostState& host, const AddressPair& wanted) const
{
    AddressPair due;
    if (wanted.ipv4 && (host.accepted.ipv4 != wanted.ipv4 || Due(host, AddressFamily::IPv4)))
        due.ipv4 = wanted.ipv4;
    if (wanted.HasIPv6() && (host.accepted.ipv6 != wanted.ipv6 || Due(host, AddressFamily::IPv6)))
        due.ipv6 = wanted.ipv6;
    return due;
}

bool CDyndns2Provider::RefreshDue(uint32_t hostid, const AddressPair& addr) const
{
    auto it = m_hosts.find(hostid);
    if (it == m_hosts.end() || !it->second.stopCode.empty())
        return false;
    const HostState& host = it->second;
    AddressPair wanted = WantedAddresses(m_config, host, addr);
    // Only a keep-alive: a changed address is sent anyway.
    return (wanted.ipv4 && host.accepted.ipv4 == wanted.ipv4 && Due(host, AddressFamily::IPv4)) ||
           (wanted.HasIPv6() && host.accepted.ipv6 == wanted.ipv6 && Due(host, AddressFamily::IPv6));
}

uint64_t CDyndns2Provider::Now() const
{
    return MonotonicMs(m_clock);
}

int CDyndns2Provider::PublicAddress(NetInfo& info)
{
    info = m_report.Find(m_sources.get(), m_config, "dyndns2");
    return 0;
}

int CDyndns2Provider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                            std::vector<DomainRecord>& hosts)
{
    bool ok = DigestMatches(m_config.password, digest);
    ok = (user == m_config.user) & ok;
    if (!ok) {
        m_failure = CallFailure{kStatusRefused, webservice::kFailRefused, "login", "not the account of provider.conf"};
        return kStatusRefused;
    }
    account = OwnUserInfo(user);
    hosts = m_records;
    // The data column: what the server holds, in the families the account keeps ("V4,V6" for both).
    for (DomainRecord& r : hosts)
        r.data = HeldText(m_config, m_hosts[r.hostid].accepted);
    return 0;
}

std::string CDyndns2Provider::UpdateUrl(const std::string& hostnames, const AddressPair& addr) const
{
    std::string base = m_config.server;
    size_t slash = base.find('/', 8);  // after "https://"
    if (slash == std::string::npos || slash + 1 == base.size())
        base = (slash == std::string::npos ? base : base.substr(0, slash)) + "/nic/update";
    std::string myip = addr.ipv4 ? FormatIPv4(addr.ipv4) : std::string();
    if (addr.HasIPv6()) {
        if (!myip.empty())
            myip += ",";
        myip += address::FormatIPv6(addr.ipv6);
    }
    return base + (base.find('?') == std::string::npos ? "?" : "&") + "hostname=" + QueryEscape(hostnames, ",:") +
           "&myip=" + QueryEscape(myip, ",:");
}

bool CDyndns2Provider::Apply(HostState& host, const std::string& line, const AddressPair& sent)
{
    std::string code = FirstWord(line);
    if (code == "good" || code == "nochg") {
        // The answer names what the server now holds; when it names addresses of one family only
        // although both were sent, the server may have ignored the other: said once per host.
        bool echo4 = false, echo6 = false;
        std::stringstream words(line.substr(code.size()));
        std::string item;
        while (std::getline(words, item, ',')) {
            size_t a = item.find_first_not_of(" \t\r"), b = item.find_last_not_of(" \t\r");
            std::string text = a == std::string::npos ? "" : item.substr(a, b - a + 1);
            uint32_t v4 = 0;
            address::IPv6 v6{};
            echo4 = echo4 || address::ParseBare(text, v4);
            echo6 = echo6 || address::ParseIPv6(text, v6);
        }
        if (sent.ipv4 && sent.HasIPv6() && echo4 != echo6 && !host.partialAnswerLogged) {
            host.partialAnswerLogged = true;
            JournalPrint(kJournalWarning,
                         "dyndns2: the server answered \"%.60s\" for %s, naming no %s address although both were "
                         "sent; if it takes one family per request, use dual-request=separate "
                         "(morvanectl provider set ... --dual-request separate)",
                         line.c_str(), host.name.c_str(), echo4 ? "IPv6" : "IPv4");
        }
        if (sent.ipv4) {
            host.accepted.ipv4 = sent.ipv4;
            if (m_state)
                m_state->Accept(host.name, AddressFamily::IPv4, FormatIPv4(sent.ipv4));
        }
        if (sent.HasIPv6()) {
            host.accepted.ipv6 = sent.ipv6;
            if (m_state)
                m_state->Accept(host.name, AddressFamily::IPv6, address::FormatIPv6(sent.ipv6));
        }
        return true;
    }
    if (IsStopCode(code)) {
        host.stopCode = code;
        JournalPrint(kJournalWarning,
                     "dyndns2: the server refused %s with \"%s\"; no more updates for it until the provider "
                     "configuration changes",
                     host.name.c_str(), code.c_str());
    } else if (code == "911" || code == "dnserr") {
        m_backingOff = true;
        m_backOffUntil = Now() + kDyndns2BackOffMs;
        JournalPrint(kJournalWarning,
                     "dyndns2: the server answered \"%s\" for %s; waiting 30 minutes before asking again", code.c_str(),
                     host.name.c_str());
    } else {
        JournalPrint(kJournalWarning, "dyndns2: unexpected answer for %s: %.60s", host.name.c_str(), line.c_str());
    }
    return false;
}

bool CDyndns2Provider::Send(const std::vector<uint32_t>& hosts, const AddressPair& sent,
                            std::vector<std::string>& lines)
{
    std::string names;
    for (uint32_t id : hosts) {
        if (!names.empty())
            names += ",";
        names += m_hosts[id].name;
    }
    HttpsRequest request;
    request.url = UpdateUrl(names, sent);
    request.user = m_config.user;
    request.password = m_config.password;
    request.caFile = m_config.caFile;
    request.cancel = &m_cancelled;
    HttpsAnswer answer;
    ++m_requests;
    if (!m_transport(request, answer)) {
        JournalPrint(kJournalWarning, "dyndns2: update of %s to %s failed: %s", names.c_str(), sent.Text().c_str(),
                     answer.error.c_str());
        m_failure = CallFailure{kStatusNoAnswer, webservice::kFailUnreachable, "update", answer.error};
        return false;
    }
    // One line per host, in the order sent; a single line answers for all of them.
    lines.clear();
    std::stringstream in(answer.body);
    std::string line;
    while (std::getline(in, line))
        if (!FirstWord(line).empty())
            lines.push_back(line);
    if (lines.empty())
        lines.push_back("(empty answer, HTTP " + std::to_string(answer.status) + ")");
    return true;
}

int CDyndns2Provider::Update(const std::string&, const std::string&, const AddressPair& addr, UpdateResultMap& results)
{
    // Only hosts marked 1 (switched on) are pushed; a host being switched off keeps its byte. A host
    // the server refused for good gets result 0 without failing the others; the request fails when
    // no host ends at the address, or when trying again later could help (no answer, server
    // trouble, no usable address).
    struct Request {
        AddressPair sent;
        std::vector<uint32_t> hosts;  // in the order of the configuration, the order the server answers in
    };
    std::vector<Request> requests;
    std::map<uint32_t, AddressPair> wantedOf;
    bool asked = false, anyThere = false, anyUsable = false;
    for (const DomainRecord& r : m_records) {
        auto result = results.find(r.hostid);
        if (result == results.end() || result->second != 1)
            continue;
        asked = true;
        HostState& host = m_hosts[r.hostid];
        AddressPair wanted = WantedAddresses(m_config, host, addr);
        wantedOf[r.hostid] = wanted;
        anyUsable = anyUsable || !wanted.Empty();
        if (!host.stopCode.empty() || wanted.Empty()) {
            result->second = 0;
            continue;
        }
        AddressPair due = DueParts(host, wanted);
        if (due.Empty()) {
            anyThere = true;  // an address the server already holds is not sent again, until it is due
            continue;
        }
        // Both families go together unless the server takes one per request: a request with one
        // family alone could make a server drop the other's record.
        std::vector<AddressPair> parts;
        if (m_config.dualRequest == ProviderConfig::DualRequest::Separate) {
            if (due.ipv4)
                parts.push_back(AddressPair(due.ipv4));
            if (due.HasIPv6()) {
                parts.emplace_back();
                parts.back().ipv6 = due.ipv6;
            }
        } else {
            parts.push_back(wanted);
        }
        for (const AddressPair& part : parts) {
            // Hosts due with the same addresses share a request.
            auto same =
                std::find_if(requests.begin(), requests.end(), [&](const Request& q) { return q.sent == part; });
            if (same != requests.end())
                same->hosts.push_back(r.hostid);
            else
                requests.push_back(Request{part, {r.hostid}});
        }
    }
    for (auto& entry : results)
        if (entry.second == 1 && !m_hosts.count(entry.first))
            entry.second = 0;
    m_lastSent = !requests.empty();
    if (!anyUsable && asked)
        return 1;  // no address of a kept family is usable now
    if (requests.empty())
        return !asked || anyThere ? 0 : 1;

    bool retry = false, answered = true, accepted = false;
    for (const Request& q : requests) {
        if (m_backingOff && int64_t(m_backOffUntil - Now()) > 0) {
            retry = true;
            break;
        }
        m_backingOff = false;
        std::vector<std::string> lines;
        if (!Send(q.hosts, q.sent, lines)) {
            answered = false;
            break;
        }
        for (size_t i = 0; i < q.hosts.size(); ++i) {
            if (Apply(m_hosts[q.hosts[i]], lines[std::min(i, lines.size() - 1)], q.sent))
                accepted = true;
            else
                results[q.hosts[i]] = 0;
        }
    }
    // A host is done when the server holds every family it should have now; with separate requests
    // one family may have gone through and the other not: only the other is sent again.
    for (auto& [id, result] : results) {
        if (!wantedOf.count(id))
            continue;
        HostState& host = m_hosts[id];
        if (result == 1 && DueParts(host, wantedOf[id]).Empty() && host.stopCode.empty())
            anyThere = true;
        else
            result = 0;
        retry = retry || (result != 1 && host.stopCode.empty());
    }
    if (accepted && m_state)
        m_state->Save();
    if (!answered)
        return kStatusNoAnswer;
    return retry || !anyThere ? 1 : 0;
}

CallFailure CDyndns2Provider::Failure(int status) const
{
    return UpdateFailure(m_failure, status);
}

std::string CDyndns2Provider::Describe() const
{
    return "dyndns2 account " + m_config.user + " at " + m_config.server;
}
