#include "core/provider/configured_provider.h"

#include "core/log.h"
#include "core/provider/accounts_provider.h"
#include "core/provider/address_sources.h"
#include "core/provider/cloudflare/cloudflare_provider.h"
#include "core/provider/duckdns/duckdns_provider.h"
#include "core/provider/dyndns2/dyndns2_provider.h"
#include "core/provider/nsupdate/nsupdate_provider.h"
#include "core/provider/url/url_provider.h"
#include "core/provider/webservice_provider.h"
#include "core/webservice/dynamic_service.h"
#include "shared/base/files.h"

CConfiguredProvider::CConfiguredProvider(std::string path, ProviderEnvironment environment)
    : m_path(std::move(path)), m_env(std::move(environment))
{
    Refresh();
}

void CConfiguredProvider::Replace(std::unique_ptr<IProvider> next)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_active = std::move(next);
    if (m_cancelled)
        m_active->Cancel();
}

bool CConfiguredProvider::Refresh()
{
    files::FileStamp stamp;
    bool exists = files::StampOf(m_path, stamp);
    if (m_seen && exists == m_exists && stamp == m_stamp)
        return false;
    // The audit line of `provider set`: the file is replaced whole by whoever changed it, so its
    // owner is the user who wrote this version (the writer never hands the file to anybody else).
    if (m_seen && exists)
        JournalPrint(kJournalNotice, "provider: %s changed by uid %u", m_path.c_str(), unsigned(stamp.owner));
    else if (m_seen)
        JournalPrint(kJournalNotice, "provider: %s removed", m_path.c_str());
    m_seen = true;
    m_exists = exists;
    m_stamp = stamp;

    std::vector<ProviderConfig> accounts;
    bool readable = providerconf::ReadAll(m_path, accounts);
    std::string problem = readable ? providerconf::CheckAll(accounts) : "cannot be read";
    if (!problem.empty()) {
        JournalPrint(kJournalWarning, "provider: %s: %s; using the web service", m_path.c_str(), problem.c_str());
        accounts.assign(1, ProviderConfig{});
    }
    const ProviderConfig& first = accounts.front();
    if (!providerconf::IsAccountKind(first.kind)) {
        if (m_active && m_kind != ProviderConfig::Kind::WebService)
            JournalPrint(kJournalInfo, "provider: back to the web service");
        m_interface.clear();
        m_families = ProviderConfig::Families::IPv4;
        auto web = std::make_unique<CWebServiceProvider>(m_env.makeWebService ? m_env.makeWebService() : nullptr);
        // Check-IP URLs configured for the web service only cross-check what it reports.
        if (!first.checkIp.empty()) {
            AddressSourceOptions sources;
            sources.router = false;
            sources.checkIp = first.checkIp;
            sources.caFile = first.caFile;
            sources.checkIpTimeoutMs = m_env.checkIpTimeoutMs;
            sources.cancel = &m_cancelled;
            auto check = std::make_shared<CAddressSources>(std::move(sources));
            web->SetCrossCheck([check] { return check->Find().address; });
        }
        Replace(std::move(web));
        m_kind = ProviderConfig::Kind::WebService;
        return true;
    }
    // The interface and the families the service follows: the first account's interface, the union of
    // the families.
    m_interface.clear();
    bool v4 = false, v6 = false;
    for (const ProviderConfig& c : accounts) {
        if (m_interface.empty())
            m_interface = c.interfaceName;
        v4 = v4 || c.WantsIPv4();
        v6 = v6 || c.WantsIPv6();
    }
    m_families = v4 && v6 ? ProviderConfig::Families::Both
                 : v6     ? ProviderConfig::Families::IPv6
                          : ProviderConfig::Families::IPv4;
    m_kind = first.kind;
    if (accounts.size() == 1) {
        Replace(MakeAccount(first));
        return true;
    }
    std::vector<CAccountsProvider::Account> all;
    for (const ProviderConfig& c : accounts)
        all.push_back(CAccountsProvider::Account{c, MakeAccount(c)});
    JournalPrint(kJournalInfo, "provider: %zu accounts", all.size());
    Replace(std::make_unique<CAccountsProvider>(std::move(all)));
    return true;
}

std::unique_ptr<IProvider> CConfiguredProvider::MakeAccount(const ProviderConfig& config)
{
    // Only the families the account keeps are asked for: an IPv6-only account asks no IPv4 source.
    AddressSourceOptions sources;
    // The interface serves each family for which the account names no check-IP URL of its own: the
    // common dual-stack home has its public IPv6 address on the interface and its IPv4 one on the router.
    sources.interfaceName = config.checkIp.empty() ? config.interfaceName : std::string();
    sources.interfaceName6 = config.checkIp6.empty() ? config.interfaceName : std::string();
    sources.router = config.router && config.WantsIPv4();
    if (config.WantsIPv4())
        sources.checkIp = providerconf::CheckIpUrls(config);
    if (config.WantsIPv6())
        sources.checkIp6 = providerconf::CheckIp6Urls(config);
    sources.caFile = config.caFile;
    sources.checkIpTimeoutMs = m_env.checkIpTimeoutMs;
    sources.nat = m_env.nat;
    sources.cancel = &m_cancelled;
    const char* families = config.ip == ProviderConfig::Families::Both   ? "IPv4 and IPv6"
                           : config.ip == ProviderConfig::Families::IPv6 ? "IPv6"
                                                                         : "IPv4";
    const std::string state = files::DirName(m_path) + "/" + kProviderStateFileName;
    auto address = std::make_unique<CAddressSources>(std::move(sources));
    if (config.kind == ProviderConfig::Kind::Dyndns2) {
        JournalPrint(kJournalInfo, "provider: dyndns2 account %s at %s, %zu host(s), %s", config.user.c_str(),
                     config.server.c_str(), config.hosts.size(), families);
        auto dyndns2 = std::make_unique<CDyndns2Provider>(config, std::move(address));
        dyndns2->Persist(state);
        return dyndns2;
    }
    std::unique_ptr<CAccountProvider> account;
    switch (config.kind) {
    case ProviderConfig::Kind::Cloudflare:
        account = std::make_unique<CCloudflareProvider>(config, std::move(address));
        break;
    case ProviderConfig::Kind::DuckDNS: account = std::make_unique<CDuckDnsProvider>(config, std::move(address)); break;
    case ProviderConfig::Kind::Nsupdate:
        account = std::make_unique<CNsupdateProvider>(config, std::move(address));
        break;
    default: account = std::make_unique<CUrlProvider>(config, std::move(address)); break;
    }
    JournalPrint(kJournalInfo, "provider: %s, %zu host(s), %s", account->Describe().c_str(), config.hosts.size(),
                 families);
    account->Persist(state);
    return account;
}

int CConfiguredProvider::PublicAddress(NetInfo& info)
{
    Refresh();
    return m_active->PublicAddress(info);
}

int CConfiguredProvider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                               std::vector<DomainRecord>& hosts)
{
    Refresh();
    return m_active->Hosts(user, digest, account, hosts);
}

int CConfiguredProvider::Update(const std::string& user, const std::string& digest, const AddressPair& address,
                                UpdateResultMap& results)
{
    Refresh();
    return m_active->Update(user, digest, address, results);
}

bool CConfiguredProvider::RefreshDue(uint32_t hostid, const AddressPair& address) const
{
    return m_active && m_active->RefreshDue(hostid, address);
}

CallFailure CConfiguredProvider::Failure(int status) const
{
    return m_active ? m_active->Failure(status) : CallFailure{status, webservice::kFailUnreachable, "", "no provider"};
}

void CConfiguredProvider::Cancel()
{
    m_cancelled = true;
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_active)
        m_active->Cancel();
}

std::string CConfiguredProvider::Describe() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_active ? m_active->Describe() : "no provider";
}
