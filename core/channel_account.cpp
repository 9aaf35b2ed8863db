// The later requests of the channel: each domain's state, the account and the provider settings,
// log out, new provider settings and a test of the provider. The service is the one writer of
// provider.conf for the desktop program, so a member of the data directory's group changes it
// without root, through the same checks as morvanectl.

#include <arpa/inet.h>

#include <algorithm>
#include <ctime>
#include <iterator>

#include "core/log.h"
#include "core/manager.h"
#include "core/provider/config.h"
#include "core/provider/provider.h"
#include "shared/dns/dns_update.h"
#include "shared/base/files.h"
#include "shared/base/hostname.h"
#include "shared/base/ipv4.h"
#include "shared/packet/commands.h"
#include "shared/xml/data_files.h"

namespace {

uint32_t Now()
{
    return static_cast<uint32_t>(std::time(nullptr));
}

const ProviderKindInfo* KnownKind(const std::string& name, ProviderConfig::Kind& kind)
{
    for (const ProviderKindInfo& info : kProviderKinds)
        if (name == info.name && providerconf::ParseKind(name, kind))
            return &info;
    return nullptr;
}

// "NAME:ALGORITHM:SECRET" as stored for a TSIG key; the name and algorithm go to the page, never the secret.
void SplitKey(const std::string& key, std::string& name, std::string& algorithm)
{
    const size_t first = key.find(':'), last = key.rfind(':');
    if (first == std::string::npos)
        return;
    name = key.substr(0, first);
    algorithm = first == last ? std::string() : key.substr(first + 1, last - first - 1);
}

ProviderSettings ToSettings(const ProviderConfig& c)
{
    ProviderSettings s;
    s.kind = providerconf::KindName(c.kind);
    s.server = c.server;
    s.user = c.user;
    s.passwordStored = !providerconf::LoginSecret(c).empty();
    s.hosts = c.hosts;
    s.checkIp = c.checkIp;
    s.checkIpDefaults = c.checkIpDefaults;
    s.interfaceName = c.interfaceName;
    s.router = c.router;
    s.caFile = c.caFile;
    s.zone = c.zone;
    s.ttl = c.ttl;
    s.proxied = c.proxied == 0 || c.proxied == 1 ? c.proxied : -1;
    s.success = c.success;
    if (c.kind == ProviderConfig::Kind::Nsupdate)
        SplitKey(c.password, s.keyName, s.keyAlgorithm);
    return s;
}

}  // namespace

void CMorvaneManger::NoteHeldFromData()
{
    // The data as a provider shows addresses: "V4", "V6" or "V4,V6".
    for (const DomainRecord& record : m_domains) {
        AddressPair held;
        std::string rest = record.data;
        while (!rest.empty()) {
            size_t comma = rest.find(',');
            std::string part = rest.substr(0, comma);
            rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
            in_addr v4{};
            in6_addr v6{};
            if (::inet_pton(AF_INET, part.c_str(), &v4) == 1)
                held.ipv4 = ntohl(v4.s_addr);
            else if (::inet_pton(AF_INET6, part.c_str(), &v6) == 1)
                std::copy(std::begin(v6.s6_addr), std::end(v6.s6_addr), held.ipv6.begin());
        }
        if (!held.Empty())
            m_history[record.hostid].held = held;
    }
}

void CMorvaneManger::NoteAttempt(const AddressPair& address, const UpdateResultMap& hosts, int status)
{
    const uint32_t now = Now();
    const std::string failure = status == 0 ? std::string() : FailureWords(status);
    for (const auto& [hostid, result] : hosts) {
        HostHistory& h = m_history[hostid];
        h.triedAt = now;
        if (status != 0) {
            h.failure = failure;
        } else if (result == 0) {
            h.failure = "the provider refused the update of this name";
        } else {
            h.failure.clear();
            h.held = address;
            h.updatedAt = now;
        }
    }
}

std::vector<HostStatus> CMorvaneManger::StatusList() const
{
    const AddressPair current = AddressPair::Of(m_netinfo);
    std::vector<HostStatus> list;
    for (const DomainRecord& record : m_domains) {
        HostStatus s;
        s.hostid = record.hostid;
        auto it = m_history.find(record.hostid);
        AddressPair held;
        if (it != m_history.end()) {
            held = it->second.held;
            s.ipv4 = held.ipv4;
            s.ipv6 = held.HasIPv6() ? FormatIPv6(held.ipv6) : std::string();
            s.updatedAt = it->second.updatedAt;
            s.triedAt = it->second.triedAt;
            s.reason = it->second.failure;
        }
        // Switched on is not enough for "current": the provider must hold the address seen now.
        if (!record.enabled)
            s.state = kHostOff;
        else if (!s.reason.empty())
            s.state = kHostFailing;
        else if (!m_checkFailure.empty())
            s.state = kHostFailing, s.reason = m_checkFailure;
        else if (!current.Empty() && (current.ipv4 == 0 || held.ipv4 == current.ipv4) &&
                 (!current.HasIPv6() || held.ipv6 == current.ipv6))
            s.state = kHostCurrent;
        else
            s.state = kHostPending;
        if (!record.enabled)
            s.reason.clear();
        list.push_back(std::move(s));
    }
    return list;
}

void CMorvaneManger::SendDomainStatus()
{
    if (!m_loggedIn && !m_inRequest)
        return;
    if (UdpOutPacketPtr reply = NewReply(CMD_DOMAIN_STATUS)) {
        WriteHostStatusList(*reply, StatusList());  // announces only the hosts that fit
        SendToClient(*reply);
    }
}

void CMorvaneManger::OnDomainStatus()
{
    SendDomainStatus();
}

void CMorvaneManger::OnAccount()
{
    ProviderConfig config;
    bool readable = providerconf::Read(ProviderFile(), config);
    if (UdpOutPacketPtr reply = NewReply(CMD_ACCOUNT)) {
        reply->WriteU8(m_loggedIn ? 1 : 0);
        reply->WriteString(m_loggedIn ? m_userId : std::string());
        reply->WriteU8(readable ? 1 : 0);
        ProviderSettings settings = ToSettings(config);
        if (!WriteProviderSettings(*reply, settings)) {
            settings.hosts.clear();  // far more than a settings page holds; the kind and account still go
            settings.checkIp.clear();
            WriteProviderSettings(*reply, settings);
        }
        SendToClient(*reply);
    }
}

void CMorvaneManger::OnLogOut()
{
    Audit("log out '" + m_userId + "'");
    // An empty account in user.xml: the service waits for a login instead of logging in again.
    bool ok = datafile::WriteLogin(UserFile(), "", "");
    if (!ok)
        JournalPrint(kJournalError, "cannot save %s: %s", UserFile().c_str(),
                     datafile::FailureText(UserFile(), errno).c_str());
    else {
        m_loggedIn = false;
        m_userId.clear();
        m_password.clear();
        m_domains.clear();
        m_pushed.clear();
        m_history.clear();
        m_loginRetryPending = false;
    }
    if (UdpOutPacketPtr reply = NewReply(CMD_LOG_OUT)) {
        reply->WriteU8(ok ? 1 : 0);
        SendToClient(*reply);
    }
}

void CMorvaneManger::OnSetProvider(UdpInPacket& in)
{
    ProviderSettings wanted = ReadProviderSettings(in);
    auto answer = [this](const std::string& problem) {
        if (UdpOutPacketPtr reply = NewReply(CMD_SET_PROVIDER)) {
            reply->WriteU8(problem.empty() ? 1 : 0);
            reply->WriteString(problem);
            SendToClient(*reply);
        }
    };
    // UDP names the owner of a port, not the sender of a datagram: a password goes only over the socket.
    if (m_origin.connection == 0)
        return answer("the provider settings are changed over the local socket only");
    ProviderConfig stored, c;
    std::vector<ProviderConfig> accounts;
    if (providerconf::ReadAll(ProviderFile(), accounts) && !accounts.empty())
        stored = accounts.front();
    // The page edits one account: a file holding more is left to morvanectl rather than overwritten
    // with what the page shows.
    if (accounts.size() > 1)
        return answer("provider.conf holds " + std::to_string(accounts.size()) +
                      " accounts; change them with morvanectl provider");
    const ProviderKindInfo* kind = KnownKind(wanted.kind, c.kind);
    if (!kind)
        return answer("unknown kind of provider: '" + wanted.kind + "'");
    const unsigned fields = kind->fields;
    if (fields & kFieldServer)
        c.server = wanted.server;
    if (fields & kFieldUser)
        c.user = wanted.user;
    for (const std::string& text : wanted.hosts) {
        std::string name;
        c.hosts.push_back(hostname::FromText(text, name) ? name : text);  // without a final dot
    }
    if (fields & kFieldZone) {
        std::string zone;
        c.zone = dns::NormalizeName(wanted.zone, zone) ? zone : wanted.zone;
    }
    if (fields & kFieldTtl)
        c.ttl = wanted.ttl <= 86400 ? wanted.ttl : 0xFFFFFFFFu;  // Check words the latter
    if (fields & kFieldProxied)
        c.proxied = wanted.proxied;
    if (fields & kFieldSuccess)
        c.success = wanted.success;
    c.checkIp = wanted.checkIp;
    c.checkIpDefaults = wanted.checkIpDefaults;
    c.interfaceName = wanted.interfaceName;
    c.router = wanted.router;
    c.caFile = wanted.caFile;
    // What the settings page does not show (the families, IPv6 sources, interface ids) is kept as
    // stored, so that a save from the desktop program loses nothing morvanectl set.
    if (stored.kind == c.kind) {
        c.name = stored.name;
        c.ip = stored.ip;
        c.dualRequest = stored.dualRequest;
        c.checkIp6 = stored.checkIp6;
        for (const std::string& host : c.hosts)
            if (auto it = stored.interfaceIds.find(host); it != stored.interfaceIds.end())
                c.interfaceIds.insert(*it);
    }
    // An empty secret keeps the stored one, but only for the same account on the same server (and for
    // a TSIG key, the same key name).
    std::string secret = wanted.password;
    std::string storedKeyName, storedAlgorithm;
    SplitKey(stored.password, storedKeyName, storedAlgorithm);
    const std::string keyName = c.kind == ProviderConfig::Kind::Nsupdate ? wanted.keyName : std::string();
    if (secret.empty() && stored.kind == c.kind && stored.user == c.user && stored.server == c.server &&
        (c.kind != ProviderConfig::Kind::Nsupdate || storedKeyName == keyName))
        secret = providerconf::LoginSecret(stored);
    if (c.kind != ProviderConfig::Kind::Nsupdate)
        c.password = secret;
    else if (!keyName.empty() || !wanted.keyAlgorithm.empty() || !secret.empty())
        c.password = keyName + ":" + (wanted.keyAlgorithm.empty() ? "hmac-sha256" : wanted.keyAlgorithm) + ":" + secret;
    if (c.kind == ProviderConfig::Kind::WebService) {
        c = ProviderConfig{};
        c.checkIp = wanted.checkIp;
        c.caFile = wanted.caFile;
    }
    std::string problem = providerconf::Check(c);
    if (problem.empty() && !c.caFile.empty() && !files::Exists(c.caFile))
        problem = "no CA file at " + c.caFile;
    if (!problem.empty())
        return answer(problem);
    if (c.kind == ProviderConfig::Kind::WebService)
        Audit("set the provider to the web service");
    else  // a url account's server is its template, which may carry a secret in clear: not said
        Audit(std::string("set the provider to the ") + providerconf::KindName(c.kind) + " account" +
              (c.user.empty() ? std::string() : " '" + c.user + "'") +
              (c.kind == ProviderConfig::Kind::Url || c.server.empty() ? std::string() : " at " + c.server) + " for " +
              std::to_string(c.hosts.size()) + " host(s)");
    if (!providerconf::Write(ProviderFile(), c)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s", ProviderFile().c_str(),
                     datafile::FailureText(ProviderFile(), error).c_str());
        return answer("cannot save " + ProviderFile() + ": " + datafile::FailureText(ProviderFile(), error));
    }
    answer({});
}

void CMorvaneManger::OnTestProvider()
{
    // The address, then the account with the login the service holds: what the next check will do.
    std::string words;
    bool ok = false;
    NetInfo info;
    if (!m_service) {
        words = FailureWords(-1);
    } else if (int status = m_service->PublicAddress(info)) {
        words = "the address could not be checked (" + FailureWords(status) + ")";
    } else {
        m_netinfo = info;
        const AddressPair found = AddressPair::Of(info);
        words = "address " + (found.Empty() ? std::string("unknown") : found.Text()) +
                (info.netlocation.empty() ? std::string() : " (" + info.netlocation + ")");
        UserInfo account;
        std::vector<DomainRecord> hosts;
        if (m_userId.empty()) {
            ok = true;
            words += "; no account logged in";
        } else if (int login = m_service->Hosts(m_userId, m_password, account, hosts)) {
            words += "; the account '" + m_userId + "': " + FailureWords(login);
        } else {
            ok = true;
            words += "; the account '" + m_userId + "' has " + std::to_string(hosts.size()) + " name(s)";
        }
    }
    if (UdpOutPacketPtr reply = NewReply(CMD_TEST_PROVIDER)) {
        reply->WriteU8(ok ? 1 : 0);
        reply->WriteString(words);
        SendToClient(*reply);
    }
}
