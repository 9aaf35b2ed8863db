#include "tools/provider/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "soapH.h"
#include "shared/base/ipv4.h"
#include "tools/provider/connections.h"
#include "tools/provider/dyndns2.h"
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
    uint32_t peer = 0;  // caller's IPv4 address of the current request
    std::string input;  // the request as received, read by the SOAP library from inputPos on
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

int Authenticate(struct soap* soap, const std::string& username, const std::string& password, ProviderAccount& account)
{
    if (!Of(soap).store.CheckPassword(username, password, account))
        return soap_sender_fault(soap, "invalid user name or password", nullptr);
    return SOAP_OK;
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

// One worker's state: its own database connection and SOAP context.
class CProviderHandler : public provider::CRequestHandler {
public:
    CProviderHandler(const std::string& database, const provider::Dyndns2Options& dyndns2, unsigned long maxBytes)
        : m_dyndns2(dyndns2), m_soap(soap_new1(SOAP_C_UTFSTRING))
    {
        m_haveStore = m_worker.store.Open(database);
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

    std::string Answer(const provider::IncomingRequest& request) override
    {
        const auto& head = request.head;
        if (head.method == "GET" && head.Path() == provider::kDyndns2Path) {
            if (!m_haveStore)
                return provider::http::Answer(200, "911\n");
            return provider::Dyndns2Answer(m_worker.store, head, request.peer, request.peer6, m_dyndns2);
        }
        if (head.method == "GET")
            return provider::http::Answer(404, "not found\n");
        if (head.method != "POST")
            return provider::http::Answer(405, "only GET and POST\n", "text/plain; charset=utf-8",
                                          {"Allow: GET, POST"});
        if (!m_soap)
            return provider::http::Answer(500, "out of memory\n");
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
        return std::move(m_worker.output);
    }

private:
    Worker m_worker;
    provider::Dyndns2Options m_dyndns2;
    struct soap* m_soap;
    bool m_haveStore = false;
};

}  // namespace

int RunProviderServer(const ProviderServerOptions& options, volatile std::sig_atomic_t* stop)
{
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
    provider::Dyndns2Options dyndns2;
    dyndns2.nochgLimit = options.nochgLimit;
    dyndns2.publicationFailing = options.publicationFailing;
    if (!dyndns2.publicationFailing)
        dyndns2.publicationFailing = [](CProviderStore& store, uint32_t hostid, provider::IpFamily family) {
            return store.PublicationFailing(hostid, family);
        };
    auto makeHandler = [&]() -> std::unique_ptr<provider::CRequestHandler> {
        return std::make_unique<CProviderHandler>(options.database, dyndns2, options.maxRequestBytes);
    };
    return provider::RunConnectionLoop(connections, makeHandler, stop);
}
