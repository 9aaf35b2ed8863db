// The store's side of the account page and of per-host tokens: tokens (their hashes), sessions.

#include "tools/provider/store.h"

#include <algorithm>
#include <ctime>

using provider::CSqlRow;

namespace {

constexpr const char kTokenColumns[] =
    "SELECT t.id, t.hostid, h.domain, t.hash, t.created, t.used FROM tokens t JOIN hosts h ON h.hostid=t.hostid";

ProviderToken TokenOf(const CSqlRow& r)
{
    ProviderToken t;
    t.id = r.Int(0);
    t.hostid = static_cast<uint32_t>(r.Int(1));
    t.domain = r.Text(2);
    t.hash = r.Text(3);
    t.created = r.Int(4);
    t.used = r.Int(5);
    return t;
}

}  // namespace

bool CProviderStore::AddToken(uint32_t hostid, const std::string& hash, int64_t& id)
{
    return InTransaction("add token", [&] {
        std::vector<CSqlRow> count, inserted;
        // The host row is locked so that two requests at once cannot both pass the bound.
        if (!m_db->Query(std::string("SELECT hostid FROM hosts WHERE hostid=?") + m_db->LockRows(), {int64_t{hostid}},
                         &count) ||
            count.empty())
            return false;
        count.clear();
        if (!m_db->Query("SELECT COUNT(*) FROM tokens WHERE hostid=?", {int64_t{hostid}}, &count) || count.empty())
            return false;
        if (count[0].Int(0) >= static_cast<int64_t>(kMaxTokensPerHost)) {
            m_error = "a host has at most " + std::to_string(kMaxTokensPerHost) + " tokens: revoke one first";
            return false;
        }
        if (!m_db->Query("INSERT INTO tokens(hostid, hash, created) VALUES(?,?,?) RETURNING id",
                         {int64_t{hostid}, hash, static_cast<int64_t>(std::time(nullptr))}, &inserted) ||
            inserted.empty())
            return false;
        id = inserted[0].Int(0);
        return true;
    });
}

bool CProviderStore::FindToken(int64_t id, ProviderToken& token)
{
    m_error.clear();
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kTokenColumns) + " WHERE t.id=?", {id}, &rows))
        return Fail("find token");
    if (rows.empty())
        return false;
    token = TokenOf(rows[0]);
    return true;
}

bool CProviderStore::TokensOf(const std::string& owner, std::vector<ProviderToken>& tokens)
{
    std::vector<CSqlRow> rows;
    if (!m_db->Query(std::string(kTokenColumns) + " WHERE h.owner=? ORDER BY h.hostid, t.id", {owner}, &rows))
        return Fail("list tokens");
    for (const CSqlRow& r : rows)
        tokens.push_back(TokenOf(r));
    return true;
}

bool CProviderStore::RevokeToken(const std::string& owner, int64_t id)
{
    m_error.clear();
    if (!m_db->Query("DELETE FROM tokens WHERE id=? AND hostid IN (SELECT hostid FROM hosts WHERE owner=?)",
                     {id, owner}))
        return Fail("revoke token");
    return m_db->Changes() == 1;
}

bool CProviderStore::TokenUsed(int64_t id, int64_t now)
{
    // To the minute: a client updating every few seconds does not cost a write each time.
    return m_db->Query("UPDATE tokens SET used=? WHERE id=? AND used<?", {now, id, now - 60}) || Fail("token use");
}

bool CProviderStore::AddSession(const ProviderSession& session)
{
    return m_db->Query("INSERT INTO sessions(id, account, csrf, created_ms, expires_ms) VALUES(?,?,?,?,?)",
                       {session.id, session.account, session.csrf, session.createdMs, session.expiresMs}) ||
           Fail("add session");
}

bool CProviderStore::FindSession(const std::string& id, int64_t nowMs, int64_t slideToMs, int64_t maxAgeMs,
                                 ProviderSession& session)
{
    m_error.clear();
    std::vector<CSqlRow> rows;
    if (!m_db->Query("SELECT id, account, csrf, created_ms, expires_ms FROM sessions WHERE id=? AND expires_ms>?",
                     {id, nowMs}, &rows))
        return Fail("find session");
    if (rows.empty())
        return false;
    session.id = rows[0].Text(0);
    session.account = rows[0].Text(1);
    session.csrf = rows[0].Text(2);
    session.createdMs = rows[0].Int(3);
    session.expiresMs = rows[0].Int(4);
    int64_t until = std::min(slideToMs, session.createdMs + maxAgeMs);
    // Moved on by a minute or more only: a page that is reloaded often does not write each time.
    if (until > session.expiresMs + 60 * 1000) {
        if (!m_db->Query("UPDATE sessions SET expires_ms=? WHERE id=?", {until, id}))
            return Fail("keep session");
        session.expiresMs = until;
    }
    return true;
}

bool CProviderStore::RemoveSession(const std::string& id)
{
    return m_db->Query("DELETE FROM sessions WHERE id=?", {id}) || Fail("end session");
}

bool CProviderStore::RemoveSessionsOf(const std::string& account, const std::string& keep)
{
    return m_db->Query("DELETE FROM sessions WHERE account=? AND id<>?", {account, keep}) || Fail("end sessions");
}
