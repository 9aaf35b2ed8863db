#include "tools/provider/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "soapH.h"
#include "shared/base/ipv4.h"
#include "tools/provider/access.h"
#include "tools/provider/connections.h"
#include "tools/provider/dyndns2.h"
#include "tools/provider/metrics.h"
#include "tools/provider/page.h"
#include "tools/provider/publisher.h"
#include "tools/provider/store.h"

namespace provider {

bool ParseDotted(const std::string& text, uint32_t& address)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    address = ntohl(a.s_addr);
    return true;
}

namespace {

std::string Print(const pugi::xml_document& doc)
{
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out.str();
}

void AddText(pugi::xml_node parent, const char* name, const std::string& text)
{
    parent.append_child(name).text().set(text.c_str());
}

}  // namespace

std::string NetInfoDocument(int32_t dyip, int nettype, const std::string& location)
{
    pugi::xml_document doc;
    auto root = doc.append_child("NetInfo");
    AddText(root, "dyip", std::to_string(dyip));
    AddText(root, "nettype", std::to_string(nettype));
    AddText(root, "netlocation", location);
    return Print(doc);
}

}  // namespace provider

namespace {

// Per-thread state reached through soap->user.
struct Worker {
    CProviderStore store;
    provider::CAccess* access = nullptr;
    provider::IncomingRequest* request = nullptr;  // the one being answered
    uint32_t peer = 0;                             // caller's IPv4 address of the current request
    std::string input;                             // the request as received, read by the SOAP library from inputPos on
    size_t inputPos = 0;
    std::string output;
};

Worker& Of(struct soap* soap)
{
    return *static_cast<Worker*>(soap->user);
}

// Host ids one updateDynamic may list; a longer list is refused whole.
constexpr size_t kMaxHostIds = 1000;

int ServerFault(struct soap* soap, const char* text)
{
    return soap_receiver_fault(soap, text, nullptr);
}

// The address reported to (and set for) the caller: the configured one, else the caller's own. The web
// service speaks IPv4 only: a caller that came over IPv6 (not IPv4-mapped) has no address of its own to
// report or store, so it gets a fault rather than 0.0.0.0. SOAP_OK or the fault's code.
int PublicAddress(struct soap* soap, uint32_t& address, ProviderNetwork& network)
{
    Worker& w = Of(soap);
    if (!w.store.Network(network))
        return ServerFault(soap, "database unavailable");
    if (!network.address.empty() && provider::ParseDotted(network.address, address))
        return SOAP_OK;
    if (w.peer == 0)
        return soap_sender_fault(soap, "no IPv4 address known for this caller (it came over IPv6)", nullptr);
    address = w.peer;
    return SOAP_OK;
}

// The password of the web service is the digest itself. A wrong one counts against the caller's address
// like any failed secret; a check that must wait for the address's slot leaves the call unanswered
// (request.defer set), and the whole call is made again once the slot has come.
int Authenticate(struct soap* soap, const std::string& username, const std::string& password, ProviderAccount& account)
{
    Worker& w = Of(soap);
    if (!w.store.FindAccount(username, account) && w.store.LastError().rfind("no such account", 0) != 0)
        return ServerFault(soap, "database unavailable");
    int retryAfter = 0;
    switch (w.access->Check(*w.request, username, account.digest, provider::CAccess::Kind::SameDigest, password, {},
                            retryAfter)) {
    case provider::CAccess::Verdict::Accepted: return SOAP_OK;
    case provider::CAccess::Verdict::Throttled:
        provider::metrics::Update("webservice", "slowed");
        return soap_sender_fault(
            soap,
            ("too many failed logins from this address: try again in " + std::to_string(retryAfter) + " s").c_str(),
            nullptr);
    case provider::CAccess::Verdict::Pending: return soap_sender_fault(soap, "checking", nullptr);
    default:
        provider::metrics::Update("webservice", "badauth");
        return soap_sender_fault(soap, "invalid user name or password", nullptr);
    }
}

}  // namespace

int ns__getDynamicIP(struct soap* soap, std::string& result)
{
    uint32_t address = 0;
    ProviderNetwork network;
    if (int rc = PublicAddress(soap, address, network))
        return rc;
    result = provider::NetInfoDocument(static_cast<int32_t>(address), network.nettype, network.location);
    return SOAP_OK;
}

int ns__getDynamic(struct soap* soap, std::string username, std::string password, std::string& result)
{
    ProviderAccount account;
    if (int rc = Authenticate(soap, username, password, account))
        return rc;
    std::vector<ProviderHost> hosts;
    if (!Of(soap).store.HostsOf(account.name, hosts))
        return ServerFault(soap, "database unavailable");

    pugi::xml_document doc;
    auto user = doc.append_child("UserInfo");
    provider::AddText(user, "userid", std::to_string(account.userid));
    provider::AddText(user, "nick", account.nick);
    provider::AddText(user, "email", account.email);
    provider::AddText(user, "username", account.name);
    provider::AddText(user, "userstatus", std::to_string(account.status));
    provider::AddText(user, "validated", std::to_string(account.validated));
    auto list = doc.append_child("dynamic");
    for (const auto& h : hosts) {
        auto item = list.append_child("item");
        provider::AddText(item, "domain", h.domain);
        provider::AddText(item, "hostid", std::to_string(h.hostid));
        provider::AddText(item, "data", h.data);
    }
    result = provider::Print(doc);
    return SOAP_OK;
}

int ns__updateDynamic(struct soap* soap, std::string username, std::string password, std::string dynamic_list,
                      std::string& result)
{
    ProviderAccount account;
    if (int rc = Authenticate(soap, username, password, account))
        return rc;
    pugi::xml_document request;
    if (!request.load_string(dynamic_list.c_str()))
        return soap_sender_fault(soap, "malformed dynamic-list", nullptr);
    std::vector<uint32_t> ids;
    for (auto node : request.child("dynamic").children("hostid")) {
        if (ids.size() == kMaxHostIds)
            return soap_sender_fault(soap, "too many host ids (at most 1000 in one update)", nullptr);
        // The client writes ids in signed decimal; the bit pattern is the id.
        long long value = std::strtoll(node.text().get(), nullptr, 10);
        ids.push_back(static_cast<uint32_t>(value));
    }
    uint32_t address = 0;
    ProviderNetwork network;
    if (int rc = PublicAddress(soap, address, network))
        return rc;
    std::vector<int> results;
    if (!Of(soap).store.UpdateHosts(account.name, ids, FormatIPv4(address), results))
        return ServerFault(soap, "database unavailable");
    for (int r : results)
        provider::metrics::Update("webservice", std::to_string(r));

    pugi::xml_document doc;
    auto list = doc.append_child("dynamic");
    for (size_t i = 0; i < ids.size(); ++i) {
        auto item = list.append_child("item");
        item.append_attribute("hostid").set_value(std::to_string(static_cast<int32_t>(ids[i])).c_str());
        item.append_attribute("result").set_value(results[i]);
    }
    result = provider::Print(doc);
    return SOAP_OK;
}

namespace {

// Unlike the generated soap_serve, a POST whose body is not a SOAP envelope gets a fault too: the library
// reports it with a code that means "answer already handled".
void ServeOne(struct soap* soap)
{
    soap->keep_alive = 0;
    if (soap_begin_serve(soap)) {
        if (soap->error >= SOAP_STOP) {
            soap->error = SOAP_VERSIONMISMATCH;
            soap_set_sender_error(soap, "not a SOAP request", "the body is not a SOAP 1.1 envelope",
                                  SOAP_VERSIONMISMATCH);
            soap_send_fault(soap);
        }
        return;  // other errors were answered with a fault already
    }
    if (soap_serve_request(soap) && soap->error && soap->error < SOAP_STOP)
        soap_send_fault(soap);
}

// The SOAP library reads the request the connection loop has already received and writes its answer
// into a buffer; the worker sends it.
size_t ReadReceived(struct soap* soap, char* buf, size_t len)
{
    Worker& w = Of(soap);
    size_t n = std::min(len, w.input.size() - w.inputPos);
    std::memcpy(buf, w.input.data() + w.inputPos, n);
    w.inputPos += n;
    return n;
}

int CollectAnswer(struct soap* soap, const char* data, size_t len)
{
    Of(soap).output.append(data, len);
    return SOAP_OK;
}

int NoClose(struct soap*)
{
    return SOAP_OK;
}

// The library asks whether the client is still there before it sends a fault; the worker finds out when
// it sends.
int StillThere(struct soap*)
{
    return SOAP_OK;
}

// What the workers share: the checks of secrets (their memory of verified pairs and of failing
// addresses), the protocols' settings, the publisher whose health /healthz reports.
struct Shared {
    provider::CAccess access;
    provider::Dyndns2Options dyndns2;
    provider::PageOptions page;
    std::vector<provider::Cidr> metricsFrom;
    int64_t minIntervalMs = 0;
    const CPublisher* publisher = nullptr;
};

std::string Plain(int status, const std::string& body, std::vector<std::string> headers = {})
{
    headers.push_back("Cache-Control: no-store");
    return provider::http::Answer(status, body, "text/plain; charset=utf-8", headers);
}

// Healthy: the store answers, this process's publisher is running (it looks at the store at least once a
// second, and a batch takes at most a few DNS time-outs), and no publication has been due for long without
// a publisher taking it.
std::string Health(CProviderStore& store, bool haveStore, const Shared& shared)
{
    constexpr int64_t kStalledMs = 30000;
    constexpr int64_t kBehindMs = 30000;
    auto start = std::chrono::steady_clock::now();
    PublicationBacklog backlog;
    bool reachable = haveStore && store.Backlog(provider::NowMs(), backlog);
    int64_t tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    int64_t heartbeatMs = shared.publisher ? shared.publisher->SinceHeartbeatMs() : 0;
    bool healthy = reachable && heartbeatMs <= kStalledMs && backlog.overdueMs <= kBehindMs;
    std::string body = healthy ? "ok\n" : "unhealthy\n";
    body += reachable ? "database: ok (" + std::to_string(tookMs) + " ms)\n"
                      : "database: unreachable (" + (haveStore ? store.LastError() : std::string("not open")) + ")\n";
    body += heartbeatMs <= kStalledMs ? "publisher: running\n"
                                      : "publisher: stalled for " + std::to_string(heartbeatMs / 1000) + " s\n";
    if (reachable)
        body += "publications: " + std::to_string(backlog.pending) + " waiting, " + std::to_string(backlog.failing) +
                " failing, oldest due " + std::to_string(backlog.overdueMs / 1000) + " s ago" +
                (backlog.overdueMs > kBehindMs ? " (behind)\n" : "\n");
    return Plain(healthy ? 200 : 503, body);
}

// One worker's state: its own database connection and SOAP context.
class CProviderHandler : public provider::CRequestHandler {
public:
    CProviderHandler(const std::string& database, Shared& shared, unsigned long maxBytes)
        : m_shared(shared), m_soap(soap_new1(SOAP_C_UTFSTRING))
    {
        m_haveStore = m_worker.store.Open(database);
        m_worker.store.SetMinInterval(shared.minIntervalMs);
        m_worker.access = &shared.access;
        if (m_soap) {
            m_soap->user = &m_worker;
            m_soap->recv_maxlength = maxBytes;
            // Without a listening socket the library answers in CGI form ("Status: 200"); a placeholder
            // descriptor (closed by soap_free) makes it write an HTTP status line.
            m_soap->master = open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
    }
    ~CProviderHandler() override
    {
        if (m_soap) {
            soap_destroy(m_soap);
            soap_end(m_soap);
            soap_free(m_soap);
        }
    }
    CProviderHandler(const CProviderHandler&) = delete;
    CProviderHandler& operator=(const CProviderHandler&) = delete;

    std::string Answer(provider::IncomingRequest& request) override
    {
        const auto& head = request.head;
        const std::string_view path = head.Path();
        if (head.method == "GET" && path == provider::kDyndns2Path) {
            if (!m_haveStore)
                return provider::http::Answer(200, "911\n");
            return provider::Dyndns2Answer(m_worker.store, m_shared.access, request, m_shared.dyndns2);
        }
        if (path == provider::kPagePath || path.rfind(std::string(provider::kPagePath) + "/", 0) == 0) {
            if (!m_haveStore)
                return provider::http::Answer(503, "database unavailable\n");
            return provider::PageAnswer(m_worker.store, m_shared.access, request, m_shared.page);
        }
        if (head.method == "GET" && path == "/healthz")
            return Health(m_worker.store, m_haveStore, m_shared);
        if (head.method == "GET" && path == "/metrics") {
            if (!provider::InAnyCidr(request.peer, request.peer6, m_shared.metricsFrom))
                return Plain(403, "metrics are for the addresses of serve --metrics-from\n");
            PublicationBacklog backlog;
            bool known = m_haveStore && m_worker.store.Backlog(provider::NowMs(), backlog);
            return provider::http::Answer(200, provider::metrics::Render(known ? &backlog : nullptr),
                                          "text/plain; version=0.0.4; charset=utf-8", {"Cache-Control: no-store"});
        }
        if (head.method == "GET" && path == "/")
            return provider::http::Answer(303, "", "", {"Location: " + std::string(provider::kPagePath)});
        if (head.method == "GET")
            return provider::http::Answer(404, "not found\n");
        if (head.method != "POST")
            return provider::http::Answer(405, "only GET and POST\n", "text/plain; charset=utf-8",
                                          {"Allow: GET, POST"});
        if (!m_soap)
            return provider::http::Answer(500, "out of memory\n");
        m_worker.request = &request;
        m_worker.peer = request.peer;
        m_worker.input = request.bytes;
        m_worker.inputPos = 0;
        m_worker.output.clear();
        // Each request starts from a clean context: the callbacks are reset by soap_begin.
        soap_begin(m_soap);
        m_soap->socket = SOAP_INVALID_SOCKET;
        m_soap->frecv = ReadReceived;
        m_soap->fsend = CollectAnswer;
        m_soap->fclose = NoClose;
        m_soap->fpoll = StillThere;
        if (m_haveStore) {
            ServeOne(m_soap);
        } else {
            soap_receiver_fault(m_soap, "database unavailable", nullptr);
            soap_send_fault(m_soap);
        }
        soap_destroy(m_soap);
        soap_end(m_soap);
        m_worker.request = nullptr;
        if (request.defer)
            return {};  // a check goes on off the workers; the call is answered when it comes back
        return std::move(m_worker.output);
    }

private:
    Worker m_worker;
    Shared& m_shared;
    struct soap* m_soap;
    bool m_haveStore = false;
};

}  // namespace

int RunProviderServer(const ProviderServerOptions& options, volatile std::sig_atomic_t* stop)
{
    if (!provider::InitCredentials()) {
        std::fprintf(stderr, "morvane-provider: libsodium cannot start\n");
        return 1;
    }
    {
        // Create the tables before the first connection, and fail early on a bad path.
        CProviderStore store;
        if (!store.Open(options.database)) {
            std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
            return 1;
        }
    }
    // The stop signals and SIGPIPE belong to the connection loop (it blocks them too): blocked before the
    // publisher starts, so that its thread inherits the mask and never takes them.
    sigset_t loopSignals;
    sigemptyset(&loopSignals);
    sigaddset(&loopSignals, SIGINT);
    sigaddset(&loopSignals, SIGTERM);
    sigaddset(&loopSignals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &loopSignals, nullptr);
    // Accepted updates are published to DNS from a thread of their own; the workers only wake it.
    PublisherOptions publishing;
    publishing.database = options.database;
    publishing.historyKeep = options.historyKeep;
    publishing.historyDays = options.historyDays;
    CPublisher publisher;
    if (!publisher.Start(publishing))
        return 1;
    CProviderStore::SetPublicationListener([&publisher] { publisher.Wake(); });
    struct Unhook {
        ~Unhook() { CProviderStore::SetPublicationListener(nullptr); }
    } unhook;  // declared after the publisher: runs before it stops

    provider::ConnectionOptions connections;
    connections.listen = options.listen;
    connections.port = options.port;
    connections.threads = options.threads;
    connections.ioTimeout = options.ioTimeout;
    connections.maxRequestBytes = options.maxRequestBytes;
    connections.maxConnections = options.maxConnections;
    connections.tlsCert = options.tlsCert;
    connections.tlsKey = options.tlsKey;
    connections.tlsThreads = options.tlsThreads;
    connections.slowThreads = options.slowThreads;
    Shared shared;
    shared.dyndns2.nochgLimit = options.nochgLimit;
    shared.dyndns2.publicationFailing = options.publicationFailing;
    if (!shared.dyndns2.publicationFailing)
        shared.dyndns2.publicationFailing = [](CProviderStore& store, uint32_t hostid, provider::IpFamily family) {
            return store.PublicationFailing(hostid, family);
        };
    shared.dyndns2.count = [](const char* result) { provider::metrics::Update("dyndns2", result); };
    shared.minIntervalMs = int64_t{options.minInterval} * 1000;
    shared.metricsFrom = options.metricsFrom;
    shared.page.secure = !options.tlsCert.empty();
    shared.publisher = &publisher;
    auto makeHandler = [&]() -> std::unique_ptr<provider::CRequestHandler> {
        return std::make_unique<CProviderHandler>(options.database, shared, options.maxRequestBytes);
    };
    return provider::RunConnectionLoop(connections, makeHandler, stop);
}
