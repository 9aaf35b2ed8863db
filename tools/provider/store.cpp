#include "tools/provider/store.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <ctime>

#include "shared/base/hostname.h"
#include "shared/base/md5.h"
#include "tools/provider/db_file.h"

namespace {

// Prepared statement released on every path.
class CStatement {
public:
    CStatement(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            m_stmt = nullptr;
    }
    ~CStatement() { sqlite3_finalize(m_stmt); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    bool Ok() const { return m_stmt != nullptr; }
    CStatement& Bind(int i, const std::string& v)
    {
        sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    CStatement& Bind(int i, int64_t v)
    {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    int Step() { return sqlite3_step(m_stmt); }
    bool Run() { return Ok() && Step() == SQLITE_DONE; }
    bool Reset()
    {
        sqlite3_reset(m_stmt);
        return sqlite3_clear_bindings(m_stmt) == SQLITE_OK;
    }
    int64_t Int(int col) { return sqlite3_column_int64(m_stmt, col); }
    std::string Text(int col)
    {
        const unsigned char* t = sqlite3_column_text(m_stmt, col);
        return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(m_stmt, col)) : std::string();
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The schema, one step per version; a database is at the version PRAGMA user_version names (0: made before
// versions were kept, or new). Open runs the steps it lacks in one transaction, so a new database and an
// upgraded one go the same way and an interrupted upgrade leaves the old version whole. Steps are never
// edited once released: a change is a new step.
constexpr const char* kSchemaSteps[] = {
    // 1: the tables as they were before versions were kept (IF NOT EXISTS: such a database has some or
    // all of them already).
    "CREATE TABLE IF NOT EXISTS accounts ("
    " userid INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL UNIQUE, digest TEXT NOT NULL,"
    " nick TEXT NOT NULL DEFAULT '', email TEXT NOT NULL DEFAULT '',"
    " userstatus INTEGER NOT NULL DEFAULT 1, validated INTEGER NOT NULL DEFAULT 1);"
    "CREATE TABLE IF NOT EXISTS hosts ("
    " hostid INTEGER PRIMARY KEY AUTOINCREMENT, domain TEXT NOT NULL UNIQUE, data TEXT NOT NULL DEFAULT '',"
    " owner TEXT NOT NULL REFERENCES accounts(name));"
    "CREATE TABLE IF NOT EXISTS history ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, hostid INTEGER NOT NULL,"
    " account TEXT NOT NULL, address TEXT NOT NULL, result INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS settings (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_host ON history(hostid, id);"
    "CREATE TABLE IF NOT EXISTS zones ("
    " zone TEXT PRIMARY KEY, server TEXT NOT NULL, port INTEGER NOT NULL, keyname TEXT NOT NULL,"
    " algorithm TEXT NOT NULL, secret TEXT NOT NULL, ttl INTEGER NOT NULL);"
    // One row per history row that had something to publish; pending rows are the publisher's queue.
    "CREATE TABLE IF NOT EXISTS publications ("
    " id INTEGER PRIMARY KEY REFERENCES history(id) ON DELETE CASCADE, hostid INTEGER NOT NULL,"
    " domain TEXT NOT NULL, zone TEXT NOT NULL, address TEXT NOT NULL, state TEXT NOT NULL,"
    " attempts INTEGER NOT NULL DEFAULT 0, next_ms INTEGER NOT NULL DEFAULT 0, error TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS publications_due ON publications(state, next_ms);"
    "CREATE INDEX IF NOT EXISTS publications_host ON publications(hostid, id);"
    // Unchanged dyndns2 updates of a host in a row.
    "CREATE TABLE IF NOT EXISTS nochg (hostid INTEGER PRIMARY KEY, count INTEGER NOT NULL);",

    // 2: an IPv6 address per host beside the IPv4 one in `data`; history and publication rows say which
    // family they are about (every earlier row is IPv4).
    "ALTER TABLE hosts ADD COLUMN data6 TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE history ADD COLUMN family INTEGER NOT NULL DEFAULT 4;"
    "ALTER TABLE publications ADD COLUMN family INTEGER NOT NULL DEFAULT 4;"
    "DROP INDEX publications_host;"
    "CREATE INDEX publications_host ON publications(hostid, family, id);"
    "CREATE INDEX history_host_family ON history(hostid, family, id);"
    // A new address supersedes the pending row of its host and family: found without going through the
    // host's published and superseded rows, which pile up between prunings.
    "CREATE INDEX publications_pending ON publications(hostid, family) WHERE state='pending';",
};
constexpr int kSchemaVersion = static_cast<int>(sizeof kSchemaSteps / sizeof kSchemaSteps[0]);

int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
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

}  // namespace

CProviderStore::~CProviderStore()
{
    Close();
}

bool CProviderStore::Fail(const char* what)
{
    m_error = what;
    if (m_db) {
        m_error += ": ";
        m_error += sqlite3_errmsg(m_db);
    }
    return false;
}

bool CProviderStore::Exec(const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        m_error = message ? message : "sqlite error";
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool CProviderStore::Open(const std::string& path)
{
    Close();
    std::vector<std::string> notes;
    bool prepared = provider::PrepareDatabaseFile(path, m_error, notes);
    for (const std::string& note : notes)
        std::fprintf(stderr, "morvane-provider: %s\n", note.c_str());
    if (!prepared)
        return false;
    if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        Fail("cannot open database");
        Close();
        return false;
    }
    // Admin commands and the server's threads share the file: wait for each other instead of failing.
    sqlite3_busy_timeout(m_db, 5000);
    // WAL: readers never block the writer, and an update costs no full sync per request.
    if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;") || !Upgrade()) {
        Close();
        return false;
    }
    return true;
}

int CProviderStore::SchemaVersion()
{
    return kSchemaVersion;
}

bool CProviderStore::Upgrade()
{
    auto version = [this](int& v) {
        CStatement st(m_db, "PRAGMA user_version");
        if (!st.Ok() || st.Step() != SQLITE_ROW)
            return Fail("schema version");
        v = static_cast<int>(st.Int(0));
        return true;
    };
    int found = 0;
    if (!version(found))
        return false;
    if (found == kSchemaVersion)
        return true;
    // Another process may be upgrading too: look again once the write lock is ours.
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    bool ok = version(found);
    if (ok && found > kSchemaVersion) {
        m_error = "the database has schema version " + std::to_string(found) +
                  ", made by a newer morvane-provider;"
                  " this one knows versions up to " +
                  std::to_string(kSchemaVersion) + " and leaves it alone";
        ok = false;
    }
    for (int step = found; ok && step < kSchemaVersion; ++step) {
        ok = Exec(kSchemaSteps[step]);
        if (!ok)
            m_error = "upgrading the database to schema version " + std::to_string(step + 1) + ": " + m_error;
    }
    ok = ok && Exec(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    if (!ok) {
        std::string error = m_error;
        Exec("ROLLBACK");
        m_error = error;
        return false;
    }
    return Exec("COMMIT");
}

void CProviderStore::Close()
{
    if (m_db) {
        sqlite3_close(m_db);
        m_db = nullptr;
    }
}

bool CProviderStore::AddAccount(const ProviderAccount& account, int32_t& userid)
{
    CStatement st(m_db, "INSERT INTO accounts(name, digest, nick, email, userstatus, validated) VALUES(?,?,?,?,?,?)");
    if (!st.Ok())
        return Fail("add account");
    st.Bind(1, account.name).Bind(2, Lower(account.digest)).Bind(3, account.nick).Bind(4, account.email);
    st.Bind(5, account.status).Bind(6, account.validated);
    if (!st.Run())
        return Fail("add account");
    userid = static_cast<int32_t>(sqlite3_last_insert_rowid(m_db));
    return true;
}

bool CProviderStore::FindAccount(const std::string& name, ProviderAccount& account)
{
    CStatement st(m_db, "SELECT userid, name, digest, nick, email, userstatus, validated FROM accounts WHERE name=?");
    if (!st.Ok())
        return Fail("find account");
    st.Bind(1, name);
    if (st.Step() != SQLITE_ROW) {
        m_error = "no such account: " + name;
        return false;
    }
    account.userid = static_cast<int32_t>(st.Int(0));
    account.name = st.Text(1);
    account.digest = st.Text(2);
    account.nick = st.Text(3);
    account.email = st.Text(4);
    account.status = static_cast<int>(st.Int(5));
    account.validated = static_cast<int>(st.Int(6));
    return true;
}

bool CProviderStore::Accounts(std::vector<ProviderAccount>& accounts)
{
    CStatement st(m_db,
                  "SELECT userid, name, digest, nick, email, userstatus, validated FROM accounts ORDER BY userid");
    if (!st.Ok())
        return Fail("list accounts");
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        ProviderAccount a;
        a.userid = static_cast<int32_t>(st.Int(0));
        a.name = st.Text(1);
        a.digest = st.Text(2);
        a.nick = st.Text(3);
        a.email = st.Text(4);
        a.status = static_cast<int>(st.Int(5));
        a.validated = static_cast<int>(st.Int(6));
        accounts.push_back(std::move(a));
    }
    return rc == SQLITE_DONE || Fail("list accounts");
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
    CStatement st(m_db, "INSERT INTO hosts(domain, owner) VALUES(?,?)");
    if (!st.Ok())
        return Fail("add host");
    st.Bind(1, name).Bind(2, owner);
    if (!st.Run())
        return Fail("add host");
    hostid = static_cast<uint32_t>(sqlite3_last_insert_rowid(m_db));
    return true;
}

bool CProviderStore::FindHost(const std::string& domain, ProviderHost& host)
{
    m_error.clear();
    CStatement st(m_db, "SELECT hostid, domain, data, owner, data6 FROM hosts WHERE domain=? COLLATE NOCASE");
    if (!st.Ok())
        return Fail("find host");
    st.Bind(1, domain);
    int rc = st.Step();
    if (rc != SQLITE_ROW)
        return rc == SQLITE_DONE ? false : Fail("find host");
    host.hostid = static_cast<uint32_t>(st.Int(0));
    host.domain = st.Text(1);
    host.data = st.Text(2);
    host.owner = st.Text(3);
    host.data6 = st.Text(4);
    return true;
}

static bool ReadHosts(sqlite3* db, const char* sql, const std::string* owner, std::vector<ProviderHost>& hosts)
{
    CStatement st(db, sql);
    if (!st.Ok())
        return false;
    if (owner)
        st.Bind(1, *owner);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        ProviderHost h;
        h.hostid = static_cast<uint32_t>(st.Int(0));
        h.domain = st.Text(1);
        h.data = st.Text(2);
        h.owner = st.Text(3);
        h.data6 = st.Text(4);
        hosts.push_back(std::move(h));
    }
    return rc == SQLITE_DONE;
}

bool CProviderStore::HostsOf(const std::string& owner, std::vector<ProviderHost>& hosts)
{
    return ReadHosts(m_db, "SELECT hostid, domain, data, owner, data6 FROM hosts WHERE owner=? ORDER BY hostid", &owner,
                     hosts) ||
           Fail("list hosts");
}

bool CProviderStore::Hosts(std::vector<ProviderHost>& hosts)
{
    return ReadHosts(m_db, "SELECT hostid, domain, data, owner, data6 FROM hosts ORDER BY hostid", nullptr, hosts) ||
           Fail("list hosts");
}

static bool ReadZones(sqlite3* db, const std::string* only, std::vector<DnsZone>& zones)
{
    CStatement st(db, only ? "SELECT zone, server, port, keyname, algorithm, secret, ttl FROM zones WHERE zone=?"
                           : "SELECT zone, server, port, keyname, algorithm, secret, ttl FROM zones ORDER BY zone");
    if (!st.Ok())
        return false;
    if (only)
        st.Bind(1, *only);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        DnsZone z;
        z.zone = st.Text(0);
        z.server = st.Text(1);
        z.port = static_cast<uint16_t>(st.Int(2));
        z.keyName = st.Text(3);
        z.algorithm = st.Text(4);
        z.secret = st.Text(5);
        z.ttl = static_cast<uint32_t>(st.Int(6));
        zones.push_back(std::move(z));
    }
    return rc == SQLITE_DONE;
}

void CProviderStore::SetPublicationListener(std::function<void()> listener)
{
    Listener() = std::move(listener);
}

bool CProviderStore::UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids,
                                 const std::string& address, std::vector<int>& results)
{
    ProviderAddresses addresses;
    (provider::FamilyOf(address) == provider::IpFamily::V4 ? addresses.ipv4 : addresses.ipv6) = address;
    return UpdateHosts(owner, hostids, addresses, results);
}

bool CProviderStore::UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids,
                                 const ProviderAddresses& addresses, std::vector<int>& results)
{
    using provider::IpFamily;
    results.assign(hostids.size(), 0);
    // The families this update sets, each with its column and address.
    struct Family {
        IpFamily family;
        const std::string& address;
        const char* setSql;
    };
    std::vector<Family> families;
    if (!addresses.ipv4.empty())
        families.push_back({IpFamily::V4, addresses.ipv4, "UPDATE hosts SET data=? WHERE hostid=? AND owner=?"});
    if (!addresses.ipv6.empty())
        families.push_back({IpFamily::V6, addresses.ipv6, "UPDATE hosts SET data6=? WHERE hostid=? AND owner=?"});
    if (families.empty())
        return true;
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    std::vector<DnsZone> zones;
    CStatement owned(m_db, "SELECT domain FROM hosts WHERE hostid=? AND owner=?");
    CStatement setFirst(m_db, families.front().setSql);
    CStatement setLast(m_db, families.back().setSql);
    CStatement record(m_db, "INSERT INTO history(time, hostid, account, address, result, family) VALUES(?,?,?,?,1,?)");
    CStatement latest(m_db, "SELECT address FROM publications WHERE hostid=? AND family=?"
                            " AND state IN ('pending','published') ORDER BY id DESC LIMIT 1");
    CStatement supersede(m_db,
                         "UPDATE publications SET state='superseded' WHERE hostid=? AND family=? AND state='pending'");
    CStatement queue(m_db, "INSERT INTO publications(id, hostid, domain, zone, address, state, next_ms, family)"
                           " VALUES(?,?,?,?,?,'pending',?,?)");
    CStatement changed(m_db, "DELETE FROM nochg WHERE hostid=?");  // the count of unchanged updates starts over
    bool ok = owned.Ok() && setFirst.Ok() && setLast.Ok() && record.Ok() && latest.Ok() && supersede.Ok() &&
              queue.Ok() && changed.Ok() && ReadZones(m_db, nullptr, zones);
    bool queued = false;
    int64_t nowMs = NowMs();
    int64_t now = nowMs / 1000;
    std::map<uint32_t, int> seen;  // a host listed twice is updated and recorded once
    for (size_t i = 0; ok && i < hostids.size(); ++i) {
        auto [it, first] = seen.emplace(hostids[i], 0);
        if (!first) {
            results[i] = it->second;
            continue;
        }
        int64_t hostid = static_cast<int64_t>(hostids[i]);
        // Another account's host, or none: refused, and nothing written, so a caller listing ids that are
        // not its own cannot make the history grow.
        owned.Reset();
        owned.Bind(1, hostid).Bind(2, owner);
        int found = owned.Step();
        ok = found == SQLITE_ROW || found == SQLITE_DONE;
        if (!ok || found != SQLITE_ROW)
            continue;
        results[i] = it->second = 1;
        changed.Reset();
        ok = changed.Bind(1, hostid).Run();
        std::string domain;
        const DnsZone* zone = nullptr;  // the longest zone holding the name
        if (dns::NormalizeName(owned.Text(0), domain))
            for (const DnsZone& z : zones)
                if (dns::InZone(domain, z.zone) && (!zone || z.zone.size() > zone->zone.size()))
                    zone = &z;
        for (size_t f = 0; ok && f < families.size(); ++f) {
            const Family& family = families[f];
            const int64_t familyNumber = static_cast<int64_t>(family.family);
            CStatement& set = f == 0 ? setFirst : setLast;
            set.Reset();
            set.Bind(1, family.address).Bind(2, hostid).Bind(3, owner);
            record.Reset();
            record.Bind(1, now).Bind(2, hostid).Bind(3, owner).Bind(4, family.address).Bind(5, familyNumber);
            ok = set.Run() && record.Run();
            if (!ok || !zone)
                continue;
            int64_t historyId = sqlite3_last_insert_rowid(m_db);
            latest.Reset();
            latest.Bind(1, hostid).Bind(2, familyNumber);
            if (latest.Step() == SQLITE_ROW && latest.Text(0) == family.address)
                continue;  // the name has (or is about to get) this address already
            supersede.Reset();
            supersede.Bind(1, hostid).Bind(2, familyNumber);
            queue.Reset();
            queue.Bind(1, historyId).Bind(2, hostid).Bind(3, domain).Bind(4, zone->zone).Bind(5, family.address);
            queue.Bind(6, nowMs).Bind(7, familyNumber);
            ok = supersede.Run() && queue.Run();
            queued = true;
        }
    }
    if (!ok) {
        Fail("update hosts");
        std::string error = m_error;
        Exec("ROLLBACK");
        m_error = error;
        results.assign(hostids.size(), 0);
        return false;
    }
    if (!Exec("COMMIT"))
        return false;
    if (queued && Listener())
        Listener()();
    return true;
}

bool CProviderStore::History(std::vector<ProviderHistory>& history)
{
    CStatement st(m_db, "SELECT h.time, h.hostid, h.account, h.address, h.result, p.state, p.attempts, p.error,"
                        " p.next_ms FROM history h LEFT JOIN publications p ON p.id = h.id ORDER BY h.id");
    if (!st.Ok())
        return Fail("history");
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        ProviderHistory h;
        h.time = st.Int(0);
        h.hostid = static_cast<uint32_t>(st.Int(1));
        h.account = st.Text(2);
        h.address = st.Text(3);
        h.result = static_cast<int>(st.Int(4));
        h.publication = st.Text(5);
        h.attempts = static_cast<int>(st.Int(6));
        h.publicationError = st.Text(7);
        h.nextAttemptMs = st.Int(8);
        history.push_back(std::move(h));
    }
    return rc == SQLITE_DONE || Fail("history");
}

bool CProviderStore::CountNochg(uint32_t hostid, int& count)
{
    CStatement st(m_db, "INSERT INTO nochg(hostid, count) VALUES(?, 1)"
                        " ON CONFLICT(hostid) DO UPDATE SET count = count + 1 RETURNING count");
    if (!st.Ok())
        return Fail("count nochg");
    st.Bind(1, static_cast<int64_t>(hostid));
    if (st.Step() != SQLITE_ROW)
        return Fail("count nochg");
    count = static_cast<int>(st.Int(0));
    return true;
}

bool CProviderStore::AddZone(const DnsZone& zone)
{
    CStatement st(m_db, "INSERT OR REPLACE INTO zones(zone, server, port, keyname, algorithm, secret, ttl)"
                        " VALUES(?,?,?,?,?,?,?)");
    CStatement due(m_db, "UPDATE publications SET next_ms=0 WHERE zone=? AND state='pending'");
    if (!st.Ok() || !due.Ok() || !Exec("BEGIN IMMEDIATE"))
        return Fail("add zone");
    st.Bind(1, zone.zone).Bind(2, zone.server).Bind(3, static_cast<int64_t>(zone.port)).Bind(4, zone.keyName);
    st.Bind(5, zone.algorithm).Bind(6, zone.secret).Bind(7, static_cast<int64_t>(zone.ttl));
    due.Bind(1, zone.zone);
    if (!st.Run() || !due.Run()) {
        Fail("add zone");
        Exec("ROLLBACK");
        return false;
    }
    return Exec("COMMIT");
}

bool CProviderStore::RemoveZone(const std::string& zone)
{
    CStatement st(m_db, "DELETE FROM zones WHERE zone=?");
    if (!st.Ok() || !st.Bind(1, zone).Run())
        return Fail("remove zone");
    if (sqlite3_changes(m_db) != 1) {
        m_error = "no such zone: " + zone;
        return false;
    }
    return true;
}

bool CProviderStore::Zones(std::vector<DnsZone>& zones)
{
    return ReadZones(m_db, nullptr, zones) || Fail("list zones");
}

bool CProviderStore::FindZone(const std::string& zone, DnsZone& found)
{
    m_error.clear();
    std::vector<DnsZone> zones;
    if (!ReadZones(m_db, &zone, zones))
        return Fail("find zone");
    if (zones.empty())
        return false;
    found = zones.front();
    return true;
}

bool CProviderStore::DuePublications(int64_t nowMs, size_t limit, std::vector<ProviderPublication>& due)
{
    CStatement st(m_db, "SELECT id, hostid, domain, zone, address, attempts FROM publications"
                        " WHERE state='pending' AND next_ms<=? ORDER BY next_ms, id LIMIT ?");
    if (!st.Ok())
        return Fail("pending publications");
    st.Bind(1, nowMs).Bind(2, static_cast<int64_t>(limit));
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        ProviderPublication p;
        p.id = st.Int(0);
        p.hostid = static_cast<uint32_t>(st.Int(1));
        p.domain = st.Text(2);
        p.zone = st.Text(3);
        p.address = st.Text(4);
        p.attempts = static_cast<int>(st.Int(5));
        due.push_back(std::move(p));
    }
    return rc == SQLITE_DONE || Fail("pending publications");
}

bool CProviderStore::NextPublicationDue(int64_t& whenMs)
{
    CStatement st(m_db, "SELECT MIN(next_ms) FROM publications WHERE state='pending'");
    if (!st.Ok() || st.Step() != SQLITE_ROW)
        return Fail("pending publications");
    whenMs = st.Int(0);
    return true;
}

bool CProviderStore::PublicationDone(int64_t id)
{
    return PublicationsDone({id});
}

bool CProviderStore::PublicationsDone(const std::vector<int64_t>& ids)
{
    // One transaction for the whole message: each commit is a write the workers' updates would wait for.
    CStatement st(
        m_db, "UPDATE publications SET state='published', error='' WHERE id=? AND state IN ('pending','superseded')");
    if (!st.Ok() || !Exec("BEGIN IMMEDIATE"))
        return Fail("record publication");
    bool ok = true;
    for (size_t i = 0; ok && i < ids.size(); ++i)
        ok = st.Reset() && st.Bind(1, ids[i]).Run();
    if (!ok) {
        Fail("record publication");
        std::string error = m_error;
        Exec("ROLLBACK");
        m_error = error;
        return false;
    }
    return Exec("COMMIT");
}

bool CProviderStore::PublicationFailed(int64_t id, const std::string& error, int64_t nextAttemptMs)
{
    CStatement st(m_db,
                  "UPDATE publications SET attempts=attempts+1, error=?, next_ms=? WHERE id=? AND state='pending'");
    return (st.Ok() && st.Bind(1, error).Bind(2, nextAttemptMs).Bind(3, id).Run()) || Fail("record publication");
}

bool CProviderStore::PublicationDropped(int64_t id, const std::string& error)
{
    CStatement st(m_db, "UPDATE publications SET state='no-zone', error=? WHERE id=? AND state='pending'");
    return (st.Ok() && st.Bind(1, error).Bind(2, id).Run()) || Fail("record publication");
}

bool CProviderStore::PublicationFailing(uint32_t hostid, provider::IpFamily family)
{
    CStatement st(m_db,
                  "SELECT p.state='pending' AND p.error<>'' FROM publications p JOIN hosts h ON h.hostid=p.hostid"
                  " WHERE p.hostid=? AND p.family=? AND p.address=(CASE p.family WHEN 6 THEN h.data6 ELSE h.data END)"
                  " ORDER BY p.id DESC LIMIT 1");
    if (!st.Ok())
        return Fail("publication state");
    st.Bind(1, static_cast<int64_t>(hostid)).Bind(2, static_cast<int64_t>(family));
    int rc = st.Step();
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return Fail("publication state");
    return rc == SQLITE_ROW && st.Int(0) != 0;
}

bool CProviderStore::PruneHistory(int keepPerHost, int64_t olderThan, int& removed)
{
    removed = 0;
    CStatement st(m_db, "DELETE FROM history WHERE id IN ("
                        " SELECT id FROM (SELECT id, time,"
                        " ROW_NUMBER() OVER (PARTITION BY hostid, family ORDER BY id DESC) AS rn"
                        " FROM history) WHERE rn > 1 AND (rn > ? OR time < ?))"
                        " AND id NOT IN (SELECT id FROM publications WHERE state='pending')");
    if (!st.Ok())
        return Fail("prune history");
    st.Bind(1, static_cast<int64_t>(keepPerHost < 1 ? 1 : keepPerHost)).Bind(2, olderThan);
    if (!st.Run())
        return Fail("prune history");
    removed = sqlite3_changes(m_db);
    return true;
}

bool CProviderStore::SetNetwork(const ProviderNetwork& network)
{
    CStatement st(m_db, "INSERT OR REPLACE INTO settings(key, value) VALUES(?,?)");
    if (!st.Ok() || !Exec("BEGIN IMMEDIATE"))
        return Fail("set address");
    bool ok = st.Bind(1, std::string("address")).Bind(2, network.address).Run();
    ok = ok && st.Reset() && st.Bind(1, std::string("nettype")).Bind(2, std::to_string(network.nettype)).Run();
    ok = ok && st.Reset() && st.Bind(1, std::string("netlocation")).Bind(2, network.location).Run();
    if (!ok) {
        Fail("set address");
        Exec("ROLLBACK");
        return false;
    }
    return Exec("COMMIT");
}

bool CProviderStore::Network(ProviderNetwork& network)
{
    network = ProviderNetwork{};
    CStatement st(m_db, "SELECT key, value FROM settings WHERE key IN ('address','nettype','netlocation')");
    if (!st.Ok())
        return Fail("read address");
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        std::string key = st.Text(0);
        std::string value = st.Text(1);
        if (key == "address")
            network.address = value;
        else if (key == "nettype")
            network.nettype = std::atoi(value.c_str());
        else
            network.location = value;
    }
    return rc == SQLITE_DONE || Fail("read address");
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
    int32_t userid = 0;
    if (!Exec("BEGIN IMMEDIATE"))
        return false;
    bool ok = AddAccount(demo, userid);
    uint32_t hostid = 0;
    for (const char* domain : {"demo1.example.net", "demo2.example.net", "demo3.example.net"})
        ok = ok && AddHost("demo", domain, hostid);
    if (!ok) {
        std::string error = m_error;
        Exec("ROLLBACK");
        m_error = error;
        return false;
    }
    return Exec("COMMIT");
}
