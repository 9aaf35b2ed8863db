#pragma once
// CProviderStore: the provider's SQLite database of accounts, hosts, update history and the public
// address it reports. One object per thread; several processes may share the file (admin commands
// while the server runs), so every read goes to the database. A host has an address of each family, each
// stored, recorded and published on its own: an update of one never touches the other.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/provider/address.h"
#include "tools/provider/dns_update.h"

struct sqlite3;

struct ProviderAccount {
    int32_t userid = 0;
    std::string name;
    std::string digest;  // MD5 of the password, 32 lower-case hex
    std::string nick;
    std::string email;
    int status = 1;
    int validated = 1;
};

struct ProviderHost {
    uint32_t hostid = 0;
    std::string domain;
    std::string data;  // IPv4 address (what the web service reports), empty when none
    std::string owner;
    std::string data6;  // IPv6 address, empty when none
};

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
};

// What getDynamicIP reports. An empty address means "the caller's source address".
struct ProviderNetwork {
    std::string address;
    int nettype = 0;
    std::string location;
};

class CProviderStore {
public:
    CProviderStore() = default;
    ~CProviderStore();
    CProviderStore(const CProviderStore&) = delete;
    CProviderStore& operator=(const CProviderStore&) = delete;

    // Opens (creating when missing) and brings the tables to the current schema version; refuses a
    // database made by a newer version, whose tables it does not know.
    bool Open(const std::string& path);
    // The schema version this code writes (PRAGMA user_version of an upgraded database).
    static int SchemaVersion();
    void Close();
    const std::string& LastError() const { return m_error; }

    bool AddAccount(const ProviderAccount& account, int32_t& userid);
    bool FindAccount(const std::string& name, ProviderAccount& account);
    bool Accounts(std::vector<ProviderAccount>& accounts);
    // True when the account exists and the digest matches (hex case ignored).
    bool CheckPassword(const std::string& name, const std::string& digest, ProviderAccount& account);

    // Refuses a name that breaks the host-name rule (one final dot is dropped) or that exists already in
    // any case.
    bool AddHost(const std::string& owner, const std::string& domain, uint32_t& hostid);
    // The host of that name (case ignored). False with an empty LastError when there is none.
    bool FindHost(const std::string& domain, ProviderHost& host);
    bool HostsOf(const std::string& owner, std::vector<ProviderHost>& hosts);
    bool Hosts(std::vector<ProviderHost>& hosts);

    // The one way an accepted address update enters the store, whatever protocol carried it. Points each
    // listed host of `owner` at the given addresses (one or both families) and records each in the history.
    // results[i] is 1 for a host that was updated, 0 for one that is not the account's (nothing is written
    // for it); a host listed twice counts once. For a host inside a configured zone, each family whose
    // record does not already carry (or wait for) its address gets a pending publication, superseding an
    // older pending one of the same family. One transaction; the publication listener is told after it
    // commits.
    bool UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids, const ProviderAddresses& addresses,
                     std::vector<int>& results);
    // One address, of the family its text shows.
    bool UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids, const std::string& address,
                     std::vector<int>& results);
    bool History(std::vector<ProviderHistory>& history);

    // Unchanged-address updates of a host in a row (dyndns2 answers "nochg" to them and "abuse" past a
    // limit): adds one and gives the new total. Every update UpdateHosts accepts starts the count over.
    bool CountNochg(uint32_t hostid, int& count);

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
    bool NextPublicationDue(int64_t& whenMs);
    // A row superseded while its update was on the way still counts as published; a failure or a drop
    // leaves a superseded row alone.
    bool PublicationDone(int64_t id);
    bool PublicationsDone(const std::vector<int64_t>& ids);  // all of one message, in one transaction
    bool PublicationFailed(int64_t id, const std::string& error, int64_t nextAttemptMs);
    bool PublicationDropped(int64_t id, const std::string& error);
    // True when the host's current address of that family is still unpublished and its last attempt failed.
    bool PublicationFailing(uint32_t hostid, provider::IpFamily family);

    // Keeps at most keepPerHost rows of each host and family and none older than olderThan (unix seconds,
    // 0: no age limit); the newest row of a host's family and rows still waiting for publication always stay.
    bool PruneHistory(int keepPerHost, int64_t olderThan, int& removed);

    bool SetNetwork(const ProviderNetwork& network);
    bool Network(ProviderNetwork& network);

    // The demo account "demo"/"demo" with demo1..3.example.net; does nothing when it exists.
    bool SeedDemo();

private:
    bool Upgrade();
    bool Exec(const char* sql);
    bool Fail(const char* what);

    sqlite3* m_db = nullptr;
    std::string m_error;
};
