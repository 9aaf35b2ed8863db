#include "core/provider/account_provider.h"

#include <chrono>

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"
#include "shared/base/md5.h"

namespace {

bool SameDigest(const std::string& a, const std::string& b)
{
    // Constant time over the 32 characters; case-insensitive, as hexadecimal is.
    if (a.size() != 32 || b.size() != 32)
        return false;
    unsigned diff = 0;
    for (size_t i = 0; i < 32; ++i)
        diff |= unsigned((a[i] | 0x20) ^ (b[i] | 0x20));
    return diff == 0;
}

}  // namespace

CAccountProvider::CAccountProvider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                                   std::function<uint64_t()> clockMs)
    : m_config(std::move(config)), m_sources(std::move(sources)), m_clock(std::move(clockMs)), m_transport(HttpsSend)
{
    m_records = providerconf::HostRecords(m_config);
    for (const DomainRecord& r : m_records) {
        HostState& host = m_hosts[r.hostid];
        host.name = r.domain;
        auto id = m_config.interfaceIds.find(r.domain);
        host.hasInterfaceId =
            id != m_config.interfaceIds.end() && address::ParseInterfaceId(id->second, host.interfaceId);
    }
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
    for (auto& [id, host] : m_hosts) {
        host.accepted = AddressPair{};
        const AcceptedAddress* v4 = m_state->Find(host.name, AddressFamily::IPv4);
        const AcceptedAddress* v6 = m_state->Find(host.name, AddressFamily::IPv6);
        if (v4 && !address::ParseBare(v4->address, host.accepted.ipv4))
            host.accepted.ipv4 = 0;
        if (v6 && !address::ParseIPv6(v6->address, host.accepted.ipv6))
            host.accepted.ipv6 = {};
    }
}

uint64_t CAccountProvider::Now() const
{
    if (m_clock)
        return m_clock();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

AddressPair CAccountProvider::Wanted(const HostState& host, const AddressPair& machine) const
{
    AddressPair wanted;
    if (m_config.WantsIPv4() && address::IsPublic(machine.ipv4))
        wanted.ipv4 = machine.ipv4;
    if (m_config.WantsIPv6() && address::IsGlobalUnicast(machine.ipv6))
        wanted.ipv6 = host.hasInterfaceId ? address::WithInterfaceId(machine.ipv6, host.interfaceId) : machine.ipv6;
    return wanted;
}

int CAccountProvider::PublicAddress(NetInfo& info)
{
    // As for dyndns2: a private or carrier-grade-NAT IPv4 address and an IPv6 address that is not global
    // unicast are reported but never sent; each change of what is found is said once.
    const std::string tag = Tag();
    NetInfo out;
    if (m_config.WantsIPv4()) {
        AddressFinding found = m_sources ? m_sources->Find() : AddressFinding{};
        if (found.address == 0) {
            out.netlocation = "address unknown (no source answered)";
            if (m_lastReported != 0 && m_config.WantsIPv6())
                JournalPrint(kJournalWarning, "%s: no IPv4 address now; IPv4 records are not updated until one comes",
                             tag.c_str());
            m_lastReported = 0;
        } else if (!address::IsPublic(found.address)) {
            std::string text = FormatIPv4(found.address);
            out.nettype = kNetTypeCarrierGradeNat;
            out.netlocation = "behind carrier-grade NAT (" + found.source + " gives " + text + ")";
            if (found.address != m_lastReported)
                JournalPrint(kJournalWarning,
                             "%s: %s gives %s, not a public address: this machine is behind carrier-grade NAT; no "
                             "IPv4 update is sent",
                             tag.c_str(), found.source.c_str(), text.c_str());
            m_lastReported = found.address;
        } else {
            out.dyip = static_cast<int32_t>(found.address);
            out.netlocation = found.source;
            m_lastReported = 1;
        }
    }
    if (m_config.WantsIPv6()) {
        AddressFinding6 found = m_sources ? m_sources->FindIPv6() : AddressFinding6{};
        out.reportsIPv6 = true;
        int state = !found.found ? 0 : address::IsGlobalUnicast(found.address) ? 1 : 2;
        std::string where = state == 1 ? found.source : state == 0 ? "no IPv6 address" : "no global IPv6 address";
        if (state == 1)
            out.dyip6 = found.address;
        else if (state != m_lastReported6)
            JournalPrint(kJournalWarning, "%s: %s now; IPv6 records are not updated until one comes", tag.c_str(),
                         where.c_str());
        m_lastReported6 = state;
        if (!m_config.WantsIPv4())
            out.netlocation = state == 1 ? where : "IPv6 address unknown (" + where + ")";
        else if (where != out.netlocation)
            out.netlocation += "; IPv6: " + where;
    }
    info = out;
    return 0;
}

int CAccountProvider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                            std::vector<DomainRecord>& hosts)
{
    CMD5 md5;
    md5.Digest(std::string_view(providerconf::LoginSecret(m_config)));
    bool ok = md5.HexDigest() && SameDigest(digest, md5.HexDigest());
    ok = (user == providerconf::AccountName(m_config)) & ok;
    if (!ok) {
        m_failure = CallFailure{kStatusRefused, webservice::kFailRefused, "login", "not an account of provider.conf"};
        return kStatusRefused;
    }
    UserInfo a;
    std::snprintf(a.username, sizeof a.username, "%s", user.c_str());
    a.userstatus = 1;
    a.validated = 1;
    account = a;
    hosts = m_records;
    for (DomainRecord& r : hosts) {
        const AddressPair& accepted = m_hosts[r.hostid].accepted;
        std::string v4 = m_config.WantsIPv4() && accepted.ipv4 ? FormatIPv4(accepted.ipv4) : std::string();
        std::string v6 = m_config.WantsIPv6() && accepted.HasIPv6() ? address::FormatIPv6(accepted.ipv6) : "";
        r.data = v4.empty() || v6.empty() ? v4 + v6 : v4 + "," + v6;
    }
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
        item.wanted = Wanted(host, addr);
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
        AddressPair wanted = Wanted(host, addr);
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
