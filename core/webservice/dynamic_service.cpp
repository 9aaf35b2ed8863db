#include "core/webservice/dynamic_service.h"

#include <mutex>
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

std::string FaultText(struct soap* soap)
{
    std::string text;
    if (const char* s = soap_fault_string(soap))
        text = s;
    if (const char* d = soap_fault_detail(soap); d && *d)
        text.append(text.empty() ? "" : ": ").append(d);
    if (text.empty())
        return "error " + std::to_string(soap->error);
    // One log line: the library separates the OpenSSL reasons with line breaks.
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

}  // namespace

CDynamicService::CDynamicService(std::string host, uint16_t port) : m_host(std::move(host)), m_port(port)
{
    MakeEndpoint();
}

void CDynamicService::MakeEndpoint()
{
    // An IPv6 literal needs brackets in a URL.
    bool v6 = m_host.find(':') != std::string::npos && m_host.front() != '[';
    m_endpoint.clear();
    m_endpoint.reserve(m_host.size() + 16);
    m_endpoint.append(m_tls ? "https://" : "http://");
    if (v6)
        m_endpoint.push_back('[');
    m_endpoint.append(m_host);
    if (v6)
        m_endpoint.push_back(']');
    if (m_port != (m_tls ? 443 : 80))
        m_endpoint.append(":").append(std::to_string(m_port));
    m_endpoint += "/";
}

void CDynamicService::UseTls(std::string caFile)
{
    m_tls = true;
    m_caFile = std::move(caFile);
    MakeEndpoint();
}

bool CDynamicService::Secure(struct soap* soap)
{
    if (!m_tls)
        return true;
    static std::once_flag once;
    std::call_once(once, [] { soap_ssl_init(); });
    // Chain and host name are both checked (the library compares the certificate's names with the host
    // of the endpoint). A private CA replaces the system store rather than adding to it.
    unsigned short flags = SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_TLSv1_2 | SOAP_TLSv1_3;
    if (!m_caFile.empty())
        flags |= SOAP_SSL_NO_DEFAULT_CA_PATH;
    if (soap_ssl_client_context(soap, flags, nullptr, nullptr, m_caFile.empty() ? nullptr : m_caFile.c_str(),
                                nullptr, nullptr) != SOAP_OK) {
        LogPrint("provider %s: TLS not set up (CA file '%s'): %s\n", m_endpoint.c_str(), m_caFile.c_str(),
                 FaultText(soap).c_str());
        return false;
    }
    return true;
}

int CDynamicService::Checked(struct soap* soap, int status)
{
    // The handshake comes before the request: a refused certificate means nothing, the digest included,
    // left this machine.
    if (m_tls && status == SOAP_SSL_ERROR)
        LogPrint("provider %s: TLS refused, request not sent: %s\n", m_endpoint.c_str(), FaultText(soap).c_str());
    return status;
}

int CDynamicService::GetDynamicIP(NetInfo& info)
{
    CCallContext ctx(m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    if (!Secure(ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string text;
    int status = Checked(ctx.Get(), getDynamicIP(ctx.Get(), m_endpoint.c_str(), nullptr, text));
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
    if (!Secure(ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string text;
    int status = Checked(ctx.Get(), getDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, text));
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
    if (!Secure(ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string request = webservice::BuildDynamicList(results);
    std::string text;
    int status = Checked(ctx.Get(), updateDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, request, text));
    if (status != SOAP_OK)
        return status;
    webservice::ReadUpdateResults(text, results);
    return SOAP_OK;
}
