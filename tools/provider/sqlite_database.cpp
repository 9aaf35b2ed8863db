#include "tools/provider/database.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "tools/provider/db_file.h"

namespace provider {
namespace {

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

    // 3: accounts open to their holders: a slow hash of the password beside the digest the web service
    // needs, per-host update tokens (slow hashes too), sessions of the account page; the time of a host's
    // last accepted change (the rate limit); publications claimed by one publisher at a time, with the time
    // they were queued (their latency); host names found through an index instead of a scan.
    "ALTER TABLE accounts ADD COLUMN pwhash TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE hosts ADD COLUMN changed_ms INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE publications ADD COLUMN claim_ms INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE publications ADD COLUMN queued_ms INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX hosts_name ON hosts(lower(domain));"
    "CREATE TABLE tokens ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, hostid INTEGER NOT NULL REFERENCES hosts(hostid) ON DELETE CASCADE,"
    " hash TEXT NOT NULL, created INTEGER NOT NULL, used INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX tokens_host ON tokens(hostid);"
    "CREATE TABLE sessions ("
    " id TEXT PRIMARY KEY, account TEXT NOT NULL REFERENCES accounts(name) ON DELETE CASCADE,"
    " csrf TEXT NOT NULL, created_ms INTEGER NOT NULL, expires_ms INTEGER NOT NULL);"
    "CREATE INDEX sessions_expiry ON sessions(expires_ms);",
};

constexpr int kSchemaVersion = static_cast<int>(sizeof kSchemaSteps / sizeof kSchemaSteps[0]);

class CSqliteDatabase : public CDatabase {
public:
    ~CSqliteDatabase() override
    {
        for (auto& [sql, stmt] : m_statements)
            sqlite3_finalize(stmt);
        m_spare.reset(nullptr);
        sqlite3_close(m_db);
    }

    bool Open(const std::string& path)
    {
        std::vector<std::string> notes;
        bool prepared = PrepareDatabaseFile(path, m_error, notes);
        for (const std::string& note : notes)
            std::fprintf(stderr, "morvane-provider: %s\n", note.c_str());
        if (!prepared)
            return false;
        if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK)
            return Fail("cannot open database");
        // Admin commands and the server's threads share the file: wait for each other instead of failing.
        sqlite3_busy_timeout(m_db, 5000);
        // WAL: readers never block the writer, and an update costs no full sync per request.
        return Script("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;") && Upgrade();
    }

    SqlEngine Engine() const override { return SqlEngine::Sqlite; }
    const char* LockRows() const override { return ""; }
    int64_t Changes() const override { return m_changes; }

    bool Query(const std::string& sql, const std::vector<SqlValue>& params, std::vector<CSqlRow>* rows) override
    {
        m_changes = 0;
        sqlite3_stmt* st = Prepared(sql);
        if (!st)
            return false;
        for (size_t i = 0; i < params.size(); ++i) {
            int at = static_cast<int>(i + 1);
            if (const int64_t* v = std::get_if<int64_t>(&params[i])) {
                sqlite3_bind_int64(st, at, *v);
            } else {
                const std::string& s = std::get<std::string>(params[i]);
                sqlite3_bind_text(st, at, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
            }
        }
        int rc;
        while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
            if (!rows)
                continue;
            std::vector<std::string> values;
            int n = sqlite3_column_count(st);
            for (int c = 0; c < n; ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                values.emplace_back(t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(st, c))
                                      : std::string());
            }
            rows->emplace_back(std::move(values));
        }
        bool ok = rc == SQLITE_DONE;
        if (!ok)
            Fail("query");
        else
            m_changes = sqlite3_changes(m_db);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        return ok;
    }

    bool Script(const std::string& sql) override
    {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            m_error = message ? message : "sqlite error";
            sqlite3_free(message);
            return false;
        }
        return true;
    }

    bool Begin() override { return Script("BEGIN IMMEDIATE"); }
    bool Commit() override { return Script("COMMIT"); }
    void Rollback() override
    {
        std::string error = m_error;
        Script("ROLLBACK");
        m_error = error;
    }

private:
    bool Fail(const char* what)
    {
        m_error = what;
        if (m_db) {
            m_error += ": ";
            m_error += sqlite3_errmsg(m_db);
        }
        return false;
    }

    // Statements are prepared once per connection: the same few run for every request.
    sqlite3_stmt* Prepared(const std::string& sql)
    {
        auto it = m_statements.find(sql);
        if (it != m_statements.end())
            return it->second;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
            Fail("prepare");
            return nullptr;
        }
        if (m_statements.size() < 256)  // statements built from varying text are not kept
            m_statements.emplace(sql, st);
        else
            m_spare.reset(st);
        return st;
    }

    int Version()
    {
        std::vector<CSqlRow> rows;
        return Query("PRAGMA user_version", {}, &rows) && !rows.empty() ? static_cast<int>(rows[0].Int(0)) : -1;
    }

    // Brings the file to kSchemaVersion in one transaction, step by step; refuses a newer one.
    bool Upgrade()
    {
        int found = Version();
        if (found < 0)
            return false;
        if (found == kSchemaVersion)
            return true;
        // Another process may be upgrading too: look again once the write lock is ours.
        if (!Begin())
            return false;
        found = Version();
        bool ok = found >= 0;
        if (ok && found > kSchemaVersion) {
            m_error = "the database has schema version " + std::to_string(found) +
                      ", made by a newer morvane-provider;"
                      " this one knows versions up to " +
                      std::to_string(kSchemaVersion) + " and leaves it alone";
            ok = false;
        }
        for (int step = found; ok && step < kSchemaVersion; ++step) {
            ok = Script(kSchemaSteps[step]);
            if (!ok)
                m_error = "upgrading the database to schema version " + std::to_string(step + 1) + ": " + m_error;
        }
        ok = ok && Script("PRAGMA user_version=" + std::to_string(kSchemaVersion));
        if (!ok) {
            Rollback();
            return false;
        }
        return Commit();
    }

    // A statement prepared past the cache's bound, finalized when the next one takes its place.
    struct CSpare {
        sqlite3_stmt* stmt = nullptr;
        void reset(sqlite3_stmt* s)
        {
            sqlite3_finalize(stmt);
            stmt = s;
        }
        ~CSpare() { sqlite3_finalize(stmt); }
    };

    sqlite3* m_db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> m_statements;
    CSpare m_spare;
    int64_t m_changes = 0;
};

}  // namespace

std::unique_ptr<CDatabase> OpenSqliteDatabase(const std::string& path, std::string& error)
{
    auto db = std::make_unique<CSqliteDatabase>();
    if (!db->Open(path)) {
        error = db->Error();
        return nullptr;
    }
    return db;
}

int CurrentSchemaVersion()
{
    return kSchemaVersion;
}

}  // namespace provider
