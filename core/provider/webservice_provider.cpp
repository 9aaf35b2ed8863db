#include "core/provider/webservice_provider.h"

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"

int CWebServiceProvider::PublicAddress(NetInfo& info)
{
    if (!m_service)
        return -1;
    int status = m_service->GetDynamicIP(info);
    if (status == 0 && m_crossCheck && info.dyip != 0) {
        uint32_t other = m_crossCheck();
        uint32_t mine = static_cast<uint32_t>(info.dyip);
        if (other != 0 && other != mine)
            JournalPrint(kJournalNotice, "address cross-check: the provider reports %s, another source %s",
                         FormatIPv4(mine).c_str(), FormatIPv4(other).c_str());
    }
    return status;
}

int CWebServiceProvider::Hosts(const std::string& user, const std::string& digest, UserInfo& account,
                               std::vector<DomainRecord>& hosts)
{
    return m_service ? m_service->GetDynamic(user, digest, account, hosts) : -1;
}

int CWebServiceProvider::Update(const std::string& user, const std::string& digest, const AddressPair&,
                                UpdateResultMap& results)
{
    return m_service ? m_service->UpdateDynamic(user, digest, results) : -1;
}

CallFailure CWebServiceProvider::Failure(int status) const
{
    if (m_service)
        return m_service->Failure(status);
    CallFailure f;
    f.status = status;
    f.kind = webservice::kFailUnreachable;
    f.what = "no web-service client";
    return f;
}

void CWebServiceProvider::Cancel()
{
    if (m_service)
        m_service->Cancel();
}

std::string CWebServiceProvider::Describe() const
{
    return m_service ? m_service->Endpoint() : "web service (none)";
}
