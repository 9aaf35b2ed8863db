#pragma once
// CDynamicService: the core's client of the provider's dynamic-DNS web service. Each call creates its
// own SOAP context, so calls may run on different threads; host and port are fixed at construction.

#include <cstdint>
#include <string>
#include <vector>

#include "core/webservice/documents.h"
#include "core/webservice/soap_calls.h"
#include "shared/packet/records.h"

class CDynamicService {
public:
    CDynamicService(std::string host, uint16_t port);
    virtual ~CDynamicService() = default;

    // "http://host/" for port 80, else "http://host:port/"; https and 443 after UseTls.
    const std::string& Endpoint() const { return m_endpoint; }

    // Talks TLS to the provider: its certificate must chain to `caFile` (PEM) or, when empty, to the
    // system's CA store, and name the host. A certificate that fails either check ends the call before
    // anything is sent; the reason is logged.
    void UseTls(std::string caFile);
    bool Tls() const { return m_tls; }
    const std::string& Host() const { return m_host; }
    uint16_t Port() const { return m_port; }

    // Tests shorten the limits; set before the first call.
    void SetTimeouts(const webservice::Timeouts& timeouts) { m_timeouts = timeouts; }

    // All three return 0 or the SOAP status; on failure the caller's data is untouched. Virtual so
    // that the service's tests can stand in for a provider that fails in particular ways.
    virtual int GetDynamicIP(NetInfo& info);
    virtual int GetDynamic(const std::string& username, const std::string& password, UserInfo& user,
                   std::vector<DomainRecord>& domains);
    virtual int UpdateDynamic(const std::string& username, const std::string& password, UpdateResultMap& results);

private:
    void MakeEndpoint();
    // A context for one call, set up for TLS when asked; false when that failed (logged).
    bool Secure(struct soap* soap);
    int Checked(struct soap* soap, int status);

    std::string m_host;
    uint16_t m_port;
    bool m_tls = false;
    std::string m_caFile;
    std::string m_endpoint;
    webservice::Timeouts m_timeouts;
};
