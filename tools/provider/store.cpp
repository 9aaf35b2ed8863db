#include "tools/provider/store.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>

#include "shared/base/hostname.h"
#include "shared/base/md5.h"

using provider::CSqlRow;
using provider::NowMs;
using provider::SqlValue;

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::function<void()>& Listener()
{
    static std::function<void()> listener;
    return listener;
}

// Compares in time independent of where the texts differ, so a caller cannot find the digest byte by byte.
bool SameSecret(const std::string& a, const std::string& b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < b.size(); ++i)
        diff |= static_cast<unsigned char>((i < a.size() ? a[i] : 0) ^ b[i]);
    return diff == 0;
}

constexpr const char kAccountColumns[] = "SELECT userid, name, digest, nick, email, userstatus, validated, pwhash";

ProviderAccount AccountOf(const CSqlRow& r)
{
    ProviderAccount a;
    a.userid = static_cast<int32_t>(r.Int(0));
    a.name = r.Text(1);
    a.digest = r.Text(2);
    a.nick = r.Text(3);
    a.email = r.Text(4);
    a.status = static_cast<int>(r.Int(5));
    a.validated = static_cast<int>(r.Int(6));
    a.pwhash = r.Text(7);
    return a;
}

constexpr const char kHostColumns[] = "SELECT hostid, domain, data, owner, data6, changed_ms FROM hosts";

ProviderHistory HistoryOf(const CSqlRow& r)
{
    ProviderHistory h;
    h.time = r.Int(0);
    h.hostid = static_cast<uint32_t>(r.Int(1));
    h.account = r.Text(2);
    h.address = r.Text(3);
    h.result = static_cast<int>(r.Int(4));
    h.publication = r.Text(5);
    h.attempts = static_cast<int>(r.Int(6));
    h.publicationError = r.Text(7);
    h.nextAttemptMs = r.Int(8);
    h.family = static_cast<int>(r.Int(9));
    return h;
}

constexpr const char kHistoryColumns[] =
    "SELECT h.time, h.hostid, h.account, h.address, h.result, p.state, p.attempts, p.error, p.next_ms, h.family"
    " FROM history h LEFT JOIN publications p ON p.id = h.id";

}  // namespace

CProviderStore::CProviderStore() = default;

CProviderStore::~CProviderStore()
{
    Close();
}

bool CProviderStore::Fail(const char* what)
{
    m_error = what;
    if (m_db && !m_db->Error().empty()) {
        m_error += ": ";
        m_error += m_db->Error();
    }
    return false;
}

bool CProviderStore::InTransaction(const char* what, const std::function<bool()>& body)
{
    m_error.clear();
    if (!m_db->Begin())
        return Fail(what);
    if (!body()) {
        if (m_error.empty())
            Fail(what);
        m_db->Rollback();
        return false;
    }
    return m_db->Commit() || Fail(what);
}

bool CProviderStore::Open(const std::string& where)
{
    Close();
    m_db = provider::OpenDatabase(where, m_error);
    return m_db != nullptr;
}

int CProviderStore::SchemaVersion()
{
    return provider::CurrentSchemaVersion();
}

void CProviderStore::Close()
{
    m_db.reset();
}

bool CProviderStore::IsPostgres() const
{
    return m_db && m_db->Engine() == provider::SqlEngine::Postgres;
}

bool CProviderStore::AddAccount(const ProviderAccount& account, int32_t& userid)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query("INSERT INTO accounts(name, digest, nick, email, userstatus, validated, pwhash)"
                     " VALUES(?,?,?,?,?,?,?) RETURNING userid",
                     {account.name, Lower(account.digest), account.nick, account.email, int64_t{account.status},
                      int64_t{account.validated}, account.pwhash},
                     &rows) ||
        rows.empty())
        return Fail("add account");
    userid = static_cast<int32_t>(rows[0].Int(0));
    return true;
}

bool CProviderStore::FindAccount(const std::string& name, ProviderAccount& account)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kAccountColumns) + " FROM accounts WHERE name=?", {name}, &rows))
        return Fail("find account");
    if (rows.empty()) {
        m_error = "no such account: " + name;
        return false;
    }
    account = AccountOf(rows[0]);
    return true;
}

bool CProviderStore::Accounts(std::vector<ProviderAccount>& accounts)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kAccountColumns) + " FROM accounts ORDER BY userid", {}, &rows))
        return Fail("list accounts");
    for (const CSqlRow& r : rows)
        accounts.push_back(AccountOf(r));
    return true;
}

bool CProviderStore::CheckPassword(const std::string& name, const std::string& digest, ProviderAccount& account)
{
    ProviderAccount found;
    if (!FindAccount(name, found))
        return false;
    if (!SameSecret(Lower(digest), found.digest)) {
        m_error = "wrong password";
        return false;
    }
    account = std::move(found);
    return true;
}

bool CProviderStore::SetPassword(const std::string& name, const std::string& digest, const std::string& pwhash)
{
    if (!m_db->Query("UPDATE accounts SET digest=?, pwhash=? WHERE name=?", {Lower(digest), pwhash, name}))
        return Fail("set password");
    if (m_db->Changes() != 1) {
        m_error = "no such account: " + name;
        return false;
    }
    return true;
}

bool CProviderStore::AddPasswordHash(const std::string& name, const std::string& digest, const std::string& pwhash)
{
    return m_db->Query("UPDATE accounts SET pwhash=? WHERE name=? AND digest=? AND pwhash=''",
                       {pwhash, name, Lower(digest)}) ||
           Fail("store password hash");
}

bool CProviderStore::AddHost(const std::string& owner, const std::string& domain, uint32_t& hostid)
{
    // The same rule as the dyndns2 endpoint's: a host it could never update is not made.
    std::string name;
    if (!hostname::FromText(domain, name)) {
        m_error = "not a host name: '" + domain + "' (" + hostname::kRule + ")";
        return false;
    }
    ProviderAccount account;
    if (!FindAccount(owner, account))
        return false;
    ProviderHost existing;
    if (FindHost(name, existing)) {
        m_error = "the host " + existing.domain + " exists already (names are compared without case)";
        return false;
    }
    if (!m_error.empty())
        return false;
    std::vector<CSqlRow> rows;
    if (!m_db->Query("INSERT INTO hosts(domain, owner) VALUES(?,?) RETURNING hostid", {name, owner}, &rows) ||
        rows.empty())
        return Fail("add host");
    hostid = static_cast<uint32_t>(rows[0].Int(0));
    return true;
}

bool CProviderStore::ReadHosts(const std::string& sql, const std::vector<SqlValue>& params,
                               std::vector<ProviderHost>& hosts)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(sql, params, &rows))
        return Fail("list hosts");
    for (const CSqlRow& r : rows) {
        ProviderHost h;
        h.hostid = static_cast<uint32_t>(r.Int(0));
        h.domain = r.Text(1);
        h.data = r.Text(2);
        h.owner = r.Text(3);
        h.data6 = r.Text(4);
        h.changedMs = r.Int(5);
        hosts.push_back(std::move(h));
    }
    return true;
}

bool CProviderStore::FindHost(const std::string& domain, ProviderHost& host)
{
    m_error.clear();
    std::vector<ProviderHost> found;
    // Host names are ASCII: lower() is the engines' common case-folding, and both index it.
    if (!ReadHosts(std::string(kHostColumns) + " WHERE lower(domain)=lower(?)", {domain}, found))
        return false;
    if (found.empty())
        return false;
    host = std::move(found.front());
    return true;
}

bool CProviderStore::HostsOf(const std::string& owner, std::vector<ProviderHost>& hosts)
{
    return ReadHosts(std::string(kHostColumns) + " WHERE owner=? ORDER BY hostid", {owner}, hosts);
}

bool CProviderStore::Hosts(std::vector<ProviderHost>& hosts)
{
    return ReadHosts(std::string(kHostColumns) + " ORDER BY hostid", {}, hosts);
}

bool CProviderStore::ReadZones(const std::string* only, std::vector<DnsZone>& zones)
{
    std::vector<CSqlRow> rows;
    bool ok = only ? m_db->Query("SELECT zone, server, port, keyname, algorithm, secret, ttl FROM zones WHERE zone=?",
                                 {*only}, &rows)
                   : m_db->Query("SELECT zone, server, port, keyname, algorithm, secret, ttl FROM zones ORDER BY zone",
                                 {}, &rows);
    if (!ok)
        return false;
    for (const CSqlRow& r : rows) {
        DnsZone z;
        z.zone = r.Text(0);
        z.server = r.Text(1);
        z.port = static_cast<uint16_t>(r.Int(2));
        z.keyName = r.Text(3);
        z.algorithm = r.Text(4);
        z.secret = r.Text(5);
        z.ttl = static_cast<uint32_t>(r.Int(6));
        zones.push_back(std::move(z));
    }
    return true;
}

void CProviderStore::SetPublicationListener(std::function<void()> listener)
{
    Listener() = std::move(listener);
}

bool CProviderStore::UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids,
                                 const std::string& address, std::vector<int>& results,
                                 std::vector<int64_t>* retryAfterMs)
{
    ProviderAddresses addresses;
    (provider::FamilyOf(address) == provider::IpFamily::V4 ? addresses.ipv4 : addresses.ipv6) = address;
    return UpdateHosts(owner, hostids, addresses, results, retryAfterMs);
}

bool CProviderStore::UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids,
                                 const ProviderAddresses& addresses, std::vector<int>& results,
                                 std::vector<int64_t>* retryAfterMs)
{
    using provider::IpFamily;
    results.assign(hostids.size(), kUpdateRefused);
    if (retryAfterMs)
        retryAfterMs->assign(hostids.size(), 0);
    std::vector<UpdateFamily> families;
    if (!addresses.ipv4.empty())
        families.push_back({IpFamily::V4, addresses.ipv4, "UPDATE hosts SET data=? WHERE hostid=?", 1});
    if (!addresses.ipv6.empty())
        families.push_back({IpFamily::V6, addresses.ipv6, "UPDATE hosts SET data6=? WHERE hostid=?", 2});
    if (families.empty())
        return true;
    // The host row is locked for the transaction (PostgreSQL; SQLite's write lock covers it), so that two
    // servers updating one host at once see each other's change and the minimum interval holds.
    const std::string readHost =
        std::string("SELECT domain, data, data6, changed_ms FROM hosts WHERE hostid=? AND owner=?") + m_db->LockRows();
    bool queued = false;
    auto body = [&]() {
        std::vector<DnsZone> zones;
        if (!ReadZones(nullptr, zones))
            return false;
        const int64_t nowMs = NowMs();
        std::map<uint32_t, std::pair<int, int64_t>> seen;  // a host listed twice is updated and recorded once
        for (size_t i = 0; i < hostids.size(); ++i) {
            auto [it, first] = seen.emplace(hostids[i], std::make_pair(kUpdateRefused, int64_t{0}));
            if (first) {
                const int64_t hostid = static_cast<int64_t>(hostids[i]);
                std::vector<CSqlRow> rows;
                if (!m_db->Query(readHost, {hostid, owner}, &rows))
                    return false;
                // Another account's host, or none: refused, and nothing written, so a caller listing ids that
                // are not its own cannot make the history grow.
                if (rows.empty())
                    continue;
                const CSqlRow& host = rows[0];
                bool changes = false;
                for (const UpdateFamily& f : families)
                    changes = changes || host.Text(f.column) != f.address;
                const int64_t changedMs = host.Int(3);
                if (changes && m_minIntervalMs > 0 && changedMs > 0 && nowMs < changedMs + m_minIntervalMs) {
                    it->second = {kUpdateTooSoon, changedMs + m_minIntervalMs - nowMs};
                } else {
                    it->second = {kUpdateDone, 0};
                    if (!WriteUpdate(owner, hostid, host.Text(0), changes, nowMs, zones, families, queued))
                        return false;
                }
            }
            results[i] = it->second.first;
            if (retryAfterMs)
                (*retryAfterMs)[i] = it->second.second;
        }
        return true;
    };
    if (!InTransaction("update hosts", body)) {
        results.assign(hostids.size(), kUpdateRefused);
        return false;
    }
    if (queued && Listener())
        Listener()();
    return true;
}

bool CProviderStore::WriteUpdate(const std::string& owner, int64_t hostid, const std::string& name, bool changes,
                                 int64_t nowMs, const std::vector<DnsZone>& zones,
                                 const std::vector<UpdateFamily>& families, bool& queued)
{
    // The count of unchanged updates starts over; a real change starts the minimum interval.
    if (!m_db->Query("DELETE FROM nochg WHERE hostid=?", {hostid}) ||
        (changes && !m_db->Query("UPDATE hosts SET changed_ms=? WHERE hostid=?", {nowMs, hostid})))
        return false;
    std::string domain;
    const DnsZone* zone = nullptr;  // the longest zone holding the name
    if (dns::NormalizeName(name, domain))
        for (const DnsZone& z : zones)
            if (dns::InZone(domain, z.zone) && (!zone || z.zone.size() > zone->zone.size()))
                zone = &z;
    for (const UpdateFamily& family : families) {
        const int64_t familyNumber = static_cast<int64_t>(family.family);
        std::vector<CSqlRow> inserted;
        if (!m_db->Query(family.setSql, {family.address, hostid}) ||
            !m_db->Query("INSERT INTO history(time, hostid, account, address, result, family) VALUES(?,?,?,?,1,?)"
                         " RETURNING id",
                         {nowMs / 1000, hostid, owner, family.address, familyNumber}, &inserted) ||
            inserted.empty())
            return false;
        if (!zone)
            continue;
        std::vector<CSqlRow> latest;
        if (!m_db->Query("SELECT address FROM publications WHERE hostid=? AND family=?"
                         " AND state IN ('pending','published') ORDER BY id DESC LIMIT 1",
                         {hostid, familyNumber}, &latest))
            return false;
        if (!latest.empty() && latest[0].Text(0) == family.address)
            continue;  // the name has (or is about to get) this address already
        if (!m_db->Query("UPDATE publications SET state='superseded' WHERE hostid=? AND family=? AND state='pending'",
                         {hostid, familyNumber}) ||
            !m_db->Query(
                "INSERT INTO publications(id, hostid, domain, zone, address, state, next_ms, family, queued_ms)"
                " VALUES(?,?,?,?,?,'pending',?,?,?)",
                {inserted[0].Int(0), hostid, domain, zone->zone, family.address, nowMs, familyNumber, nowMs}))
            return false;
        queued = true;
    }
    return true;
}

bool CProviderStore::History(std::vector<ProviderHistory>& history)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kHistoryColumns) + " ORDER BY h.id", {}, &rows))
        return Fail("history");
    for (const CSqlRow& r : rows)
        history.push_back(HistoryOf(r));
    return true;
}

bool CProviderStore::HostHistory(uint32_t hostid, size_t limit, std::vector<ProviderHistory>& history)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kHistoryColumns) + " WHERE h.hostid=? ORDER BY h.id DESC LIMIT ?",
                     {int64_t{hostid}, static_cast<int64_t>(limit)}, &rows))
        return Fail("history");
    for (const CSqlRow& r : rows)
        history.push_back(HistoryOf(r));
    return true;
}

bool CProviderStore::CountNochg(uint32_t hostid, int& count)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query("INSERT INTO nochg(hostid, count) VALUES(?, 1)"
                     " ON CONFLICT(hostid) DO UPDATE SET count = nochg.count + 1 RETURNING count",
                     {int64_t{hostid}}, &rows) ||
        rows.empty())
        return Fail("count nochg");
    count = static_cast<int>(rows[0].Int(0));
    return true;
}

bool CProviderStore::AddZone(const DnsZone& zone)
{
    return InTransaction("add zone", [&] {
        return m_db->Query(
                   "INSERT INTO zones(zone, server, port, keyname, algorithm, secret, ttl) VALUES(?,?,?,?,?,?,?)"
                   " ON CONFLICT(zone) DO UPDATE SET server=excluded.server, port=excluded.port,"
                   " keyname=excluded.keyname, algorithm=excluded.algorithm, secret=excluded.secret,"
                   " ttl=excluded.ttl",
                   {zone.zone, zone.server, int64_t{zone.port}, zone.keyName, zone.algorithm, zone.secret,
                    int64_t{zone.ttl}}) &&
               m_db->Query("UPDATE publications SET next_ms=0 WHERE zone=? AND state='pending'", {zone.zone});
    });
}

bool CProviderStore::RemoveZone(const std::string& zone)
{
    if (!m_db->Query("DELETE FROM zones WHERE zone=?", {zone}))
        return Fail("remove zone");
    if (m_db->Changes() != 1) {
        m_error = "no such zone: " + zone;
        return false;
    }
    return true;
}

bool CProviderStore::Zones(std::vector<DnsZone>& zones)
{
    return ReadZones(nullptr, zones) || Fail("list zones");
}

bool CProviderStore::FindZone(const std::string& zone, DnsZone& found)
{
    m_error.clear();
    std::vector<DnsZone> zones;
    if (!ReadZones(&zone, zones))
        return Fail("find zone");
    if (zones.empty())
        return false;
    found = zones.front();
    return true;
}

namespace {

// Due and unclaimed rows, except those of a name whose superseded row a publisher is still sending: sent
// now by another publisher, the newer address could reach the DNS server first and be overwritten by the
// older one, leaving the name at an address its host no longer has.
constexpr const char kDueColumns[] =
    "SELECT id, hostid, domain, zone, address, attempts, queued_ms FROM publications p"
    " WHERE state='pending' AND next_ms<=? AND claim_ms<=? AND NOT EXISTS (SELECT 1 FROM publications o"
    " WHERE o.hostid=p.hostid AND o.family=p.family AND o.id<p.id AND o.state='superseded' AND o.claim_ms>?)"
    " ORDER BY next_ms, id LIMIT ?";

ProviderPublication DueOf(const CSqlRow& r)
{
    ProviderPublication p;
    p.id = r.Int(0);
    p.hostid = static_cast<uint32_t>(r.Int(1));
    p.domain = r.Text(2);
    p.zone = r.Text(3);
    p.address = r.Text(4);
    p.attempts = static_cast<int>(r.Int(5));
    p.queuedMs = r.Int(6);
    return p;
}

}  // namespace

bool CProviderStore::DuePublications(int64_t nowMs, size_t limit, std::vector<ProviderPublication>& due)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(kDueColumns, {nowMs, nowMs, nowMs, static_cast<int64_t>(limit)}, &rows))
        return Fail("pending publications");
    for (const CSqlRow& r : rows)
        due.push_back(DueOf(r));
    return true;
}

bool CProviderStore::ClaimPublications(int64_t nowMs, int64_t untilMs, size_t limit,
                                       std::vector<ProviderPublication>& due)
{
    // PostgreSQL: rows another publisher is claiming at this moment are passed over, not waited for; once
    // it commits, their claim keeps them from this one.
    const std::string select = std::string(kDueColumns) + (IsPostgres() ? " FOR UPDATE SKIP LOCKED" : "");
    std::vector<ProviderPublication> claimed;
    bool ok = InTransaction("claim publications", [&] {
        std::vector<CSqlRow> rows;
        if (!m_db->Query(select, {nowMs, nowMs, nowMs, static_cast<int64_t>(limit)}, &rows))
            return false;
        for (const CSqlRow& r : rows) {
            claimed.push_back(DueOf(r));
            if (!m_db->Query("UPDATE publications SET claim_ms=? WHERE id=?", {untilMs, claimed.back().id}))
                return false;
        }
        return true;
    });
    if (ok)
        due.insert(due.end(), claimed.begin(), claimed.end());
    return ok;
}

bool CProviderStore::NextPublicationDue(int64_t& whenMs)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query("SELECT MIN(CASE WHEN claim_ms>next_ms THEN claim_ms ELSE next_ms END) FROM publications"
                     " WHERE state='pending'",
                     {}, &rows) ||
        rows.empty())
        return Fail("pending publications");
    whenMs = rows[0].Int(0);
    return true;
}

bool CProviderStore::PublicationDone(int64_t id)
{
    return PublicationsDone({id});
}

bool CProviderStore::PublicationsDone(const std::vector<int64_t>& ids)
{
    // One transaction for the whole message: each commit is a write the workers' updates would wait for.
    return InTransaction("record publication", [&] {
        for (int64_t id : ids)
            if (!m_db->Query("UPDATE publications SET state='published', error='', claim_ms=0"
                             " WHERE id=? AND state IN ('pending','superseded')",
                             {id}))
                return false;
        return true;
    });
}

bool CProviderStore::PublicationFailed(int64_t id, const std::string& error, int64_t nextAttemptMs)
{
    // A superseded row's claim ends too: it holds back its name's newer row.
    return (m_db->Query("UPDATE publications SET attempts=attempts+1, error=?, next_ms=?, claim_ms=0"
                        " WHERE id=? AND state='pending'",
                        {error, nextAttemptMs, id}) &&
            m_db->Query("UPDATE publications SET claim_ms=0 WHERE id=? AND claim_ms<>0", {id})) ||
           Fail("record publication");
}

bool CProviderStore::PublicationDropped(int64_t id, const std::string& error)
{
    return (m_db->Query("UPDATE publications SET state='no-zone', error=?, claim_ms=0 WHERE id=? AND state='pending'",
                        {error, id}) &&
            m_db->Query("UPDATE publications SET claim_ms=0 WHERE id=? AND claim_ms<>0", {id})) ||
           Fail("record publication");
}

bool CProviderStore::ReleasePublications(const std::vector<int64_t>& ids)
{
    for (int64_t id : ids)
        if (!m_db->Query("UPDATE publications SET claim_ms=0 WHERE id=?", {id}))
            return Fail("release publications");
    return true;
}

bool CProviderStore::PublicationFailing(uint32_t hostid, provider::IpFamily family)
{
    std::string state, error;
    return PublicationOf(hostid, family, state, error) && state == kPublicationPending && !error.empty();
}

bool CProviderStore::PublicationOf(uint32_t hostid, provider::IpFamily family, std::string& state, std::string& error)
{
    state.clear();
    error.clear();
    std::vector<CSqlRow> rows;
    if (!m_db->Query("SELECT p.state, p.error FROM publications p JOIN hosts h ON h.hostid=p.hostid"
                     " WHERE p.hostid=? AND p.family=?"
                     " AND p.address=(CASE p.family WHEN 6 THEN h.data6 ELSE h.data END)"
                     " ORDER BY p.id DESC LIMIT 1",
                     {int64_t{hostid}, static_cast<int64_t>(family)}, &rows))
        return Fail("publication state");
    if (!rows.empty()) {
        state = rows[0].Text(0);
        error = rows[0].Text(1);
    }
    return true;
}

bool CProviderStore::Backlog(int64_t nowMs, PublicationBacklog& backlog)
{
    backlog = PublicationBacklog{};
    std::vector<CSqlRow> counts, oldest;
    if (!m_db->Query("SELECT COUNT(*), SUM(CASE WHEN error<>'' THEN 1 ELSE 0 END) FROM publications"
                     " WHERE state='pending'",
                     {}, &counts) ||
        !m_db->Query("SELECT MIN(next_ms) FROM publications WHERE state='pending' AND next_ms<=? AND claim_ms<=?",
                     {nowMs, nowMs}, &oldest) ||
        counts.empty() || oldest.empty())
        return Fail("publication backlog");
    backlog.pending = counts[0].Int(0);
    backlog.failing = counts[0].Int(1);
    if (!oldest[0].Text(0).empty())
        backlog.overdueMs = nowMs - oldest[0].Int(0);
    return true;
}

bool CProviderStore::PruneHistory(int keepPerHost, int64_t olderThan, int& removed)
{
    removed = 0;
    if (!m_db->Query("DELETE FROM history WHERE id IN ("
                     " SELECT id FROM (SELECT id, time,"
                     " ROW_NUMBER() OVER (PARTITION BY hostid, family ORDER BY id DESC) AS rn"
                     " FROM history) AS ranked WHERE rn > 1 AND (rn > ? OR time < ?))"
                     " AND id NOT IN (SELECT id FROM publications WHERE state='pending')",
                     {int64_t{keepPerHost < 1 ? 1 : keepPerHost}, olderThan}))
        return Fail("prune history");
    removed = static_cast<int>(m_db->Changes());
    return m_db->Query("DELETE FROM sessions WHERE expires_ms<?", {NowMs()}) || Fail("prune sessions");
}

bool CProviderStore::SetNetwork(const ProviderNetwork& network)
{
    const char* set =
        "INSERT INTO settings(key, value) VALUES(?,?) ON CONFLICT(key) DO UPDATE SET value=excluded.value";
    return InTransaction("set address", [&] {
        return m_db->Query(set, {std::string("address"), network.address}) &&
               m_db->Query(set, {std::string("nettype"), std::to_string(network.nettype)}) &&
               m_db->Query(set, {std::string("netlocation"), network.location});
    });
}

bool CProviderStore::Network(ProviderNetwork& network)
{
    network = ProviderNetwork{};
    std::vector<CSqlRow> rows;
    if (!m_db->Query("SELECT key, value FROM settings WHERE key IN ('address','nettype','netlocation')", {}, &rows))
        return Fail("read address");
    for (const CSqlRow& r : rows) {
        if (r.Text(0) == "address")
            network.address = r.Text(1);
        else if (r.Text(0) == "nettype")
            network.nettype = std::atoi(r.Text(1).c_str());
        else
            network.location = r.Text(1);
    }
    return true;
}

bool CProviderStore::SeedDemo()
{
    ProviderAccount existing;
    if (FindAccount("demo", existing))
        return true;
    ProviderAccount demo;
    demo.name = "demo";
    demo.digest = CMD5("demo").HexDigest();
    demo.nick = "演示用户";
    demo.email = "demo@example.net";
    return InTransaction("seed demo", [&] {
        int32_t userid = 0;
        uint32_t hostid = 0;
        bool ok = AddAccount(demo, userid);
        for (const char* domain : {"demo1.example.net", "demo2.example.net", "demo3.example.net"})
            ok = ok && AddHost("demo", domain, hostid);
        return ok;
    });
}
