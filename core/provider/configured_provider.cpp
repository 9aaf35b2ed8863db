#include "core/provider/configured_provider.h"

#include "core/log.h"
#include "core/provider/address_sources.h"
#include "core/provider/dyndns2/dyndns2_provider.h"
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

    ProviderConfig config;
    bool readable = providerconf::Read(m_path, config);
    std::string problem = readable ? providerconf::Check(config) : "cannot be read";
    if (!problem.empty()) {
        JournalPrint(kJournalWarning, "provider: %s: %s; using the web service", m_path.c_str(), problem.c_str());
        config = ProviderConfig{};
    }
    m_interface = config.kind == ProviderConfig::Kind::Dyndns2 ? config.interfaceName : std::string();
    m_families = config.kind == ProviderConfig::Kind::Dyndns2 ? config.ip : ProviderConfig::Families::IPv4;
    if (config.kind == ProviderConfig::Kind::Dyndns2) {
        // Only the families the account keeps are asked for: an IPv6-only account asks no IPv4 source.
        AddressSourceOptions sources;
        sources.interfaceName = config.interfaceName;
        sources.router = config.router && config.WantsIPv4();
        if (config.WantsIPv4())
            sources.checkIp = providerconf::CheckIpUrls(config);
        if (config.WantsIPv6())
            sources.checkIp6 = providerconf::CheckIp6Urls(config);
        sources.caFile = config.caFile;
        sources.checkIpTimeoutMs = m_env.checkIpTimeoutMs;
        sources.nat = m_env.nat;
        sources.cancel = &m_cancelled;
        JournalPrint(kJournalInfo, "provider: dyndns2 account %s at %s, %zu host(s), %s", config.user.c_str(),
                     config.server.c_str(), config.hosts.size(),
                     config.ip == ProviderConfig::Families::Both   ? "IPv4 and IPv6"
                     : config.ip == ProviderConfig::Families::IPv6 ? "IPv6"
                                                                   : "IPv4");
        auto dyndns2 = std::make_unique<CDyndns2Provider>(std::move(config),
                                                          std::make_unique<CAddressSources>(std::move(sources)));
        dyndns2->Persist(files::DirName(m_path) + "/" + kProviderStateFileName);
        Replace(std::move(dyndns2));
        m_kind = ProviderConfig::Kind::Dyndns2;
    } else {
        if (m_active && m_kind != ProviderConfig::Kind::WebService)
            JournalPrint(kJournalInfo, "provider: back to the web service");
        auto web = std::make_unique<CWebServiceProvider>(m_env.makeWebService ? m_env.makeWebService() : nullptr);
        // Check-IP URLs configured for the web service only cross-check what it reports.
        if (!config.checkIp.empty()) {
            AddressSourceOptions sources;
            sources.router = false;
            sources.checkIp = config.checkIp;
            sources.caFile = config.caFile;
            sources.checkIpTimeoutMs = m_env.checkIpTimeoutMs;
            sources.cancel = &m_cancelled;
            auto check = std::make_shared<CAddressSources>(std::move(sources));
            web->SetCrossCheck([check] { return check->Find().address; });
        }
        Replace(std::move(web));
        m_kind = ProviderConfig::Kind::WebService;
    }
    return true;
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
