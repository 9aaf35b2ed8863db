#include "tools/provider/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "soapH.h"
#include "shared/base/ipv4.h"
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
};

Worker& Of(struct soap* soap)
{
    return *static_cast<Worker*>(soap->user);
}

// The address reported to (and set for) the caller: the configured one, else the caller's own.
bool PublicAddress(struct soap* soap, uint32_t& address, ProviderNetwork& network)
{
    Worker& w = Of(soap);
    if (!w.store.Network(network))
        return false;
    if (network.address.empty() || !provider::ParseDotted(network.address, address))
        address = w.peer;
    return true;
}

int ServerFault(struct soap* soap, const char* text)
{
    return soap_receiver_fault(soap, text, nullptr);
}

int Authenticate(struct soap* soap, const std::string& username, const std::string& password,
                 ProviderAccount& account)
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
    if (!PublicAddress(soap, address, network))
        return ServerFault(soap, "database unavailable");
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
        // The client writes ids in signed decimal; the bit pattern is the id.
        long long value = std::strtoll(node.text().get(), nullptr, 10);
        ids.push_back(static_cast<uint32_t>(value));
    }
    uint32_t address = 0;
    ProviderNetwork network;
    if (!PublicAddress(soap, address, network))
        return ServerFault(soap, "database unavailable");
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

struct Connection {
    SOAP_SOCKET socket;
    uint32_t peer;
};

// Connections accepted but not yet served.
class CQueue {
public:
    void Push(Connection c)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(c);
        }
        m_ready.notify_one();
    }
    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_all();
    }
    bool Pop(Connection& c)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return m_closed || !m_items.empty(); });
        if (m_items.empty())
            return false;
        c = m_items.front();
        m_items.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Connection> m_items;
    bool m_closed = false;
};

// The library closes the connection itself once a request is done; we close it after we know that
// an answer went out.
int KeepOpen(struct soap*)
{
    return SOAP_OK;
}

void CloseConnection(struct soap* soap)
{
    if (soap_valid_socket(soap->socket)) {
        shutdown(soap->socket, SHUT_RDWR);
        close(soap->socket);
        soap->socket = SOAP_INVALID_SOCKET;
    }
}

// One request, one answer. Unlike the generated soap_serve, a POST whose body is not a SOAP envelope
// gets a fault too: the library reports it with a code that means "answer already handled".
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

// `soap` is this worker's own copy of the listening context, made before the accept loop starts
// (copying while the loop uses the master would race with it).
void Serve(struct soap* soap, const std::string& database, CQueue& queue)
{
    Worker worker;
    bool haveStore = worker.store.Open(database);
    soap->user = &worker;
    soap->fclose = KeepOpen;
    Connection c{};
    while (queue.Pop(c)) {
        soap->socket = c.socket;
        worker.peer = c.peer;
        if (haveStore) {
            ServeOne(soap);
        } else {
            soap_receiver_fault(soap, "database unavailable", nullptr);
            soap_send_fault(soap);
        }
        soap_destroy(soap);
        soap_end(soap);
        CloseConnection(soap);
    }
    soap_free(soap);
}

uint16_t BoundPort(SOAP_SOCKET s)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
}

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

    struct soap* master = soap_new1(SOAP_C_UTFSTRING);
    if (!master)
        return 1;
    master->bind_flags = SO_REUSEADDR;
    master->socket_flags = MSG_NOSIGNAL;
    master->accept_timeout = -200000;  // 0.2 s: wake up to look at the stop flag
    // A client that stalls or floods must not hold a worker for long.
    master->recv_timeout = options.ioTimeout;
    master->send_timeout = options.ioTimeout;
    master->transfer_timeout = 2 * options.ioTimeout;
    master->recv_maxlength = options.maxRequestBytes;
    if (!soap_valid_socket(soap_bind(master, options.listen.c_str(), options.port, 128))) {
        std::fprintf(stderr, "morvane-provider: cannot listen on %s:%d\n", options.listen.c_str(), options.port);
        soap_print_fault(master, stderr);
        soap_free(master);
        return 1;
    }
    std::printf("listening on %s:%u\n", options.listen.c_str(), BoundPort(master->master));
    std::fflush(stdout);

    // SIGINT and SIGTERM are taken synchronously by the accept loop below rather than by a handler:
    // blocked here (the workers inherit the mask), collected between two accepts.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    CQueue queue;
    std::vector<std::thread> workers;
    int threads = options.threads > 0 ? options.threads : 1;
    for (int i = 0; i < threads; ++i)
        if (struct soap* copy = soap_copy(master))
            workers.emplace_back(Serve, copy, options.database, std::ref(queue));
    if (workers.empty()) {
        soap_free(master);
        return 1;
    }

    const timespec noWait{0, 0};
    while (!*stop && sigtimedwait(&stopSignals, nullptr, &noWait) < 0) {
        SOAP_SOCKET s = soap_accept(master);
        if (!soap_valid_socket(s)) {
            // Time-out (errnum 0) or a failed accept such as too many open files: back off a little.
            if (master->errnum != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        queue.Push(Connection{s, static_cast<uint32_t>(master->ip)});
        master->socket = SOAP_INVALID_SOCKET;  // the worker owns it now
    }
    queue.Close();
    for (auto& t : workers)
        t.join();
    soap_destroy(master);
    soap_end(master);
    soap_free(master);
    return 0;
}
