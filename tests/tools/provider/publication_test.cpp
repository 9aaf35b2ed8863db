// The store's side of DNS publication: which update queues what, superseding, retries, retention, claims;
// the rate limit, tokens and sessions; and the parsing of the zone settings given on the command line.
// Built twice: on a SQLite file, and (MORVANE_STORE_POSTGRES) on a PostgreSQL server the test starts,
// where what is about the SQLite file alone is left out.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <sqlite3.h>

#include <chrono>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"
#include "tests/tools/provider/postgres_process.h"
#include "shared/base/md5.h"
#include "tools/provider/publisher.h"
#include "tools/provider/secret_input.h"
#include "tools/provider/store.h"

namespace {

#ifdef MORVANE_STORE_POSTGRES
#define Publication PublicationOnPostgres  // test names of its own beside the SQLite build's
CPostgresServer& Postgres()
{
    static CPostgresServer server;
    return server;
}
#endif

class Publication : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = m_tmp.Path();
        ASSERT_TRUE(m_tmp.Ok());
        m_where = m_dir + "/p.db";
#ifdef MORVANE_STORE_POSTGRES
        if (!Postgres().Ok())
            GTEST_SKIP() << Postgres().Why();
        static int databases = 0;
        std::string name = "store" + std::to_string(++databases);
        ASSERT_TRUE(Postgres().CreateDatabase(name));
        m_where = Postgres().Url(name);
#endif
        ASSERT_TRUE(m_store.Open(m_where)) << m_store.LastError();
        ASSERT_TRUE(m_store.SeedDemo());  // hosts 1..3: demo1..3.example.net
        ASSERT_TRUE(m_store.AddHost("demo", "a.dyn.example.net", m_a));
        ASSERT_TRUE(m_store.AddHost("demo", "b.deep.dyn.example.net.", m_b));
        DnsZone outer{"dyn.example.net", "127.0.0.1", 53, "k", "hmac-sha256", "c2VjcmV0", 60};
        DnsZone inner = outer;
        inner.zone = "deep.dyn.example.net";
        ASSERT_TRUE(m_store.AddZone(outer));
        ASSERT_TRUE(m_store.AddZone(inner));
        CProviderStore::SetPublicationListener([this] { ++m_wakes; });
    }
    void TearDown() override
    {
        CProviderStore::SetPublicationListener(nullptr);
        m_store.Close();
    }
    std::vector<ProviderPublication> Due(int64_t at = INT64_MAX)
    {
        std::vector<ProviderPublication> due;
        EXPECT_TRUE(m_store.DuePublications(at, 100, due));
        return due;
    }
    void Update(const std::string& address, std::vector<uint32_t> hosts)
    {
        std::vector<int> results;
        ASSERT_TRUE(m_store.UpdateHosts("demo", hosts, address, results));
    }
    std::vector<ProviderHistory> History()
    {
        std::vector<ProviderHistory> h;
        EXPECT_TRUE(m_store.History(h));
        return h;
    }

    CTempDir m_tmp{"morvane-publication"};
    std::string m_dir;
    std::string m_where;  // the store: a SQLite file or a PostgreSQL database
    CProviderStore m_store;
    uint32_t m_a = 0, m_b = 0;
    int m_wakes = 0;
};

TEST_F(Publication, UpdatesQueueOnlyWhatTheNamesDoNotCarry)
{
    Update("192.0.2.1", {1, m_a, m_b, 999, m_a});  // demo1 is in no zone, 999 is nobody's; a listed twice
    EXPECT_EQ(1, m_wakes);
    auto due = Due();
    ASSERT_EQ(2u, due.size());
    int64_t firstA = due[0].id;
    EXPECT_EQ("a.dyn.example.net", due[0].domain);
    EXPECT_EQ("dyn.example.net", due[0].zone);
    EXPECT_EQ("b.deep.dyn.example.net", due[1].domain);
    EXPECT_EQ("deep.dyn.example.net", due[1].zone);  // the longest matching zone

    // Same address while pending, and after publication: nothing new. A new address supersedes.
    Update("192.0.2.1", {m_a});
    EXPECT_EQ(1, m_wakes);
    EXPECT_TRUE(m_store.PublicationDone(due[1].id));
    Update("192.0.2.1", {m_b});
    Update("192.0.2.2", {m_a});
    EXPECT_EQ(2, m_wakes);
    due = Due();
    ASSERT_EQ(1u, due.size());
    EXPECT_EQ("192.0.2.2", due[0].address);
    // A send to the superseded row that fails late changes nothing; one that succeeds late is recorded.
    EXPECT_TRUE(m_store.PublicationFailed(firstA, "late", 0));
    EXPECT_EQ("superseded", History()[1].publication);
    EXPECT_EQ(0, History()[1].attempts);
    EXPECT_TRUE(m_store.PublicationDone(firstA));
    EXPECT_TRUE(Due().size() == 1 && Due()[0].address == "192.0.2.2");

    auto h = History();
    ASSERT_EQ(6u, h.size());          // host 999 is refused and leaves no row
    EXPECT_EQ("", h[0].publication);  // demo1: no zone
    EXPECT_EQ("published", h[1].publication);
    EXPECT_EQ("published", h[2].publication);
    EXPECT_EQ(1, h[2].result);
    EXPECT_EQ("", h[3].publication);  // same address, still pending
    EXPECT_EQ("", h[4].publication);  // same address, already published
    EXPECT_EQ("pending", h[5].publication);
}

TEST_F(Publication, FailuresWaitAndAZoneChangeMakesThemDue)
{
    Update("192.0.2.1", {m_a});
    auto due = Due();
    ASSERT_EQ(1u, due.size());
    EXPECT_TRUE(m_store.PublicationFailed(due[0].id, "NOTAUTH (BADSIG)", 5000));
    EXPECT_TRUE(Due(4999).empty());
    int64_t next = 0;
    EXPECT_TRUE(m_store.NextPublicationDue(next));
    EXPECT_EQ(5000, next);
    due = Due(5000);
    ASSERT_EQ(1u, due.size());
    EXPECT_EQ(1, due[0].attempts);
    EXPECT_EQ("NOTAUTH (BADSIG)", History().back().publicationError);

    DnsZone fixed;
    ASSERT_TRUE(m_store.FindZone("dyn.example.net", fixed));
    fixed.secret = "Zml4ZWQ=";
    ASSERT_TRUE(m_store.AddZone(fixed));
    EXPECT_EQ(1u, Due(1).size());
    std::vector<DnsZone> zones;
    ASSERT_TRUE(m_store.Zones(zones));
    EXPECT_EQ(2u, zones.size());

    ASSERT_TRUE(m_store.RemoveZone("dyn.example.net"));
    EXPECT_FALSE(m_store.RemoveZone("dyn.example.net"));
    EXPECT_TRUE(m_store.PublicationDropped(due[0].id, "zone removed"));
    EXPECT_TRUE(Due().empty());
    EXPECT_TRUE(m_store.NextPublicationDue(next));
    EXPECT_EQ(0, next);
    Update("192.0.2.3", {m_a});  // now outside every zone
    EXPECT_TRUE(Due().empty());

    EXPECT_EQ(1000, CPublisher::RetryDelayMs(1));
    EXPECT_EQ(2000, CPublisher::RetryDelayMs(2));
    EXPECT_EQ(256000, CPublisher::RetryDelayMs(9));
    EXPECT_EQ(300000, CPublisher::RetryDelayMs(10));
    EXPECT_EQ(300000, CPublisher::RetryDelayMs(1000000));
}

TEST_F(Publication, RetentionKeepsRecentRowsAndEverythingStillPending)
{
    for (int i = 0; i < 5; ++i)
        Update("192.0.2." + std::to_string(10 + i), {1, m_a});
    int removed = 0;
    ASSERT_TRUE(m_store.PruneHistory(2, 0, removed));
    EXPECT_EQ(6, removed);  // three of each host's five
    auto h = History();
    ASSERT_EQ(4u, h.size());
    EXPECT_EQ("192.0.2.13", h[0].address);
    EXPECT_EQ("pending", h.back().publication);

    // The age limit spares each host's newest row and a pending publication even when it is not the newest.
    Update("192.0.2.14", {m_a});
    ASSERT_TRUE(m_store.PruneHistory(100, INT64_MAX, removed));
    EXPECT_EQ(2, removed);
    h = History();
    ASSERT_EQ(3u, h.size());
    EXPECT_EQ(1u, h[0].hostid);
    EXPECT_EQ("pending", h[1].publication);
    EXPECT_EQ("", h[2].publication);
    EXPECT_EQ(1u, Due().size());

    // Each family of a host keeps its newest row: many IPv4 updates do not push out the one IPv6 row.
    Update("2001:db8::1", {1});
    for (int i = 0; i < 3; ++i)
        Update("192.0.2.3" + std::to_string(i), {1});
    ASSERT_TRUE(m_store.PruneHistory(1, 0, removed));
    EXPECT_EQ(3, removed);
    h = History();
    ASSERT_EQ(4u, h.size());
    EXPECT_EQ("2001:db8::1 192.0.2.32", h[2].address + " " + h[3].address);
}

// Two publishers on one store (two serve processes) never take the same row; rows given back, or whose
// claim ran out, are due again.
TEST_F(Publication, ClaimsKeepPublishersApart)
{
    Update("192.0.2.1", {m_a, m_b});
    CProviderStore other;
    ASSERT_TRUE(other.Open(m_where)) << other.LastError();
    const int64_t now = provider::NowMs() + 1000, until = now + 60000;
    std::vector<ProviderPublication> mine, theirs;
    ASSERT_TRUE(m_store.ClaimPublications(now, until, 1, mine));
    ASSERT_TRUE(other.ClaimPublications(now, until, 10, theirs));
    ASSERT_EQ(1u, mine.size());
    ASSERT_EQ(1u, theirs.size());
    EXPECT_NE(mine[0].id, theirs[0].id);
    EXPECT_GT(mine[0].queuedMs, 0);
    EXPECT_TRUE(Due(now).empty());
    ASSERT_TRUE(m_store.ReleasePublications({mine[0].id}));
    EXPECT_EQ(1u, Due(now).size());
    EXPECT_EQ(2u, Due(until).size());
    PublicationBacklog backlog;
    ASSERT_TRUE(m_store.Backlog(until + 5000, backlog));
    EXPECT_EQ(2, backlog.pending);
    EXPECT_EQ(until + 5000 - std::min(mine[0].queuedMs, theirs[0].queuedMs), backlog.overdueMs);

    // A newer address waits while another publisher still sends the one it superseded: sent at once, it
    // could reach the DNS server first and be overwritten by the older one.
    const int64_t later = until + 1000;
    std::vector<ProviderPublication> sending, next;
    ASSERT_TRUE(other.ClaimPublications(later, later + 60000, 10, sending));
    ASSERT_EQ(2u, sending.size());
    Update("192.0.2.9", {m_a});
    ASSERT_TRUE(m_store.ClaimPublications(later, later + 60000, 10, next));
    EXPECT_TRUE(next.empty());
    ASSERT_TRUE(other.PublicationsDone({sending[0].id, sending[1].id}));
    ASSERT_TRUE(m_store.ClaimPublications(later, later + 60000, 10, next));
    ASSERT_EQ(1u, next.size());
    EXPECT_EQ("192.0.2.9", next[0].address);
}

// A host's addresses change at most once in the minimum interval; a repeat is no change, and a change held
// back writes nothing.
TEST_F(Publication, MinimumIntervalHoldsChangesOnly)
{
    m_store.SetMinInterval(60000);
    std::vector<int> results;
    std::vector<int64_t> retry;
    auto update = [&](const std::string& address, std::vector<uint32_t> hosts) {
        EXPECT_TRUE(m_store.UpdateHosts("demo", hosts, address, results, &retry));
        return results;
    };
    EXPECT_EQ(std::vector<int>{kUpdateDone}, update("192.0.2.1", {m_a}));
    EXPECT_EQ(std::vector<int>{kUpdateDone}, update("192.0.2.1", {m_a}));
    size_t rows = History().size();
    EXPECT_EQ((std::vector<int>{kUpdateTooSoon, kUpdateDone, kUpdateTooSoon, kUpdateRefused}),
              update("2001:db8::1", {m_a, 2, m_a, 999}));
    EXPECT_GT(retry[0], 55000);
    EXPECT_LE(retry[0], 60000);
    EXPECT_EQ(rows + 1, History().size());  // host 2 only
    ProviderHost host;
    ASSERT_TRUE(m_store.FindHost("a.dyn.example.net", host));
    EXPECT_EQ("192.0.2.1|", host.data + "|" + host.data6);
    m_store.SetMinInterval(0);
    EXPECT_EQ(std::vector<int>{kUpdateDone}, update("2001:db8::1", {m_a}));
}

TEST_F(Publication, TokensAndSessions)
{
    int32_t userid = 0;
    ASSERT_TRUE(m_store.AddAccount(ProviderAccount{0, "other", "00", "", "", 1, 1, ""}, userid));
    int64_t id = 0;
    for (size_t i = 0; i < CProviderStore::kMaxTokensPerHost; ++i)
        ASSERT_TRUE(m_store.AddToken(m_a, "hash" + std::to_string(i), id)) << m_store.LastError();
    EXPECT_FALSE(m_store.AddToken(m_a, "one too many", id));
    ProviderToken token;
    ASSERT_TRUE(m_store.FindToken(id, token));
    EXPECT_EQ("a.dyn.example.net hash9", token.domain + " " + token.hash);
    std::vector<ProviderToken> tokens;
    ASSERT_TRUE(m_store.TokensOf("other", tokens));
    EXPECT_TRUE(tokens.empty());
    EXPECT_FALSE(m_store.RevokeToken("other", id));  // not its host's
    EXPECT_TRUE(m_store.RevokeToken("demo", id));
    EXPECT_FALSE(m_store.FindToken(id, token));
    EXPECT_TRUE(m_store.LastError().empty());

    // A session slides with use, never past its greatest age, and is gone once expired.
    ASSERT_TRUE(m_store.AddSession(ProviderSession{"s1", "demo", "csrf", 1000, 2000}));
    ASSERT_TRUE(m_store.AddSession(ProviderSession{"s2", "demo", "csrf", 1000, 2000}));
    ProviderSession session;
    ASSERT_TRUE(m_store.FindSession("s1", 1500, 100000, 500000, session));
    EXPECT_EQ(100000, session.expiresMs);
    ASSERT_TRUE(m_store.FindSession("s1", 90000, 900000, 500000, session));
    EXPECT_EQ(501000, session.expiresMs);
    EXPECT_FALSE(m_store.FindSession("s2", 2000, 100000, 500000, session));
    ASSERT_TRUE(m_store.RemoveSessionsOf("demo", "s2"));
    EXPECT_FALSE(m_store.FindSession("s1", 1500, 100000, 500000, session));
}

#ifndef MORVANE_STORE_POSTGRES
// A database the IPv4-only versions made (kept as their own dump) opens at the current schema version with
// every row kept and its pending publication still queued, and takes IPv6 addresses, each family published
// on its own; one from a newer version is refused and left alone.
TEST(ProviderSchema, OlderDatabaseIsUpgradedWhole)
{
    CTempDir tmp{"morvane-schema"};
    const std::string path = tmp.Path() + "/old.db";
    std::ifstream dump(std::string(MORVANE_FIXTURES) + "/provider/provider-schema0.sql");
    std::string sql((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr));
    auto version = [&] {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &st, nullptr);
        int v = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
        sqlite3_finalize(st);
        return v;
    };
    ASSERT_EQ(0, version());

    CProviderStore store;
    ASSERT_TRUE(store.Open(path)) << store.LastError();
    EXPECT_EQ(CProviderStore::SchemaVersion(), version());
    std::vector<ProviderHost> hosts;
    ASSERT_TRUE(store.Hosts(hosts));
    ASSERT_EQ(4u, hosts.size());
    EXPECT_EQ("192.0.2.1||home.dyn.example.net 198.51.100.5 other", hosts[0].data + "|" + hosts[0].data6 + "|" +
                                                                        hosts[3].domain + " " + hosts[3].data + " " +
                                                                        hosts[3].owner);
    ProviderAccount account;
    EXPECT_TRUE(store.CheckPassword("other", CMD5("secret").HexDigest(), account));
    ProviderNetwork network;
    ASSERT_TRUE(store.Network(network));
    EXPECT_EQ("203.0.113.9 2 lab", network.address + " " + std::to_string(network.nettype) + " " + network.location);
    std::vector<ProviderHistory> history;
    ASSERT_TRUE(store.History(history));
    ASSERT_EQ(3u, history.size());
    EXPECT_EQ("superseded pending", history[1].publication + " " + history[2].publication);
    int nochg = 0;
    ASSERT_TRUE(store.CountNochg(1, nochg));
    EXPECT_EQ(2, nochg);

    // Each family on its own: the failing IPv4 publication waits beside a new IPv6 one, and a new IPv4
    // address supersedes only it.
    std::vector<int> results;
    ASSERT_TRUE(store.UpdateHosts("other", {4}, ProviderAddresses{"", "2001:db8::4"}, results));
    EXPECT_TRUE(store.PublicationFailing(4, provider::IpFamily::V4));
    EXPECT_FALSE(store.PublicationFailing(4, provider::IpFamily::V6));
    ASSERT_TRUE(store.UpdateHosts("other", {4}, ProviderAddresses{"198.51.100.6", ""}, results));
    std::vector<ProviderPublication> due;
    ASSERT_TRUE(store.DuePublications(INT64_MAX, 10, due));
    ASSERT_EQ(2u, due.size());
    EXPECT_EQ("2001:db8::4 198.51.100.6", due[0].address + " " + due[1].address);
    store.Close();
    ASSERT_TRUE(store.Open(path)) << store.LastError();  // once is enough
    store.Close();

    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, "PRAGMA user_version=99", nullptr, nullptr, nullptr));
    EXPECT_FALSE(store.Open(path));
    EXPECT_NE(std::string::npos, store.LastError().find("newer morvane-provider")) << store.LastError();
    EXPECT_EQ(99, version());
    sqlite3_close(raw);
}

// A database of schema version 2 (kept as that version's own dump) keeps its rows, its waiting
// publications and the digests its accounts log in with; the slow hashes, tokens and sessions come empty.
TEST(ProviderSchema, DualStackDatabaseIsUpgradedWhole)
{
    CTempDir tmp{"morvane-schema"};
    const std::string path = tmp.Path() + "/v2.db";
    std::ifstream dump(std::string(MORVANE_FIXTURES) + "/provider/provider-schema2.sql");
    std::string sql((std::istreambuf_iterator<char>(dump)), std::istreambuf_iterator<char>());
    sqlite3* raw = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &raw));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr));
    sqlite3_close(raw);
    CProviderStore store;
    ASSERT_TRUE(store.Open(path)) << store.LastError();
    ProviderAccount account;
    ASSERT_TRUE(store.CheckPassword("other", CMD5("secret").HexDigest(), account));
    EXPECT_EQ("", account.pwhash);
    std::vector<ProviderPublication> due;
    ASSERT_TRUE(store.ClaimPublications(INT64_MAX / 2, INT64_MAX / 2, 10, due));
    ASSERT_EQ(2u, due.size());
    EXPECT_EQ("198.51.100.5 2001:db8::5 0",
              due[0].address + " " + due[1].address + " " + std::to_string(due[0].queuedMs));
    ProviderHost host;
    ASSERT_TRUE(store.FindHost("HOME.dyn.example.net", host));
    EXPECT_EQ(0, host.changedMs);
    int64_t id = 0;
    EXPECT_TRUE(store.AddToken(host.hostid, "hash", id));
    int nochg = 0;
    ASSERT_TRUE(store.CountNochg(host.hostid, nochg));
    EXPECT_EQ(2, nochg);
}

// A zone that cannot be read for a while is not a removed zone: the publication waits, and goes out
// once the store answers again.
TEST_F(Publication, StoreFailureIsNotAMissingZone)
{
    DnsZone zone{"dyn.example.net", "127.0.0.1", 1, "k", "hmac-sha256", "c2VjcmV0", 60};  // nobody on UDP port 1
    ASSERT_TRUE(m_store.AddZone(zone));
    Update("192.0.2.1", {m_a});
    // Every read of the zones fails at run time (abs() overflows), as a locked or damaged store's would.
    sqlite3* other = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_dir + "/p.db").c_str(), &other));
    auto exec = [&](const char* sql) { return sqlite3_exec(other, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
    ASSERT_TRUE(exec("ALTER TABLE zones RENAME TO zones_away; CREATE VIEW zones AS SELECT * FROM zones_away"
                     " WHERE abs(-9223372036854775807 - 1) > 0"));
    CPublisher publisher;
    ASSERT_TRUE(publisher.Start(PublisherOptions{m_dir + "/p.db", 200}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ("pending", History().back().publication);
    ASSERT_TRUE(exec("DROP VIEW zones; ALTER TABLE zones_away RENAME TO zones"));
    publisher.Wake();
    EXPECT_TRUE(WaitUntil([&] { return History().back().attempts == 1; }, std::chrono::seconds(5)));
    EXPECT_EQ("pending", History().back().publication);
    sqlite3_close(other);
}

// Keys as BIND writes them, with comments and other statements around, one or several; the ones that
// cannot be used are refused with the reason.
TEST(ZoneSettings, KeyFiles)
{
    std::vector<provider::TsigKey> keys;
    std::string why;
    const std::string two =
        "# made by tsig-keygen\nkey \"First.Key.\" {\n\talgorithm hmac-sha512;\n\tsecret \"c2VjcmV0\";\n};\n"
        "options { directory \"/var/cache/bind\"; };  // not a key\n"
        "/* old */ key second { algorithm HMAC-MD5.SIG-ALG.REG.INT; secret \"Zml4ZWQ=\"; };";
    ASSERT_TRUE(provider::ParseKeyFile(two, keys, why)) << why;
    ASSERT_EQ(2u, keys.size());
    EXPECT_EQ("first.key hmac-sha512 c2VjcmV0", keys[0].name + " " + keys[0].algorithm + " " + keys[0].secret);
    provider::TsigKey key;
    ASSERT_TRUE(provider::ChooseKey(keys, "SECOND.", key, why)) << why;
    EXPECT_EQ("hmac-md5 Zml4ZWQ=", key.algorithm + " " + key.secret);
    for (const char* bad : {"key k { algorithm hmac-sha256; };", "key k { algorithm hmac-sha3; secret \"c2VjcmV0\"; };",
                            "key k { algorithm hmac-sha256; secret \"c2VjcmV0\"; }", "key { };", "key \"k { };"})
        EXPECT_FALSE(provider::ParseKeyFile(bad, keys, why)) << bad;
    EXPECT_FALSE(provider::ParseKeyFile(std::string_view("key \0 { };", 10), keys, why));  // ends, refused
}

TEST(ZoneSettings, ParsingRefusesWhatCannotWork)
{
    std::string host, why, name, algorithm, secret;
    uint16_t port = 0;
    EXPECT_TRUE(dns::ParseServer("127.0.0.1", host, port, why));
    EXPECT_EQ(53, port);
    EXPECT_TRUE(dns::ParseServer("ns.example.net:5300", host, port, why));
    EXPECT_EQ("ns.example.net", host);
    EXPECT_EQ(5300, port);
    EXPECT_TRUE(dns::ParseServer("[::1]:5301", host, port, why));
    EXPECT_EQ("::1", host);
    EXPECT_EQ(5301, port);
    EXPECT_TRUE(dns::ParseServer("::1", host, port, why));
    EXPECT_EQ(53, port);
    for (const char* bad : {"", ":53", "h:", "h:0", "h:65536", "h:5x", "[::1", "[::1]53"})
        EXPECT_FALSE(dns::ParseServer(bad, host, port, why)) << bad;

    EXPECT_TRUE(dns::ParseKey("k1:c2VjcmV0", name, algorithm, secret, why));
    EXPECT_EQ("hmac-sha256", algorithm);
    EXPECT_TRUE(dns::ParseKey("Key.Name:HMAC-SHA512:c2VjcmV0", name, algorithm, secret, why));
    EXPECT_EQ("key.name", name);
    EXPECT_EQ("hmac-sha512", algorithm);
    for (const char* bad :
         {"nokey", "k:hmac-sha3:c2VjcmV0", "k:hmac-sha1:not base64", "k:hmac-sha1:", ":c2VjcmV0", "k:c2Vjc=mV0"})
        EXPECT_FALSE(dns::ParseKey(bad, name, algorithm, secret, why)) << bad;

    EXPECT_TRUE(dns::NormalizeName("A.Example.NET.", name));
    EXPECT_EQ("a.example.net", name);
    std::string longLabel(64, 'x');
    for (const char* bad : {"", ".", "a..b", "a b.example", "a;rm.example", longLabel.c_str()})
        EXPECT_FALSE(dns::NormalizeName(bad, name)) << bad;
    EXPECT_TRUE(dns::InZone("a.example.net", "example.net"));
    EXPECT_TRUE(dns::InZone("example.net", "example.net"));
    EXPECT_FALSE(dns::InZone("aexample.net", "example.net"));
    EXPECT_FALSE(dns::InZone("net", "example.net"));
}

#endif  // the SQLite file alone

}  // namespace
