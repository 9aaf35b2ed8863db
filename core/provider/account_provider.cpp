#include "core/provider/account_provider.h"

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"

CAccountProvider::CAccountProvider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                                   std::function<uint64_t()> clockMs)
    : m_config(std::move(config)), m_sources(std::move(sources)), m_clock(std::move(clockMs)), m_transport(HttpsSend)
{
    m_records = providerconf::HostRecords(m_config);
    for (const DomainRecord& r : m_records)
        InitOwnHost(m_hosts[r.hostid], m_config, r.domain);
}

std::string CAccountProvider::Tag() const
{
    return providerconf::AccountName(m_config);
}

std::string CAccountProvider::Identity() const
{
    // Everything that decides what a record at the server looks like.
    return std::string(providerconf::KindName(m_config.kind)) + " " + m_config.server + " " + m_config.zone + " " +
           std::to_string(m_config.ttl) + " " + std::to_string(m_config.proxied) + " " + m_config.user;
}

void CAccountProvider::Persist(const std::string& path, std::function<int64_t()> wallClock)
{
    m_state = std::make_unique<CAcceptedAddresses>(path, providerconf::AccountName(m_config), Identity(),
                                                   std::move(wallClock));
    m_state->Load();
    m_state->Keep(m_config.hosts);
    for (auto& [id, host] : m_hosts)
        LoadAccepted(*m_state, host);
}

uint64_t CAccountProvider::Now() const
{
    return MonotonicMs(m_clock);
}

int CAccountProvider::PublicAddress(NetInfo& info)
{
    info = m_report.Find(m_sources.get(), m_config, Tag());
    return 0;
}

int CAccountProvider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                            std::vector<DomainRecord>& hosts)
{
    bool ok = DigestMatches(providerconf::LoginSecret(m_config), digest);
    ok = (user == providerconf::AccountName(m_config)) & ok;
    if (!ok) {
        m_failure = CallFailure{kStatusRefused, webservice::kFailRefused, "login", "not an account of provider.conf"};
        return kStatusRefused;
    }
    account = OwnUserInfo(user);
    hosts = m_records;
    for (DomainRecord& r : hosts)
        r.data = HeldText(m_config, m_hosts[r.hostid].accepted);
    return 0;
}

bool CAccountProvider::Exchange(HttpsRequest& request, HttpsAnswer& answer)
{
    request.caFile = m_config.caFile;
    request.cancel = &m_cancelled;
    ++m_requests;
    return m_transport(request, answer);
}

int CAccountProvider::Fail(int status, const std::string& what)
{
    m_failure = CallFailure{status, status == kStatusRefused ? webservice::kFailRefused : webservice::kFailUnreachable,
                            "update", what};
    return status;
}

void CAccountProvider::StopAccount(const std::string& why)
{
    if (m_accountStop.empty())
        JournalPrint(kJournalWarning,
                     "%s: %s; no more requests for this account until the provider configuration "
                     "changes",
                     Tag().c_str(), why.c_str());
    m_accountStop = why;
}

void CAccountProvider::BackOff(uint64_t ms)
{
    m_backingOff = true;
    m_backOffUntil = Now() + ms;
}

int CAccountProvider::Update(const std::string&, const std::string&, const AddressPair& addr, UpdateResultMap& results)
{
    // Hosts marked 1 are pushed; a host stopped for good gets 0 without failing the others. The call
    // fails when a host is left without its addresses for a reason that may pass (no answer, a wait).
    std::vector<Item> items;
    bool asked = false, anyUsable = false;
    for (const DomainRecord& r : m_records) {
        auto result = results.find(r.hostid);
        if (result == results.end() || result->second != 1)
            continue;
        asked = true;
        HostState& host = m_hosts[r.hostid];
        Item item;
        item.hostid = r.hostid;
        item.name = host.name;
        item.wanted = WantedAddresses(m_config, host, addr);
        anyUsable = anyUsable || !item.wanted.Empty();
        if (!host.stop.empty() || !m_accountStop.empty() || item.wanted.Empty()) {
            result->second = 0;
            continue;
        }
        if (item.wanted.ipv4 && item.wanted.ipv4 != host.accepted.ipv4)
            item.sent.ipv4 = item.wanted.ipv4;
        if (item.wanted.HasIPv6() && item.wanted.ipv6 != host.accepted.ipv6)
            item.sent.ipv6 = item.wanted.ipv6;
        if (!item.sent.Empty())
            items.push_back(std::move(item));  // an address the server already holds is not sent again
    }
    for (auto& entry : results)
        if (entry.second == 1 && !m_hosts.count(entry.first))
            entry.second = 0;
    m_lastSent = !items.empty();
    if (asked && !anyUsable)
        return 1;  // no address of a kept family is usable now
    if (!m_accountStop.empty())
        return Fail(kStatusRefused, m_accountStop);

    int status = 0;
    if (!items.empty()) {
        if (m_backingOff && int64_t(m_backOffUntil - Now()) > 0) {
            status = Fail(kStatusNoAnswer, "waiting before asking again");  // the hosts end at result 0 below
        } else {
            m_backingOff = false;
            status = Send(items);
        }
    }
    bool accepted = false;
    for (const Item& item : items) {
        HostState& host = m_hosts[item.hostid];
        if (item.done4 && item.sent.ipv4) {
            host.accepted.ipv4 = item.sent.ipv4;
            if (m_state)
                m_state->Accept(host.name, AddressFamily::IPv4, FormatIPv4(item.sent.ipv4));
            accepted = true;
        }
        if (item.done6 && item.sent.HasIPv6()) {
            host.accepted.ipv6 = item.sent.ipv6;
            if (m_state)
                m_state->Accept(host.name, AddressFamily::IPv6, address::FormatIPv6(item.sent.ipv6));
            accepted = true;
        }
        if (!item.stop.empty() && host.stop.empty()) {
            host.stop = item.stop;
            JournalPrint(kJournalWarning, "%s: %s; no more updates for %s until the provider configuration changes",
                         Tag().c_str(), item.stop.c_str(), host.name.c_str());
        }
    }
    if (accepted && m_state)
        m_state->Save();
    // A host is done when the server holds every family it should have now.
    bool retry = false, anyThere = false;
    for (const DomainRecord& r : m_records) {
        auto result = results.find(r.hostid);
        if (result == results.end() || result->second != 1)
            continue;
        HostState& host = m_hosts[r.hostid];
        AddressPair wanted = WantedAddresses(m_config, host, addr);
        bool there = host.stop.empty() && m_accountStop.empty() &&
                     (!wanted.ipv4 || host.accepted.ipv4 == wanted.ipv4) &&
                     (!wanted.HasIPv6() || host.accepted.ipv6 == wanted.ipv6);
        result->second = there ? 1 : 0;
        anyThere = anyThere || there;
        retry = retry || (!there && host.stop.empty() && m_accountStop.empty());
    }
    if (status != 0)
        return status;
    if (!m_accountStop.empty())
        return Fail(kStatusRefused, m_accountStop);
    return retry || (asked && !anyThere) ? 1 : 0;
}

CallFailure CAccountProvider::Failure(int status) const
{
    return UpdateFailure(m_failure, status);
}

std::string CAccountProvider::Describe() const
{
    return std::string(providerconf::KindName(m_config.kind)) + " account " + providerconf::AccountName(m_config) +
           (m_config.server.empty() ? std::string() : " at " + m_config.server);
}
