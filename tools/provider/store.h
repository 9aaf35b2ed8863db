#pragma once
// CProviderStore: the provider's store of accounts, hosts, update history, publications and the public
// address it reports, in a SQLite file or a PostgreSQL database (database.h). One object per thread;
// several processes may share the store (admin commands while the server runs, several servers on one
// PostgreSQL), so every read goes to the database. A host has an address of each family, each stored,
// recorded and published on its own: an update of one never touches the other.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "shared/dns/dns_update.h"
#include "tools/provider/address.h"
#include "tools/provider/database.h"

struct ProviderAccount {
    int32_t userid = 0;
    std::string name;
    std::string digest;  // MD5 of the password, 32 lower-case hex
    std::string nick;
    std::string email;
    int status = 1;
    int validated = 1;
    // Slow salted hash of the password (the account page and dyndns2 check it); empty until the password
    // is next set or given where it can be read (an account made by an earlier version).
    std::string pwhash;
};

struct ProviderHost {
    uint32_t hostid = 0;
    std::string domain;
    std::string data;  // IPv4 address (what the web service reports), empty when none
    std::string owner;
    std::string data6;      // IPv6 address, empty when none
    int64_t changedMs = 0;  // last accepted change of either address (0: never)
};

// A per-host update token: its slow hash only; the token itself is shown once when it is made.
struct ProviderToken {
    int64_t id = 0;
    uint32_t hostid = 0;
    std::string domain;
    std::string hash;
    int64_t created = 0;  // unix seconds
    int64_t used = 0;     // last accepted use, unix seconds (0: never), to the minute
};

// A signed-in browser of the account page: `id` is the hash of the cookie's secret.
struct ProviderSession {
    std::string id;
    std::string account;
    std::string csrf;  // the token every form of the session carries
    int64_t createdMs = 0;
    int64_t expiresMs = 0;
};

// Results of UpdateHosts per host.
constexpr int kUpdateRefused = 0;  // not the account's host (or none): nothing written
constexpr int kUpdateDone = 1;
constexpr int kUpdateTooSoon = 2;  // an address of it changed less than the minimum interval ago: nothing written

// The addresses one update sets; an empty one leaves that family of the host as it is.
struct ProviderAddresses {
    std::string ipv4;
    std::string ipv6;
};

// Publication states of an accepted update for a host inside a configured zone.
constexpr const char kPublicationPending[] = "pending";  // not yet acknowledged by the server
constexpr const char kPublicationPublished[] = "published";
constexpr const char kPublicationSuperseded[] = "superseded";  // a newer address replaced it first
constexpr const char kPublicationNoZone[] = "no-zone";         // its zone was removed while pending

struct ProviderHistory {
    int64_t time = 0;
    uint32_t hostid = 0;
    std::string account;
    std::string address;  // of either family
    int result = 0;
    int family = 4;
    std::string publication;  // empty: nothing to publish (no zone, refused, or the name already has it)
    int attempts = 0;
    std::string publicationError;
    int64_t nextAttemptMs = 0;
};

// A publication waiting for its turn (history row `id`).
struct ProviderPublication {
    int64_t id = 0;
    uint32_t hostid = 0;
    std::string domain;
    std::string zone;
    std::string address;  // an IPv4 address replaces the name's A records, an IPv6 one its AAAA records
    int attempts = 0;
    int64_t queuedMs = 0;  // when the update that made it was accepted (0: made by an earlier version)
};

// The publisher's queue as a monitor sees it.
struct PublicationBacklog {
    int64_t pending = 0;    // waiting rows, due or not
    int64_t failing = 0;    // of those, rows whose last attempt failed
    int64_t overdueMs = 0;  // how long the oldest row due and not taken by a publisher has been waiting
};

// What getDynamicIP reports. An empty address means "the caller's source address".
struct ProviderNetwork {
    std::string address;
    int nettype = 0;
    std::string location;
};

class CProviderStore {
public:
    CProviderStore();
    ~CProviderStore();
    CProviderStore(const CProviderStore&) = delete;
    CProviderStore& operator=(const CProviderStore&) = delete;

    // Opens a SQLite file (created when missing) or a PostgreSQL database ("postgresql://..."), and brings
    // the tables to the current schema version; refuses a store made by a newer version, whose tables it
    // does not know.
    bool Open(const std::string& where);
    // The schema version this code writes (PRAGMA user_version of an upgraded SQLite file).
    static int SchemaVersion();
    void Close();
    const std::string& LastError() const { return m_error; }
    bool IsPostgres() const;
    // The engine underneath, for `migrate`.
    provider::CDatabase* Database() { return m_db.get(); }

    bool AddAccount(const ProviderAccount& account, int32_t& userid);
    bool FindAccount(const std::string& name, ProviderAccount& account);
    bool Accounts(std::vector<ProviderAccount>& accounts);
    // True when the account exists and the digest matches (hex case ignored).
    bool CheckPassword(const std::string& name, const std::string& digest, ProviderAccount& account);
    // A new password: its digest (which the web service compares) and its slow hash, together.
    bool SetPassword(const std::string& name, const std::string& digest, const std::string& pwhash);
    // The slow hash of an account made before there was one, once its password is known to match
    // `digest`; nothing when the password changed in between.
    bool AddPasswordHash(const std::string& name, const std::string& digest, const std::string& pwhash);

    // Refuses a name that breaks the host-name rule (one final dot is dropped) or that exists already in
    // any case.
    bool AddHost(const std::string& owner, const std::string& domain, uint32_t& hostid);
    // The host of that name (case ignored). False with an empty LastError when there is none.
    bool FindHost(const std::string& domain, ProviderHost& host);
    bool HostsOf(const std::string& owner, std::vector<ProviderHost>& hosts);
    bool Hosts(std::vector<ProviderHost>& hosts);

    // Changes of a host's addresses closer together than this are refused (kUpdateTooSoon); 0: no limit.
    void SetMinInterval(int64_t ms) { m_minIntervalMs = ms; }

    // The one way an accepted address update enters the store, whatever protocol carried it. Points each
    // listed host of `owner` at the given addresses (one or both families) and records each in the history.
    // results[i] is kUpdateDone for a host that was updated, kUpdateRefused for one that is not the
    // account's (nothing is written for it), kUpdateTooSoon for one whose address would change within the
    // minimum interval of its last change (nothing written; retryAfterMs[i], when given, says when it may);
    // a host listed twice counts once. For a host inside a configured zone, each family whose record does
    // not already carry (or wait for) its address gets a pending publication, superseding an older pending
    // one of the same family. One transaction; the publication listener is told after it commits.
    bool UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids, const ProviderAddresses& addresses,
                     std::vector<int>& results, std::vector<int64_t>* retryAfterMs = nullptr);
    // One address, of the family its text shows.
    bool UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids, const std::string& address,
                     std::vector<int>& results, std::vector<int64_t>* retryAfterMs = nullptr);
    bool History(std::vector<ProviderHistory>& history);
    // The newest `limit` rows of one host, newest first.
    bool HostHistory(uint32_t hostid, size_t limit, std::vector<ProviderHistory>& history);

    // Unchanged-address updates of a host in a row (dyndns2 answers "nochg" to them and "abuse" past a
    // limit): adds one and gives the new total. Every update UpdateHosts accepts starts the count over.
    bool CountNochg(uint32_t hostid, int& count);

    // Per-host tokens. AddToken refuses past kMaxTokensPerHost; RevokeToken removes only a token of a host
    // of `owner`, and is false with an empty LastError when there is none.
    static constexpr size_t kMaxTokensPerHost = 10;
    bool AddToken(uint32_t hostid, const std::string& hash, int64_t& id);
    bool FindToken(int64_t id, ProviderToken& token);  // false with an empty LastError when there is none
    bool TokensOf(const std::string& owner, std::vector<ProviderToken>& tokens);
    bool RevokeToken(const std::string& owner, int64_t id);
    bool TokenUsed(int64_t id, int64_t now);

    // Sessions of the account page. FindSession gives a session that has not expired and moves its expiry
    // to `slideToMs` (never past maxAgeMs after it began).
    bool AddSession(const ProviderSession& session);
    bool FindSession(const std::string& id, int64_t nowMs, int64_t slideToMs, int64_t maxAgeMs,
                     ProviderSession& session);
    bool RemoveSession(const std::string& id);
    // Every session of an account ends (a new password), but `keep`.
    bool RemoveSessionsOf(const std::string& account, const std::string& keep);

    // Called (on the updating thread) after an update queued a publication. Set once per process, before
    // stores are used on other threads.
    static void SetPublicationListener(std::function<void()> listener);

    // Zones: adding an existing zone replaces its settings and makes its pending publications due now.
    bool AddZone(const DnsZone& zone);
    bool RemoveZone(const std::string& zone);
    bool Zones(std::vector<DnsZone>& zones);
    // False with an empty LastError when the zone is not configured; with the reason when the store failed.
    bool FindZone(const std::string& zone, DnsZone& found);

    // Pending publications due at nowMs, oldest first; the earliest next attempt (0: none pending).
    bool DuePublications(int64_t nowMs, size_t limit, std::vector<ProviderPublication>& due);
    // The same, taken for this publisher until untilMs: no other publisher (another serve process on the
    // same store) gets them before then, unless this one records their outcome first. With PostgreSQL rows
    // another publisher is taking at the same moment are skipped rather than waited for. A name whose
    // superseded row is still being sent (claimed) has its newer row held back until that one is done.
    bool ClaimPublications(int64_t nowMs, int64_t untilMs, size_t limit, std::vector<ProviderPublication>& due);
    bool NextPublicationDue(int64_t& whenMs);
    // A row superseded while its update was on the way still counts as published; a failure or a drop
    // leaves a superseded row alone.
    bool PublicationDone(int64_t id);
    bool PublicationsDone(const std::vector<int64_t>& ids);  // all of one message, in one transaction
    bool PublicationFailed(int64_t id, const std::string& error, int64_t nextAttemptMs);
    bool PublicationDropped(int64_t id, const std::string& error);
    // Claimed rows given back unsent, due again at once for any publisher.
    bool ReleasePublications(const std::vector<int64_t>& ids);
    // True when the host's current address of that family is still unpublished and its last attempt failed.
    bool PublicationFailing(uint32_t hostid, provider::IpFamily family);
    // The publication state of the host's current address of that family: empty when nothing was published
    // for it, else the state, with the last error.
    bool PublicationOf(uint32_t hostid, provider::IpFamily family, std::string& state, std::string& error);
    bool Backlog(int64_t nowMs, PublicationBacklog& backlog);

    // Keeps at most keepPerHost rows of each host and family and none older than olderThan (unix seconds,
    // 0: no age limit); the newest row of a host's family and rows still waiting for publication always stay.
    // Expired sessions go too.
    bool PruneHistory(int keepPerHost, int64_t olderThan, int& removed);

    bool SetNetwork(const ProviderNetwork& network);
    bool Network(ProviderNetwork& network);

    // The demo account "demo"/"demo" with demo1..3.example.net; does nothing when it exists.
    bool SeedDemo();

private:
    // One family an update sets: its address and the statement that stores it.
    struct UpdateFamily {
        provider::IpFamily family;
        const std::string& address;
        const char* setSql;
        size_t column;  // of the host row UpdateHosts reads
    };
    bool WriteUpdate(const std::string& owner, int64_t hostid, const std::string& name, bool changes, int64_t nowMs,
                     const std::vector<DnsZone>& zones, const std::vector<UpdateFamily>& families, bool& queued);
    bool Fail(const char* what);
    bool ReadZones(const std::string* only, std::vector<DnsZone>& zones);
    bool ReadHosts(const std::string& sql, const std::vector<provider::SqlValue>& params,
                   std::vector<ProviderHost>& hosts);
    bool InTransaction(const char* what, const std::function<bool()>& body);

    std::unique_ptr<provider::CDatabase> m_db;
    std::string m_error;
    int64_t m_minIntervalMs = 0;
};
