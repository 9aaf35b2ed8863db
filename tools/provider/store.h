#pragma once
// CProviderStore: the provider's SQLite database of accounts, hosts, update history and the public
// address it reports. One object per thread; several processes may share the file (admin commands
// while the server runs), so every read goes to the database.

#include <cstdint>
#include <string>
#include <vector>

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
    std::string data;
    std::string owner;
};

struct ProviderHistory {
    int64_t time = 0;
    uint32_t hostid = 0;
    std::string account;
    std::string address;
    int result = 0;
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

    // Opens (creating when missing) and makes sure the tables exist.
    bool Open(const std::string& path);
    void Close();
    const std::string& LastError() const { return m_error; }

    bool AddAccount(const ProviderAccount& account, int32_t& userid);
    bool FindAccount(const std::string& name, ProviderAccount& account);
    bool Accounts(std::vector<ProviderAccount>& accounts);
    // True when the account exists and the digest matches (hex case ignored).
    bool CheckPassword(const std::string& name, const std::string& digest, ProviderAccount& account);

    bool AddHost(const std::string& owner, const std::string& domain, uint32_t& hostid);
    // The host of that name (case ignored). False with an empty LastError when there is none.
    bool FindHost(const std::string& domain, ProviderHost& host);
    bool HostsOf(const std::string& owner, std::vector<ProviderHost>& hosts);
    bool Hosts(std::vector<ProviderHost>& hosts);

    // Points each listed host of `owner` at `address` and records every attempt. results[i] is 1 for a
    // host that was updated, 0 for one that is not the account's. One transaction.
    bool UpdateHosts(const std::string& owner, const std::vector<uint32_t>& hostids, const std::string& address,
                     std::vector<int>& results);
    bool History(std::vector<ProviderHistory>& history);

    // Unchanged-address updates of a host in a row (dyndns2 answers "nochg" to them and "abuse" past a
    // limit). Count adds one and gives the new total; Reset starts over after a real change.
    bool CountNochg(uint32_t hostid, int& count);
    bool ResetNochg(uint32_t hostid);

    bool SetNetwork(const ProviderNetwork& network);
    bool Network(ProviderNetwork& network);

    // The demo account "demo"/"demo" with demo1..3.example.net; does nothing when it exists.
    bool SeedDemo();

private:
    bool Exec(const char* sql);
    bool Fail(const char* what);

    sqlite3* m_db = nullptr;
    std::string m_error;
};
