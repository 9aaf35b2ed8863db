#include "core/webservice/dynamic_service.h"

#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>

#include "core/log.h"
#include "core/webservice/local_listener.h"
#include "soapH.h"

namespace webservice {

FailureKind Classify(int status)
{
    switch (status) {
    case SOAP_OK: return kFailNone;
    case SOAP_CLI_FAULT:
    case SOAP_FAULT: return kFailRefused;
    case SOAP_SVR_FAULT:  // the provider's own trouble ("database unavailable")
    case SOAP_EOF:
    case SOAP_TCP_ERROR:
    case SOAP_SSL_ERROR:
    case SOAP_EOM:
    case kDeadline:
    case kCancelled: return kFailUnreachable;
    default:
        // A success status as an error: the body was not SOAP.
        if (status >= 200 && status < 300)
            return kFailUnreadable;
        return soap_http_error_check(status) ? kFailUnreachable : kFailUnreadable;
    }
}

}  // namespace webservice

namespace {

using Clock = std::chrono::steady_clock;

// A context that lives for exactly one call: created, prepared, and always released (delete, end, done).
// Its transport hooks give the whole call one deadline: every connect, send and receive waits at most
// until it, so a peer that drips bytes cannot stretch the call, and Cancel() cuts it at once.
// A new gSOAP context initialises OpenSSL (and maps most of libcrypto: about 4 MB resident) unless
// told not to. Plain-HTTP calls need none of it, and OpenSSL initialises itself when a TLS call
// first sets up its context.
struct soap* NewContext()
{
    static std::once_flag once;
    std::call_once(once, [] { soap_ssl_noinit(); });
    return soap_new();
}

class CCallContext {
public:
    CCallContext(CDynamicService& owner, const webservice::Timeouts& timeouts)
        : m_soap(NewContext()), m_owner(owner), m_timeouts(timeouts),
          m_deadline(Clock::now() + std::chrono::seconds(timeouts.total > 0 ? timeouts.total : 40))
    {
        if (!m_soap)
            return;
        webservice::PrepareContext(m_soap, timeouts);
        m_soap->user = this;
        m_open = m_soap->fopen;
        m_close = m_soap->fclosesocket;
        m_send = m_soap->fsend;
        m_recv = m_soap->frecv;
        m_soap->fopen = Open;
        m_soap->fclosesocket = CloseSocket;
        m_soap->fsend = Send;
        m_soap->frecv = Recv;
    }
    ~CCallContext()
    {
        if (!m_soap)
            return;
        soap_destroy(m_soap);
        soap_end(m_soap);
        soap_free(m_soap);  // soap_done + release
        m_owner.TrackSocket(-1);
    }
    CCallContext(const CCallContext&) = delete;
    CCallContext& operator=(const CCallContext&) = delete;
    struct soap* Get() const { return m_soap; }
    // A wait that ended with the time left ends at the deadline, give or take the clock's grain.
    bool DeadlinePassed() const { return m_expired || Clock::now() + std::chrono::milliseconds(10) >= m_deadline; }
    // Why the connection was dropped before anything was sent; empty when it was not.
    const std::string& Refusal() const { return m_refusal; }

private:
    static CCallContext& Of(struct soap* soap) { return *static_cast<CCallContext*>(soap->user); }

    // Seconds left, at least 1 (the library's unit); 0 once the deadline or a cancel is reached.
    int Left(int limit)
    {
        if (m_owner.Cancelled())
            return 0;
        long long us = std::chrono::duration_cast<std::chrono::microseconds>(m_deadline - Clock::now()).count();
        if (us <= 0) {
            m_expired = true;
            return 0;
        }
        // Negative values are microseconds to the library.
        if (limit > 0 && us > limit * 1000000ll)
            us = limit * 1000000ll;
        return -static_cast<int>(std::min<long long>(us, 2000000000ll));
    }

    static SOAP_SOCKET Open(struct soap* soap, const char* endpoint, const char* host, int port)
    {
        CCallContext& c = Of(soap);
        int left = c.Left(c.m_timeouts.connect);
        if (left == 0) {
            soap->error = SOAP_TCP_ERROR;
            return SOAP_INVALID_SOCKET;
        }
        soap->connect_timeout = left;
        SOAP_SOCKET s = c.m_open(soap, endpoint, host, port);
        if (!soap_valid_socket(s))
            return s;
        // Plain HTTP to this machine: only to a listener of root, ours or the provider's user.
        if (!c.m_owner.Tls() && !webservice::TrustedLocalPeer(static_cast<int>(s), c.m_refusal)) {
            c.m_close(soap, s);
            soap->socket = SOAP_INVALID_SOCKET;
            soap->error = SOAP_TCP_ERROR;
            return SOAP_INVALID_SOCKET;
        }
        c.m_owner.TrackSocket(static_cast<int>(s));
        return s;
    }
    static int CloseSocket(struct soap* soap, SOAP_SOCKET s)
    {
        CCallContext& c = Of(soap);
        c.m_owner.TrackSocket(-1);  // before the number can be reused
        return c.m_close(soap, s);
    }
    static int Send(struct soap* soap, const char* s, size_t n)
    {
        CCallContext& c = Of(soap);
        int left = c.Left(c.m_timeouts.send);
        if (left == 0)
            return SOAP_EOF;
        soap->send_timeout = left;
        return c.m_send(soap, s, n);
    }
    static size_t Recv(struct soap* soap, char* s, size_t n)
    {
        CCallContext& c = Of(soap);
        int left = c.Left(c.m_timeouts.recv);
        if (left == 0)
            return 0;
        soap->recv_timeout = left;
        return c.m_recv(soap, s, n);
    }

    struct soap* m_soap;
    CDynamicService& m_owner;
    webservice::Timeouts m_timeouts;
    Clock::time_point m_deadline;
    bool m_expired = false;
    std::string m_refusal;
    SOAP_SOCKET (*m_open)(struct soap*, const char*, const char*, int) = nullptr;
    int (*m_close)(struct soap*, SOAP_SOCKET) = nullptr;
    int (*m_send)(struct soap*, const char*, size_t) = nullptr;
    size_t (*m_recv)(struct soap*, char*, size_t) = nullptr;
};

// The fault's text and detail on one line (the library separates the OpenSSL reasons with line breaks).
std::string FaultText(struct soap* soap)
{
    std::string text;
    if (const char* s = soap_fault_string(soap))
        text = s;
    if (const char* d = soap_fault_detail(soap); d && *d)
        text.append(text.empty() ? "" : ": ").append(d);
    if (text.empty())
        return "error " + std::to_string(soap->error);
    for (char& c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

// What went wrong, in words for the journal.
std::string Describe(struct soap* soap, int status)
{
    // The handshake comes before the request: a refused certificate means nothing, the digest included,
    // left this machine.
    if (status == SOAP_SSL_ERROR)
        return "TLS refused, request not sent" + (soap ? ": " + FaultText(soap) : std::string());
    const char* text = soap ? soap_fault_string(soap) : nullptr;
    std::string detail = text ? text : "";
    if (soap && soap->errnum) {
        char buf[128];
        const char* e = strerror_r(soap->errnum, buf, sizeof buf);
        detail += detail.empty() ? e : std::string(" (") + e + ")";
    }
    if (status == SOAP_CLI_FAULT || status == SOAP_SVR_FAULT || status == SOAP_FAULT)
        return "SOAP fault: " + (detail.empty() ? std::string("(no text)") : detail);
    if (status >= 200 && status < 300)
        return "the answer is not SOAP (HTTP status " + std::to_string(status) + ")";
    if (status >= 100 && status < 600)
        return "HTTP status " + std::to_string(status);
    if (status == SOAP_TCP_ERROR)
        return "connect failed" + (detail.empty() ? std::string() : ": " + detail);
    if (status == SOAP_EOF)
        return "connection closed or no answer" + (detail.empty() ? std::string() : ": " + detail);
    return "error " + std::to_string(status) + (detail.empty() ? std::string() : ": " + detail);
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

bool CDynamicService::Secure(const char* operation, struct soap* soap)
{
    if (!m_tls)
        return true;
    // Chain and host name are both checked (the library compares the certificate's names with the host
    // of the endpoint). A private CA replaces the system store rather than adding to it.
    unsigned short flags = SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_TLSv1_2 | SOAP_TLSv1_3;
    if (!m_caFile.empty())
        flags |= SOAP_SSL_NO_DEFAULT_CA_PATH;
    if (soap_ssl_client_context(soap, flags, nullptr, nullptr, m_caFile.empty() ? nullptr : m_caFile.c_str(), nullptr,
                                nullptr) != SOAP_OK) {
        NoteFailure(operation, nullptr, SOAP_SSL_ERROR,
                    "TLS not set up (CA file '" + m_caFile + "'): " + FaultText(soap));
        return false;
    }
    return true;
}

void CDynamicService::TrackSocket(int socket)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_socket = socket;
    if (socket >= 0 && m_cancelled)
        ::shutdown(socket, SHUT_RDWR);
}

void CDynamicService::Cancel()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_cancelled = true;
    // Wakes a connect, send or receive in progress; the socket stays open until its owner closes it.
    if (m_socket >= 0)
        ::shutdown(m_socket, SHUT_RDWR);
}

void CDynamicService::Resume()
{
    m_cancelled = false;
}

CallFailure CDynamicService::Failure(int status) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (status == m_failure.status)
        return m_failure;
    CallFailure f;
    f.status = status;
    f.kind = webservice::Classify(status);
    f.what = status == webservice::kBadAnswer   ? "the answer is not the expected document"
             : status == webservice::kDeadline  ? "time-out"
             : status == webservice::kCancelled ? "cut short by a stop"
                                                : Describe(nullptr, status);
    return f;
}

void CDynamicService::NoteFailure(const char* operation, struct soap* soap, int status, const std::string& what)
{
    CallFailure f;
    f.status = status;
    f.kind = webservice::Classify(status);
    f.operation = operation;
    if (!what.empty())
        f.what = what;
    else if (status == webservice::kDeadline)
        f.what = "no complete answer within " + std::to_string(m_timeouts.total) + " s (time-out)";
    else if (status == webservice::kCancelled)
        f.what = "cut short by a stop";
    else
        f.what = Describe(soap, status);
    JournalPrint(kJournalWarning, "provider %s: %s failed: %s", m_endpoint.c_str(), operation, f.what.c_str());
    std::lock_guard<std::mutex> guard(m_lock);
    m_failure = std::move(f);
}

// Runs one operation and turns a transport failure caused by the deadline or a cancel into its own
// status, so the journal and the clients can tell a slow provider from a dead one.
#define MORVANE_CALL(ctx, name, call)                                                                                  \
    int status = (call);                                                                                               \
    if (status != SOAP_OK) {                                                                                           \
        if (Cancelled())                                                                                               \
            status = webservice::kCancelled;                                                                           \
        else if ((ctx).DeadlinePassed())                                                                               \
            status = webservice::kDeadline;                                                                            \
        NoteFailure(name, (ctx).Get(), status, (ctx).Refusal());                                                       \
        return status;                                                                                                 \
    }                                                                                                                  \
    if (JournalVerbosity() >= kJournalDebug)                                                                           \
    JournalPrint(kJournalDebug, "provider %s: %s answered %zu bytes", m_endpoint.c_str(), name, text.size())

int CDynamicService::GetDynamicIP(NetInfo& info)
{
    CCallContext ctx(*this, m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    if (!Secure("getDynamicIP", ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string text;
    MORVANE_CALL(ctx, "getDynamicIP", getDynamicIP(ctx.Get(), m_endpoint.c_str(), nullptr, text));
    NetInfo read = info;
    if (!webservice::ReadNetInfo(text, read)) {
        NoteFailure("getDynamicIP", nullptr, webservice::kBadAnswer, "the answer is not a NetInfo document");
        return webservice::kBadAnswer;
    }
    info = read;
    if (info.dyip == 0 && LogLevel() > 3)
        LogPrint("get dynamic ==%s\n", text.c_str());
    return SOAP_OK;
}

int CDynamicService::GetDynamic(const std::string& username, const std::string& password, UserInfo& user,
                                std::vector<DomainRecord>& domains)
{
    CCallContext ctx(*this, m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    if (!Secure("getDynamic", ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string text;
    MORVANE_CALL(ctx, "getDynamic", getDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, text));
    UserInfo readUser = user;
    std::vector<DomainRecord> readDomains;
    if (!webservice::ReadAccount(text, readUser, readDomains)) {
        NoteFailure("getDynamic", nullptr, webservice::kBadAnswer,
                    "the answer is not an account document (UserInfo and dynamic)");
        return webservice::kBadAnswer;
    }
    user = readUser;
    domains.insert(domains.end(), readDomains.begin(), readDomains.end());
    return SOAP_OK;
}

int CDynamicService::UpdateDynamic(const std::string& username, const std::string& password, UpdateResultMap& results)
{
    CCallContext ctx(*this, m_timeouts);
    if (!ctx.Get())
        return SOAP_EOM;
    if (!Secure("updateDynamic", ctx.Get()))
        return SOAP_SSL_ERROR;
    std::string request = webservice::BuildDynamicList(results);
    std::string text;
    MORVANE_CALL(ctx, "updateDynamic",
                 updateDynamic(ctx.Get(), m_endpoint.c_str(), nullptr, username, password, request, text));
    UpdateResultMap read = results;
    if (!webservice::ReadUpdateResults(text, read)) {
        NoteFailure("updateDynamic", nullptr, webservice::kBadAnswer, "the answer is not a dynamic result document");
        return webservice::kBadAnswer;
    }
    results = std::move(read);
    return SOAP_OK;
}
