#pragma once
// CAccountsProvider: several provider accounts at once, as one provider. The domain list is the union
// of the accounts' hosts with the ids providerconf::HostRecords gives the whole file; each call goes to
// the accounts the hosts belong to. Every account is asked in turn, whatever the others answered, so a
// failing account never holds back the others; the call fails when one of them did (its hosts are
// tried again, the others' already-taken addresses cost no request). A login is an account's name and
// secret (a dyndns2 account also takes its user name); it gives the whole domain list.
// The public addresses come from the first account that keeps the family.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/provider/config.h"
#include "core/provider/provider.h"

class CAccountsProvider : public IProvider {
public:
    struct Account {
        ProviderConfig config;
        std::unique_ptr<IProvider> provider;
    };
    explicit CAccountsProvider(std::vector<Account> accounts);

    int PublicAddress(NetInfo& info) override;
    int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
              std::vector<DomainRecord>& hosts) override;
    int Update(const std::string& user, const std::string& digest, const AddressPair& address,
               UpdateResultMap& results) override;
    bool RefreshDue(uint32_t hostid, const AddressPair& address) const override;
    bool LastUpdateSent() const override { return m_lastSent; }
    CallFailure Failure(int status) const override;
    void Cancel() override;
    std::string Describe() const override;

private:
    struct Entry {
        Account account;
        std::string login;                   // the user name the account's own Hosts takes
        std::string digest;                  // MD5 of its secret
        std::map<uint32_t, uint32_t> local;  // union id -> the account's own id
    };
    // The account owning the union id `hostid` and its id there; null when none.
    const Entry* Owner(uint32_t hostid, uint32_t& local) const;

    std::vector<Entry> m_entries;
    std::vector<DomainRecord> m_records;
    CallFailure m_failure;
    bool m_lastSent = true;
};
