#include "tools/provider/migrate.h"

#include "tools/provider/database.h"
#include "tools/provider/store.h"

namespace provider {
namespace {

// Every table that outlives a restart, parents before the rows that refer to them, with its columns in
// both engines' schemas. Sessions are not moved: their holders sign in again.
struct Table {
    const char* name;
    const char* columns;
    const char* identity;  // the column PostgreSQL numbers, whose sequence must follow the copied ids
};
constexpr Table kTables[] = {
    {"accounts", "userid, name, digest, nick, email, userstatus, validated, pwhash", "userid"},
    {"hosts", "hostid, domain, data, owner, data6, changed_ms", "hostid"},
    {"settings", "key, value", nullptr},
    {"zones", "zone, server, port, keyname, algorithm, secret, ttl", nullptr},
    {"history", "id, time, hostid, account, address, result, family", "id"},
    {"publications", "id, hostid, domain, zone, address, state, attempts, next_ms, error, family, claim_ms, queued_ms",
     nullptr},
    {"nochg", "hostid, count", nullptr},
    {"tokens", "id, hostid, hash, created, used", "id"},
};

size_t Columns(const char* list)
{
    size_t n = 1;
    for (const char* c = list; *c; ++c)
        n += *c == ',';
    return n;
}

}  // namespace

bool MigrateStore(const std::string& from, const std::string& to, std::vector<std::string>& report, std::string& error)
{
    if (IsPostgresUrl(from) || !IsPostgresUrl(to)) {
        error = "migrate moves a SQLite file (--from FILE) to PostgreSQL (--to postgresql://...)";
        return false;
    }
    CProviderStore source, target;
    if (!source.Open(from)) {
        error = from + ": " + source.LastError();
        return false;
    }
    if (!target.Open(to)) {
        error = "PostgreSQL: " + target.LastError();
        return false;
    }
    CDatabase& in = *source.Database();
    CDatabase& out = *target.Database();
    // An empty target only: merging two stores would mix up host ids that clients already know.
    for (const char* table : {"accounts", "hosts", "history", "zones"}) {
        std::vector<CSqlRow> rows;
        if (!out.Query(std::string("SELECT COUNT(*) FROM ") + table, {}, &rows) || rows.empty()) {
            error = "PostgreSQL: " + out.Error();
            return false;
        }
        if (rows[0].Int(0) != 0) {
            error = "the PostgreSQL store is not empty (" + rows[0].Text(0) + " rows in " + table +
                    "); migrate fills an empty one only";
            return false;
        }
    }
    // The file's write lock for the whole copy: what is copied is one moment of the store, and a server
    // still running on the file waits instead of adding rows that would be left behind.
    if (!in.Begin()) {
        error = from + ": " + in.Error();
        return false;
    }
    if (!out.Begin()) {
        in.Rollback();
        error = "PostgreSQL: " + out.Error();
        return false;
    }
    bool ok = true;
    for (const Table& t : kTables) {
        std::vector<CSqlRow> rows;
        ok = in.Query(std::string("SELECT ") + t.columns + " FROM " + t.name, {}, &rows);
        if (!ok) {
            error = from + ": " + in.Error();
            break;
        }
        std::string insert = std::string("INSERT INTO ") + t.name + "(" + t.columns + ") VALUES(?";
        for (size_t i = 1; i < Columns(t.columns); ++i)
            insert += ",?";
        insert += ")";
        for (const CSqlRow& r : rows) {
            std::vector<SqlValue> values;
            for (size_t i = 0; i < r.Size(); ++i)
                values.emplace_back(r.Text(i));
            if (!(ok = out.Query(insert, values)))
                break;
        }
        if (ok && t.identity)
            ok = out.Query(std::string("SELECT setval(pg_get_serial_sequence('") + t.name + "', '" + t.identity +
                           "'), COALESCE(MAX(" + t.identity + "), 0) + 1, false) FROM " + t.name);
        if (!ok) {
            error = std::string("PostgreSQL, table ") + t.name + ": " + out.Error();
            break;
        }
        report.push_back(std::string(t.name) + "\t" + std::to_string(rows.size()));
    }
    if (!ok || !out.Commit()) {
        if (ok)
            error = "PostgreSQL: " + out.Error();
        out.Rollback();
        in.Rollback();
        return false;
    }
    in.Rollback();  // nothing was written to the file
    return true;
}

}  // namespace provider
