#pragma once
// The two database engines the provider's store runs on, behind one small interface: the embedded SQLite
// file (one machine, the default) and PostgreSQL (several serve processes on several machines sharing one
// store). The store's rules are written once against this interface; what differs between the engines
// (placeholders, the write lock, row locks, the schema and its version) stays in the two implementations
// and in the few places the store asks which engine it runs on.

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace provider {

using SqlValue = std::variant<int64_t, std::string>;

// One result row; values as text (NULL reads as empty or 0).
class CSqlRow {
public:
    explicit CSqlRow(std::vector<std::string> values) : m_values(std::move(values)) {}
    const std::string& Text(size_t column) const;
    int64_t Int(size_t column) const;
    size_t Size() const { return m_values.size(); }

private:
    std::vector<std::string> m_values;
};

enum class SqlEngine { Sqlite, Postgres };

class CDatabase {
public:
    virtual ~CDatabase() = default;
    virtual SqlEngine Engine() const = 0;
    // One statement with '?' placeholders; the rows it returns go to `rows` when given.
    virtual bool Query(const std::string& sql, const std::vector<SqlValue>& params,
                       std::vector<CSqlRow>* rows = nullptr) = 0;
    bool Query(const std::string& sql, std::vector<CSqlRow>* rows = nullptr) { return Query(sql, {}, rows); }
    // Rows the last statement changed.
    virtual int64_t Changes() const = 0;
    // Several statements without parameters (schema steps).
    virtual bool Script(const std::string& sql) = 0;
    // A transaction that writes: SQLite takes the file's write lock at once (so that two writers never
    // meet halfway and one of them fails), PostgreSQL locks rows as the statements reach them.
    virtual bool Begin() = 0;
    virtual bool Commit() = 0;
    virtual void Rollback() = 0;
    // " FOR UPDATE" where the engine locks rows (PostgreSQL); SQLite's write transaction holds the file.
    virtual const char* LockRows() const = 0;
    const std::string& Error() const { return m_error; }

protected:
    std::string m_error;
};

// Wall-clock milliseconds since the epoch: what the store's *_ms columns hold.
int64_t NowMs();

// "postgresql://..." or "postgres://..." (libpq's connection URIs); anything else is a SQLite file.
bool IsPostgresUrl(const std::string& where);
// Opens (creating a SQLite file owner-only when missing) and brings the schema to the current version;
// refuses a store made by a newer version. `version` is the store's schema version.
std::unique_ptr<CDatabase> OpenDatabase(const std::string& where, std::string& error);
// The schema version this program writes, and the one a store has (without upgrading it).
int CurrentSchemaVersion();

// Engines, for OpenDatabase and the tests.
std::unique_ptr<CDatabase> OpenSqliteDatabase(const std::string& path, std::string& error);
std::unique_ptr<CDatabase> OpenPostgresDatabase(const std::string& url, std::string& error);

}  // namespace provider
