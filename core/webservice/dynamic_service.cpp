#include "core/webservice/dynamic_service.h"

#include <utility>

#include "core/log.h"
#include "soapH.h"

namespace {

// A context that lives for exactly one call: created, prepared, and always released (delete, end, done).
class CCallContext {
public:
    explicit CCallContext(const webservice::Timeouts& timeouts) : m_soap(soap_new())
    {
        if (m_soap)
            webservice::PrepareContext(m_soap, timeouts);
    }
    ~CCallContext()
    {
        if (!m_soap)
            return;
        soap_destroy(m_soap);
        soap_end(m_soap);
        soap_free(m_soap);  // soap_done + release
    }
    CCallContext(const CCallContext&) = delete;
    CCallContext& operator=(const CCallContext&) = delete;
    struct soap* Get() const { return m_soap; }

private:
    struct soap* m_soap;
};

}  // namespace

CDynamicService::CDynamicService(std::string host, uint16_t port) : m_host(std::move(host)), m_port(port)
{
    // An IPv6 literal needs brackets in a URL.
    bool v6 = m_host.find(':') != std::string::npos && m_host.front() != '[';
    m_endpoint.reserve(m_host.size() + 16);
    m_endpoint.append("http://");
    if (v6)
        m_endpoint.push_back('[');
    m_endpoint.append(m_host);
    if (v6)
        m_endpoint.push_back(']');
    if (m_port != 80)
        m_endpoint.append(":").append(std::to_string(m_port));
    m_endpoint += "/";
}

int CDynamicService::GetDynamicIP(NetInfo& info)
{
    CCallContext ctx(m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    std::string text;
    int status = getDynamicIP(ctx.Get(), m_endpoint.c_str(), nullptr, text);
    if (status != SOAP_OK)
        return status;
    webservice::ReadNetInfo(text, info);
    if (info.dyip == 0 && LogLevel() > 3)
        LogPrint("get dynamic ==%s\n", text.c_str());
    return SOAP_OK;
}

int CDynamicService::GetDynamic(const std::string& username, const std::string& password, UserInfo& user,
                                std::vector<DomainRecord>& domains)
{
    CCallContext ctx(m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    std::string text;
    int status = getDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, text);
    if (status != SOAP_OK)
        return status;
    webservice::ReadAccount(text, user, domains);
    return SOAP_OK;
}

int CDynamicService::UpdateDynamic(const std::string& username, const std::string& password,
                                   UpdateResultMap& results)
{
    CCallContext ctx(m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    std::string request = webservice::BuildDynamicList(results);
    std::string text;
    int status = updateDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, request, text);
    if (status != SOAP_OK)
        return status;
    webservice::ReadUpdateResults(text, results);
    return SOAP_OK;
}
