#include "core/provider/accounts_provider.h"

#include "core/log.h"
#include "shared/base/md5.h"

CAccountsProvider::CAccountsProvider(std::vector<Account> accounts)
{
    std::vector<ProviderConfig> configs;
    for (const Account& a : accounts)
        configs.push_back(a.config);
    m_records = providerconf::HostRecords(configs);
    for (Account& a : accounts) {
        Entry e;
        e.login = a.config.kind == ProviderConfig::Kind::Dyndns2 ? a.config.user : providerconf::AccountName(a.config);
        CMD5 md5;
        md5.Digest(std::string_view(providerconf::LoginSecret(a.config)));
        e.digest = md5.HexDigest() ? md5.HexDigest() : "";
        // Its own ids may differ from the union's where two names of different accounts hash alike.
        for (const DomainRecord& own : providerconf::HostRecords(a.config))
            for (const DomainRecord& r : m_records)
                if (r.domain == own.domain)
                    e.local[r.hostid] = own.hostid;
        e.account = std::move(a);
        m_entries.push_back(std::move(e));
    }
}

const CAccountsProvider::Entry* CAccountsProvider::Owner(uint32_t hostid, uint32_t& local) const
{
    for (const Entry& e : m_entries)
        if (auto it = e.local.find(hostid); it != e.local.end()) {
            local = it->second;
            return &e;
        }
    return nullptr;
}

int CAccountsProvider::PublicAddress(NetInfo& info)
{
    NetInfo out;
    bool have4 = false, have6 = false;
    int status = 0;
    for (Entry& e : m_entries) {
        bool wants4 = e.account.config.WantsIPv4() && !have4, wants6 = e.account.config.WantsIPv6() && !have6;
        if (!wants4 && !wants6)
            continue;
        NetInfo found;
        if (int rc = e.account.provider->PublicAddress(found); rc != 0) {
            status = status ? status : rc;
            continue;
        }
        if (wants4) {
            out.dyip = found.dyip;
            out.nettype = found.nettype;
            have4 = true;
        }
        if (wants6) {
            out.dyip6 = found.dyip6;
            out.reportsIPv6 = true;
            have6 = true;
        }
        out.netlocation += (out.netlocation.empty() ? "" : "; ") + found.netlocation;
    }
    if (!have4 && !have6)
        return status ? status : 1;
    info = out;
    return 0;
}

int CAccountsProvider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                             std::vector<DomainRecord>& hosts)
{
    // The account whose name (or dyndns2 user) and secret the login gives; then each account's own
    // view of its hosts (what its server holds) for the data column.
    const Entry* who = nullptr;
    for (const Entry& e : m_entries)
        if ((user == e.login || user == providerconf::AccountName(e.account.config)) && !who) {
            UserInfo a;
            std::vector<DomainRecord> own;
            if (e.account.provider->Hosts(e.login, digest, a, own) == 0) {
                who = &e;
                account = a;
                std::snprintf(account.username, sizeof account.username, "%s", user.c_str());
            }
        }
    if (!who) {
        m_failure = CallFailure{910, webservice::kFailRefused, "login", "not an account of provider.conf"};
        return m_failure.status;
    }
    std::vector<DomainRecord> all = m_records;
    for (const Entry& e : m_entries) {
        UserInfo ignored;
        std::vector<DomainRecord> own;
        if (e.account.provider->Hosts(e.login, e.digest, ignored, own) != 0)
            continue;
        for (DomainRecord& r : all)
            if (auto it = e.local.find(r.hostid); it != e.local.end())
                for (const DomainRecord& o : own)
                    if (o.hostid == it->second)
                        r.data = o.data;
    }
    hosts = std::move(all);
    return 0;
}

int CAccountsProvider::Update(const std::string&, const std::string&, const AddressPair& address,
                              UpdateResultMap& results)
{
    int status = 0;
    m_lastSent = false;
    for (Entry& e : m_entries) {
        UpdateResultMap own;
        for (const auto& [id, local] : e.local)
            if (auto it = results.find(id); it != results.end())
                own[local] = it->second;
        if (own.empty())
            continue;
        int rc = e.account.provider->Update(e.login, e.digest, address, own);
        m_lastSent = m_lastSent || rc != 0 || e.account.provider->LastUpdateSent();
        for (const auto& [id, local] : e.local)
            if (auto it = results.find(id); it != results.end())
                it->second = own[local];
        if (rc != 0) {
            if (status == 0) {
                m_failure = e.account.provider->Failure(rc);
                m_failure.what = providerconf::AccountName(e.account.config) + ": " + m_failure.what;
            }
            status = status ? status : rc;
        }
    }
    for (auto& [id, result] : results) {
        uint32_t local = 0;
        if (result == 1 && !Owner(id, local))
            result = 0;
    }
    return status;
}

bool CAccountsProvider::RefreshDue(uint32_t hostid, const AddressPair& address) const
{
    uint32_t local = 0;
    const Entry* e = Owner(hostid, local);
    return e && e->account.provider->RefreshDue(local, address);
}

CallFailure CAccountsProvider::Failure(int status) const
{
    return UpdateFailure(m_failure, status);
}

void CAccountsProvider::Cancel()
{
    for (Entry& e : m_entries)
        e.account.provider->Cancel();
}

std::string CAccountsProvider::Describe() const
{
    std::string text = std::to_string(m_entries.size()) + " accounts:";
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for " " + std::string.
    for (const Entry& e : m_entries) {
        text += ' ';
        text += providerconf::AccountName(e.account.config);
        text += " (";
        text += e.account.provider->Describe();
        text += ')';
    }
    return text;
}
