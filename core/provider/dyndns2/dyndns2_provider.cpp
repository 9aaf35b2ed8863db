#include "core/provider/dyndns2/dyndns2_provider.h"

#include <algorithm>
#include <chrono>
#include <sstream>

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"
#include "shared/base/md5.h"

namespace {

// Statuses, in the range the web service's client leaves free.
constexpr int kStatusRefused = 910;
constexpr int kStatusNoAnswer = 911;

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

std::string Escape(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == ',') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace

CDyndns2Provider::CDyndns2Provider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                                   std::function<uint64_t()> clockMs)
    : m_config(std::move(config)), m_sources(std::move(sources)), m_clock(std::move(clockMs)), m_transport(HttpsGet)
{
    m_records = providerconf::HostRecords(m_config);
    for (const DomainRecord& r : m_records)
        m_hosts[r.hostid].name = r.domain;
}

void CDyndns2Provider::Persist(const std::string& path, std::function<int64_t()> wallClock)
{
    // One account today, named after its kind; the server and the user name say which account it is.
    m_state =
        std::make_unique<CAcceptedAddresses>(path, providerconf::KindName(m_config.kind),
                                             "dyndns2 " + m_config.user + " " + m_config.server, std::move(wallClock));
    m_state->Load();
    m_state->Keep(m_config.hosts);
    for (auto& [id, host] : m_hosts) {
        const AcceptedAddress* record = m_state->Find(host.name, AddressFamily::IPv4);
        uint32_t accepted = 0;
        host.accepted = record && address::ParseBare(record->address, accepted) ? accepted : 0;
    }
}

bool CDyndns2Provider::Due(const HostState& host) const
{
    return m_state && m_state->Due(host.name, AddressFamily::IPv4);
}

bool CDyndns2Provider::RefreshDue(uint32_t hostid, uint32_t addr) const
{
    auto it = m_hosts.find(hostid);
    return it != m_hosts.end() && it->second.stopCode.empty() && it->second.accepted == addr && Due(it->second);
}

uint64_t CDyndns2Provider::Now() const
{
    if (m_clock)
        return m_clock();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

int CDyndns2Provider::PublicAddress(NetInfo& info)
{
    AddressFinding found = m_sources ? m_sources->Find() : AddressFinding{};
    NetInfo out;
    if (found.address == 0) {
        out.netlocation = "address unknown (no source answered)";
    } else if (!address::IsPublic(found.address)) {
        // Updating a name to this address would point it at nothing reachable; port mapping on the
        // router cannot help either, the address translation happens further out.
        std::string text = FormatIPv4(found.address);
        out.nettype = kNetTypeCarrierGradeNat;
        out.netlocation = "behind carrier-grade NAT (" + found.source + " gives " + text + ")";
        if (found.address != m_lastReported)
            JournalPrint(kJournalWarning,
                         "dyndns2: %s gives %s, not a public address: this machine is behind carrier-grade NAT; "
                         "no update is sent and port mapping cannot help",
                         found.source.c_str(), text.c_str());
        m_lastReported = found.address;
    } else {
        out.dyip = static_cast<int32_t>(found.address);
        out.netlocation = found.source;
        m_lastReported = 1;
    }
    info = out;
    return 0;
}

int CDyndns2Provider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                            std::vector<DomainRecord>& hosts)
{
    CMD5 md5;
    md5.Digest(std::string_view(m_config.password));
    bool ok = md5.HexDigest() && SameDigest(digest, md5.HexDigest());
    ok = (user == m_config.user) & ok;
    if (!ok) {
        m_failure = CallFailure{kStatusRefused, webservice::kFailRefused, "login", "not the account of provider.conf"};
        return kStatusRefused;
    }
    UserInfo a;
    std::snprintf(a.username, sizeof a.username, "%s", user.c_str());
    a.userstatus = 1;
    a.validated = 1;
    account = a;
    hosts = m_records;
    for (DomainRecord& r : hosts) {
        uint32_t accepted = m_hosts[r.hostid].accepted;
        r.data = accepted ? FormatIPv4(accepted) : std::string();
    }
    return 0;
}

std::string CDyndns2Provider::UpdateUrl(const std::string& hostnames, uint32_t addr) const
{
    std::string base = m_config.server;
    size_t slash = base.find('/', 8);  // after "https://"
    if (slash == std::string::npos || slash + 1 == base.size())
        base = (slash == std::string::npos ? base : base.substr(0, slash)) + "/nic/update";
    return base + (base.find('?') == std::string::npos ? "?" : "&") + "hostname=" + Escape(hostnames) +
           "&myip=" + FormatIPv4(addr);
}

void CDyndns2Provider::Apply(HostState& host, const std::string& line, uint32_t addr, int32_t& result)
{
    std::string code = FirstWord(line);
    if (code == "good" || code == "nochg") {
        host.accepted = addr;
        if (m_state)
            m_state->Accept(host.name, AddressFamily::IPv4, FormatIPv4(addr));
        result = 1;
        return;
    }
    result = 0;
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
}

int CDyndns2Provider::Update(const std::string&, const std::string&, uint32_t addr, UpdateResultMap& results)
{
    // Only hosts marked 1 (switched on) are pushed; a host being switched off keeps its byte. A host
    // the server refused for good gets result 0 without failing the others; the request fails when
    // no host ends at the address, or when trying again later could help (no answer, server
    // trouble, no usable address).
    if (addr == 0 || !address::IsPublic(addr)) {
        for (auto& entry : results)
            if (entry.second == 1)
                entry.second = 0;
        return 1;
    }
    std::vector<uint32_t> send;
    bool asked = false, anyThere = false;
    for (auto& [id, result] : results) {
        if (result != 1)
            continue;
        asked = true;
        auto it = m_hosts.find(id);
        if (it == m_hosts.end() || !it->second.stopCode.empty())
            result = 0;
        else if (it->second.accepted != addr || Due(it->second))
            send.push_back(id);
        else
            anyThere = true;  // an address the server already holds is not sent again, until it is due
    }
    if (send.empty())
        return !asked || anyThere ? 0 : 1;
    if (m_backingOff && int64_t(m_backOffUntil - Now()) > 0) {
        for (uint32_t id : send)
            results[id] = 0;
        return 1;
    }
    m_backingOff = false;
    // In the order of the configuration, the order the server answers in.
    std::vector<uint32_t> ordered;
    for (const DomainRecord& r : m_records)
        if (std::find(send.begin(), send.end(), r.hostid) != send.end())
            ordered.push_back(r.hostid);
    send.swap(ordered);

    std::string names;
    for (uint32_t id : send)
        names += (names.empty() ? "" : ",") + m_hosts[id].name;
    HttpsRequest request;
    request.url = UpdateUrl(names, addr);
    request.user = m_config.user;
    request.password = m_config.password;
    request.caFile = m_config.caFile;
    request.cancel = &m_cancelled;
    HttpsAnswer answer;
    ++m_requests;
    if (!m_transport(request, answer)) {
        JournalPrint(kJournalWarning, "dyndns2: update of %s failed: %s", names.c_str(), answer.error.c_str());
        m_failure = CallFailure{kStatusNoAnswer, webservice::kFailUnreachable, "update", answer.error};
        for (uint32_t id : send)
            results[id] = 0;
        return kStatusNoAnswer;
    }
    // One line per host, in the order sent; a single line answers for all of them.
    std::vector<std::string> lines;
    std::stringstream in(answer.body);
    std::string line;
    while (std::getline(in, line))
        if (!FirstWord(line).empty())
            lines.push_back(line);
    if (lines.empty())
        lines.push_back("(empty answer, HTTP " + std::to_string(answer.status) + ")");
    bool retry = false, accepted = false;
    for (size_t i = 0; i < send.size(); ++i) {
        HostState& host = m_hosts[send[i]];
        int32_t& result = results[send[i]];
        Apply(host, lines[std::min(i, lines.size() - 1)], addr, result);
        retry = retry || (result != 1 && host.stopCode.empty());
        anyThere = anyThere || result == 1;
        accepted = accepted || result == 1;
    }
    if (accepted && m_state)
        m_state->Save();
    return retry || !anyThere ? 1 : 0;
}

CallFailure CDyndns2Provider::Failure(int status) const
{
    if (status == m_failure.status)
        return m_failure;
    CallFailure f;
    f.status = status;
    f.kind = status == 0 ? webservice::kFailNone : webservice::kFailUnreachable;
    f.operation = "update";
    f.what = status == 0 ? "" : "not updated";
    return f;
}

std::string CDyndns2Provider::Describe() const
{
    return "dyndns2 account " + m_config.user + " at " + m_config.server;
}
