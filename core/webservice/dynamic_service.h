#pragma once
// CDynamicService: the core's client of the provider's dynamic-DNS web service. Each call creates its
// own SOAP context, so calls may run on different threads; host and port are fixed at construction.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/webservice/documents.h"
#include "core/webservice/soap_calls.h"
#include "shared/packet/records.h"

namespace webservice {

// Statuses of our own, in the range the SOAP library leaves to applications.
constexpr int kBadAnswer = 900;  // the exchange worked but the result is not the expected document
constexpr int kDeadline = 901;   // the call's overall deadline passed
constexpr int kCancelled = 902;  // Cancel() (a stop) ended the call

// Why a call failed, in the terms the clients are told (the failed login reply's reason byte).
enum FailureKind : uint8_t {
    kFailNone = 0,
    kFailRefused = 1,      // the provider answered with a refusal (a sender fault)
    kFailUnreachable = 2,  // no connection, no or late answer, HTTP error, the provider's own fault
    kFailUnreadable = 3,   // an answer came but could not be read
};
FailureKind Classify(int status);

}  // namespace webservice

// A failed call as the journal reports it.
struct CallFailure {
    int status = 0;
    webservice::FailureKind kind = webservice::kFailNone;
    std::string operation;  // "getDynamic", ...
    std::string what;       // "connection refused", "HTTP status 503", "SOAP fault: ..."
};

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

    // All three return 0 or the SOAP status (or one of the statuses above); on failure the caller's
    // data is untouched. Virtual so that the service's tests can stand in for a provider that fails
    // in particular ways.
    virtual int GetDynamicIP(NetInfo& info);
    virtual int GetDynamic(const std::string& username, const std::string& password, UserInfo& user,
                           std::vector<DomainRecord>& domains);
    virtual int UpdateDynamic(const std::string& username, const std::string& password, UpdateResultMap& results);

    // The details of the last failed call when `status` is what it returned; otherwise what the
    // status alone tells.
    CallFailure Failure(int status) const;

    // Ends a call in progress at once (from any thread) and makes later calls fail until Resume().
    void Cancel();
    void Resume();

    // Context hooks (internal): the socket of the call in progress, for Cancel().
    void TrackSocket(int socket);
    bool Cancelled() const { return m_cancelled.load(); }

private:
    void MakeEndpoint();
    // A context for one call, set up for TLS when asked; false when that failed (noted as the failure).
    bool Secure(const char* operation, struct soap* soap);
    void NoteFailure(const char* operation, struct soap* soap, int status, const std::string& what = {});

    std::string m_host;
    uint16_t m_port;
    bool m_tls = false;
    std::string m_caFile;
    std::string m_endpoint;
    webservice::Timeouts m_timeouts;

    mutable std::mutex m_lock;  // the tracked socket and the last failure
    int m_socket = -1;
    CallFailure m_failure;
    std::atomic<bool> m_cancelled{false};
};
