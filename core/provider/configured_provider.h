#pragma once
// CConfiguredProvider: the provider provider.conf names, followed while the service runs. Before every
// call it looks at the file (inode, size and modification time); when it changed, the provider is
// built anew from it, so a new account, new hosts or a switch of kind take effect at the next call,
// and hosts stopped by the server get another chance. An unreadable or unusable file keeps the web
// service, the default.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/provider/config.h"
#include "core/provider/provider.h"
#include "shared/base/files.h"

class CDynamicService;
class INatLibrary;

struct ProviderEnvironment {
    // The web-service client; called again each time the web-service kind is chosen.
    std::function<std::unique_ptr<CDynamicService>()> makeWebService;
    INatLibrary* nat = nullptr;  // null = libnat
    long checkIpTimeoutMs = 10000;
};

class CConfiguredProvider : public IProvider {
public:
    CConfiguredProvider(std::string path, ProviderEnvironment environment);

    int PublicAddress(NetInfo& info) override;
    int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
              std::vector<DomainRecord>& hosts) override;
    int Update(const std::string& user, const std::string& digest, const AddressPair& address,
               UpdateResultMap& results) override;
    bool RefreshDue(uint32_t hostid, const AddressPair& address) const override;
    bool LastUpdateSent() const override { return !m_active || m_active->LastUpdateSent(); }
    CallFailure Failure(int status) const override;
    void Cancel() override;
    std::string Describe() const override;

    // The first account's kind.
    ProviderConfig::Kind Kind() const { return m_kind; }
    // The local interface the address comes from (empty: none), as of the last look at the file.
    const std::string& InterfaceName() const { return m_interface; }
    // The address families the provider keeps current (the web service: IPv4).
    ProviderConfig::Families Families() const { return m_families; }
    const std::string& Path() const { return m_path; }
    // Reads the file again when it changed since the last look; true when it did.
    bool Refresh();

private:
    void Replace(std::unique_ptr<IProvider> next);
    // The provider of one account of provider.conf (not the web service), its state kept beside it.
    std::unique_ptr<IProvider> MakeAccount(const ProviderConfig& config);
    std::string m_path;
    ProviderEnvironment m_env;
    std::unique_ptr<IProvider> m_active;
    // Cancel() comes from another thread while the worker may be replacing m_active.
    mutable std::mutex m_lock;
    std::atomic<bool> m_cancelled{false};
    ProviderConfig::Kind m_kind = ProviderConfig::Kind::WebService;
    std::string m_interface;
    ProviderConfig::Families m_families = ProviderConfig::Families::IPv4;
    bool m_seen = false;
    bool m_exists = false;
    files::FileStamp m_stamp;
};
