#include "tools/provider/connections.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/provider/address.h"
#include "tools/provider/metrics.h"

namespace provider {
namespace {

using Clock = std::chrono::steady_clock;

// A connection handed to a worker: either a request to answer or an answer already decided.
struct Job {
    int fd = -1;
    SSL* ssl = nullptr;
    IncomingRequest request;
    std::string preset;
};

class CJobQueue {
public:
    void Push(Job job)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_jobs.push_back(std::move(job));
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
    size_t Size()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_jobs.size();
    }
    // Blocks for the next job; false once closed (queued jobs are still handed out first).
    bool Pop(Job& job)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
        if (m_jobs.empty())
            return false;
        job = std::move(m_jobs.front());
        m_jobs.pop_front();
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Job> m_jobs;
    bool m_closed = false;
};

void CloseConnection(int fd, SSL* ssl)
{
    metrics::ConnectionClosed();
    if (ssl) {
        ERR_clear_error();
        SSL_shutdown(ssl);  // one close_notify, not waiting for the peer's
        SSL_free(ssl);
    }
    shutdown(fd, SHUT_WR);
    close(fd);
}

int MillisecondsUntil(Clock::time_point deadline)
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// Writes all of `data` before the deadline; the socket is non-blocking.
bool SendAll(int fd, SSL* ssl, const std::string& data, Clock::time_point deadline)
{
    size_t sent = 0;
    while (sent < data.size()) {
        short wait = POLLOUT;
        size_t chunk = std::min<size_t>(data.size() - sent, INT_MAX);
        if (ssl) {
            ERR_clear_error();
            int n = SSL_write(ssl, data.data() + sent, static_cast<int>(chunk));
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            int e = SSL_get_error(ssl, n);
            if (e == SSL_ERROR_WANT_READ)
                wait = POLLIN;
            else if (e != SSL_ERROR_WANT_WRITE)
                return false;
        } else {
            ssize_t n = send(fd, data.data() + sent, chunk, MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return false;
        }
        int ms = MillisecondsUntil(deadline);
        pollfd p{fd, wait, 0};
        if (ms == 0 || poll(&p, 1, ms) <= 0)
            return false;
    }
    return true;
}

// Deferred requests, in the order they may run, and the threads that run their work and give them back
// to the workers.
class CSlowLane {
public:
    CSlowLane(size_t maxJobs, CJobQueue& workers) : m_maxJobs(maxJobs), m_workers(workers) {}
    ~CSlowLane()
    {
        for (auto& [when, job] : m_jobs)
            CloseConnection(job.fd, job.ssl);
    }
    // False when full: the caller answers it.
    bool Push(Job& job)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed || m_jobs.size() >= m_maxJobs)
                return false;
            Clock::time_point when = job.request.defer->notBefore;
            m_jobs.emplace(when, std::move(job));
        }
        metrics::SlowLane(1);
        m_ready.notify_one();
        return true;
    }
    void Close()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_all();
    }
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_closed) {
            if (m_jobs.empty()) {
                m_ready.wait(lock);
                continue;
            }
            Clock::time_point first = m_jobs.begin()->first;
            if (first > Clock::now()) {
                m_ready.wait_until(lock, first);
                continue;
            }
            Job job = std::move(m_jobs.begin()->second);
            m_jobs.erase(m_jobs.begin());
            lock.unlock();
            metrics::SlowLane(-1);
            if (job.request.defer->work)
                job.request.defer->work(job.request);
            job.request.defer.reset();
            ++job.request.rounds;
            m_workers.Push(std::move(job));
            lock.lock();
        }
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::multimap<Clock::time_point, Job> m_jobs;
    size_t m_maxJobs;
    CJobQueue& m_workers;
    bool m_closed = false;
};

void WorkerMain(CJobQueue& queue, CSlowLane& slow, const HandlerFactory& makeHandler, int ioTimeout)
{
    std::unique_ptr<CRequestHandler> handler = makeHandler();
    Job job;
    while (queue.Pop(job)) {
        std::string answer;
        if (!job.preset.empty()) {
            answer = std::move(job.preset);
        } else if (handler) {
            answer = handler->Answer(job.request);
            if (job.request.defer) {
                if (slow.Push(job)) {
                    job = Job{};
                    continue;
                }
                answer = std::move(job.request.defer->busy);
            }
        } else {
            answer = http::Answer(500, "database unavailable\n");
        }
        SendAll(job.fd, job.ssl, answer, Clock::now() + std::chrono::seconds(ioTimeout));
        CloseConnection(job.fd, job.ssl);
        job = Job{};
    }
}

// A connection still being read by the loop.
struct Conn {
    int fd = -1;
    SSL* ssl = nullptr;
    uint32_t peer = 0;
    std::string peer6;
    bool handshaking = false;
    bool wantWrite = false;  // TLS needs the socket writable before it can go on
    std::string in;
    http::CFramer framer{0};  // looks at each received byte once
    Clock::time_point start;
    Clock::time_point last;
};

enum class Step { Keep, HandedOff, Drop, Away };

// One step of a TLS handshake: as far as the bytes already received allow.
Step HandshakeStep(Conn& c)
{
    ERR_clear_error();
    int r = SSL_accept(c.ssl);
    if (r != 1) {
        int e = SSL_get_error(c.ssl, r);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            c.wantWrite = e == SSL_ERROR_WANT_WRITE;
            return Step::Keep;
        }
        metrics::TlsHandshake(false);
        return Step::Drop;  // not TLS, or a handshake that failed
    }
    metrics::TlsHandshake(true);
    c.handshaking = false;
    c.wantWrite = false;
    c.last = Clock::now();
    return Step::Keep;
}

// Handshake steps run on threads of their own: the key exchange and the signature cost far more than
// anything else the loop does, and on the loop they would hold up every other connection and leave the
// other processors idle. The loop only waits for a connection's bytes; the step itself (never a wait: the
// socket is non-blocking) runs here and the connection comes back through Take(), announced on WakeFd().
class CHandshakes {
public:
    explicit CHandshakes(int threads) : m_wake(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
    {
        for (int i = 0; i < threads; ++i)
            m_threads.emplace_back(&CHandshakes::Run, this);
    }
    ~CHandshakes()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_closed = true;
        }
        m_ready.notify_all();
        for (auto& t : m_threads)
            t.join();
        for (auto& c : m_in)
            CloseConnection(c.fd, c.ssl);
        for (auto& [c, step] : m_out)
            CloseConnection(c.fd, c.ssl);
        if (m_wake >= 0)
            close(m_wake);
    }
    int WakeFd() const { return m_wake; }
    size_t Away() const { return m_away; }
    void Push(Conn c)
    {
        ++m_away;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_in.push_back(std::move(c));
        }
        m_ready.notify_one();
    }
    // The connections whose step is done, with its outcome.
    void Take(std::vector<std::pair<Conn, Step>>& done)
    {
        uint64_t count;
        while (read(m_wake, &count, sizeof count) > 0) {
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_away -= m_out.size();
        done.swap(m_out);
        m_out.clear();
    }

private:
    void Run()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [this] { return m_closed || !m_in.empty(); });
            if (m_closed)
                return;
            Conn c = std::move(m_in.front());
            m_in.pop_front();
            lock.unlock();
            Step step = HandshakeStep(c);
            lock.lock();
            m_out.emplace_back(std::move(c), step);
            uint64_t one = 1;
            if (write(m_wake, &one, sizeof one) < 0) {
                // The counter is already non-zero: the loop will look.
            }
        }
    }

    int m_wake;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Conn> m_in;
    std::vector<std::pair<Conn, Step>> m_out;
    std::atomic<size_t> m_away{0};
    bool m_closed = false;
    std::vector<std::thread> m_threads;
};

int TlsThreads(const ConnectionOptions& options)
{
    if (options.tlsThreads > 0)
        return options.tlsThreads;
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 16u));
}

class CLoop {
public:
    CLoop(const ConnectionOptions& options, SSL_CTX* tls, CJobQueue& queue)
        : m_options(options), m_tls(tls), m_queue(queue), m_handshakes(tls ? TlsThreads(options) : 0)
    {}
    ~CLoop()
    {
        for (auto& c : m_conns)
            CloseConnection(c.fd, c.ssl);
    }
    int Run(int listenFd, int signalFd, volatile std::sig_atomic_t* stop);

private:
    void Accept(int listenFd);
    Step Progress(Conn& c);
    void HandOff(Conn& c, std::string preset, http::Request head = {});
    // Deadline of a connection: stalled since the last byte, or the request as a whole taking too long.
    Clock::time_point Deadline(const Conn& c) const
    {
        auto idle = c.last + std::chrono::seconds(m_options.ioTimeout);
        auto whole = c.start + std::chrono::seconds(2 * m_options.ioTimeout);
        return std::min(idle, whole);
    }

    const ConnectionOptions& m_options;
    SSL_CTX* m_tls;
    CJobQueue& m_queue;
    std::vector<Conn> m_conns;
    Clock::time_point m_acceptPausedUntil{};
    CHandshakes m_handshakes;
};

void CLoop::HandOff(Conn& c, std::string preset, http::Request head)
{
    Job job;
    job.fd = c.fd;
    job.ssl = c.ssl;
    job.preset = std::move(preset);
    job.request.peer = c.peer;
    job.request.peer6 = std::move(c.peer6);
    job.request.tls = c.ssl != nullptr;
    job.request.bytes = std::move(c.in);
    job.request.head = std::move(head);
    c.fd = -1;
    c.ssl = nullptr;
    m_queue.Push(std::move(job));
}

Step CLoop::Progress(Conn& c)
{
    if (c.handshaking) {
        // The client's first flight costs the key exchange and the signature: off this thread. What comes
        // after it (the client's Finished) is a digest to check, cheaper here than a hand-off.
        if (SSL_in_before(c.ssl)) {
            m_handshakes.Push(std::move(c));
            return Step::Away;
        }
        Step step = HandshakeStep(c);
        if (step != Step::Keep || c.handshaking)
            return step;
    }
    bool eof = false;
    char buf[16 * 1024];
    // Stop reading well past the limit; framing then refuses the request.
    while (c.in.size() <= m_options.maxRequestBytes + http::kMaxHeaderBytes) {
        ssize_t n;
        if (c.ssl) {
            ERR_clear_error();
            int r = SSL_read(c.ssl, buf, sizeof buf);
            if (r <= 0) {
                int e = SSL_get_error(c.ssl, r);
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                    c.wantWrite = e == SSL_ERROR_WANT_WRITE;
                    break;
                }
                eof = true;
                break;
            }
            n = r;
        } else {
            n = recv(c.fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (n <= 0) {
                eof = true;
                break;
            }
        }
        c.in.append(buf, static_cast<size_t>(n));
        c.last = Clock::now();
    }
    http::Framing framing = c.framer.Feed(c.in);
    switch (framing) {
    case http::Framing::Complete: HandOff(c, {}, c.framer.TakeHead()); return Step::HandedOff;
    case http::Framing::Incomplete: return eof ? Step::Drop : Step::Keep;
    default: HandOff(c, http::FramingAnswer(framing)); return Step::HandedOff;
    }
}

void CLoop::Accept(int listenFd)
{
    for (;;) {
        sockaddr_storage addr{};
        socklen_t len = sizeof addr;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)  // out of descriptors: try again shortly
                m_acceptPausedUntil = Clock::now() + std::chrono::milliseconds(50);
            return;
        }
        if (!m_conns.empty() && m_conns.size() >= m_options.maxConnections) {
            // Full: the connection that has been open longest is the likeliest to be stalled.
            auto oldest = std::min_element(m_conns.begin(), m_conns.end(),
                                           [](const Conn& a, const Conn& b) { return a.start < b.start; });
            CloseConnection(oldest->fd, oldest->ssl);
            m_conns.erase(oldest);
        }
        metrics::ConnectionOpened();
        Conn c;
        c.fd = fd;
        c.framer = http::CFramer(m_options.maxRequestBytes);
        c.start = c.last = Clock::now();
        if (addr.ss_family == AF_INET) {
            c.peer = ntohl(reinterpret_cast<sockaddr_in*>(&addr)->sin_addr.s_addr);
        } else if (addr.ss_family == AF_INET6) {
            const in6_addr& a6 = reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr;
            if (IN6_IS_ADDR_V4MAPPED(&a6))
                c.peer = (uint32_t{a6.s6_addr[12]} << 24) | (uint32_t{a6.s6_addr[13]} << 16) |
                         (uint32_t{a6.s6_addr[14]} << 8) | a6.s6_addr[15];
            else
                c.peer6 = FormatIpv6(a6);
        }
        if (m_tls) {
            c.ssl = SSL_new(m_tls);
            if (!c.ssl || SSL_set_fd(c.ssl, fd) != 1) {
                CloseConnection(fd, c.ssl);
                continue;
            }
            c.handshaking = true;
        }
        m_conns.push_back(std::move(c));
    }
}

int CLoop::Run(int listenFd, int signalFd, volatile std::sig_atomic_t* stop)
{
    constexpr size_t kFixedFds = 3;  // the signals, the listening socket, finished handshake steps
    std::vector<pollfd> fds;
    while (!*stop) {
        Clock::time_point now = Clock::now();
        // Requests waiting for a worker count against the limit too: past it, new connections wait in
        // the listen backlog.
        if (m_conns.size() + m_handshakes.Away() + m_queue.Size() >=
                m_options.maxConnections + m_options.maxConnections / 2 &&
            now >= m_acceptPausedUntil)
            m_acceptPausedUntil = now + std::chrono::milliseconds(10);
        bool accepting = now >= m_acceptPausedUntil;
        fds.clear();
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({accepting ? listenFd : -1, POLLIN, 0});
        fds.push_back({m_handshakes.WakeFd(), POLLIN, 0});
        Clock::time_point wake = now + std::chrono::milliseconds(200);  // and look at the stop flag
        if (!accepting)
            wake = std::min(wake, m_acceptPausedUntil);
        for (const auto& c : m_conns) {
            fds.push_back({c.fd, static_cast<short>(c.wantWrite ? POLLOUT : POLLIN), 0});
            wake = std::min(wake, Deadline(c));
        }
        int n = poll(fds.data(), fds.size(), MillisecondsUntil(wake));
        if (n < 0 && errno != EINTR)
            return 1;
        if (fds[0].revents & POLLIN)
            break;  // SIGINT or SIGTERM

        now = Clock::now();
        size_t kept = 0;
        for (size_t i = 0; i < m_conns.size(); ++i) {
            Conn& c = m_conns[i];
            Step step = Step::Keep;
            if (fds[i + kFixedFds].revents) {
                step = Progress(c);
            } else if (now >= Deadline(c)) {
                // A request that started arriving gets an answer; a silent socket or a stalled
                // handshake is just closed.
                if (!c.handshaking && !c.in.empty()) {
                    HandOff(c, http::Answer(408, "request not completed in time\n"));
                    step = Step::HandedOff;
                } else {
                    step = Step::Drop;
                }
            }
            if (step == Step::Drop)
                CloseConnection(c.fd, c.ssl);
            if (step == Step::Keep) {
                if (kept != i)
                    m_conns[kept] = std::move(c);
                ++kept;
            }
        }
        m_conns.resize(kept);
        if (fds[2].revents & POLLIN) {
            std::vector<std::pair<Conn, Step>> done;
            m_handshakes.Take(done);
            for (auto& [c, step] : done) {
                // Bytes of the request may have come with the end of the handshake: read them now, as
                // poll would not report what the TLS layer already holds.
                if (step == Step::Keep && !c.handshaking)
                    step = Progress(c);
                if (step == Step::Drop)
                    CloseConnection(c.fd, c.ssl);
                else if (step == Step::Keep)
                    m_conns.push_back(std::move(c));
            }
        }
        if (fds[1].revents & POLLIN)
            Accept(listenFd);
    }
    return 0;
}

SSL_CTX* MakeServerContext(const ConnectionOptions& options)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    if (SSL_CTX_use_certificate_chain_file(ctx, options.tlsCert.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, options.tlsKey.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1) {
        char text[256];
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        std::fprintf(stderr, "morvane-provider: cannot use certificate %s and key %s: %s\n", options.tlsCert.c_str(),
                     options.tlsKey.c_str(), text);
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

int Listen(const ConnectionOptions& options)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string port = std::to_string(options.port);
    if (getaddrinfo(options.listen.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return -1;
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1, off = 0;
    // "::" serves both families on one socket whatever the system's default (net.ipv6.bindv6only) is.
    if (fd >= 0 && found->ai_family == AF_INET6)
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
                    bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0)) {
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

uint16_t BoundPort(int fd)
{
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return 0;
    if (addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
}

}  // namespace

bool ParseListen(const std::string& text, std::string& address, int& port, std::string& why)
{
    std::string host = text, portText;
    if (!host.empty() && host[0] == '[') {
        size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':')) {
            why = "expected [IPv6 ADDRESS] or [IPv6 ADDRESS]:PORT";
            return false;
        }
        portText = close + 1 < host.size() ? host.substr(close + 2) : "";
        if (close + 1 < host.size() && portText.empty()) {
            why = "no port after ':'";
            return false;
        }
        host = host.substr(1, close - 1);
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) {
            why = "not an IPv6 address in brackets: " + host;
            return false;
        }
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
        portText = host.substr(host.find(':') + 1);
        host = host.substr(0, host.find(':'));
        if (portText.empty()) {
            why = "no port after ':'";
            return false;
        }
    } else if (host.find(':') != std::string::npos) {  // more than one: a bare IPv6 address
        in6_addr a6{};
        if (inet_pton(AF_INET6, host.c_str(), &a6) != 1) {
            why = "not an IPv6 address (with a port: [ADDRESS]:PORT)";
            return false;
        }
    }
    port = -1;
    if (!portText.empty()) {
        char* end = nullptr;
        long v = std::strtol(portText.c_str(), &end, 10);
        if (*end != '\0' || v < 0 || v > 65535) {
            why = "bad port '" + portText + "'";
            return false;
        }
        port = static_cast<int>(v);
    }
    if (host.empty()) {
        why = "no address";
        return false;
    }
    address = host;
    return true;
}

int RunConnectionLoop(const ConnectionOptions& options, const HandlerFactory& makeHandler,
                      volatile std::sig_atomic_t* stop)
{
    SSL_CTX* tls = nullptr;
    if (!options.tlsCert.empty() || !options.tlsKey.empty()) {
        if (options.tlsCert.empty() || options.tlsKey.empty()) {
            std::fprintf(stderr, "morvane-provider: TLS needs both a certificate and a key\n");
            return 1;
        }
        if (!(tls = MakeServerContext(options)))
            return 1;
    }
    const bool v6 = options.listen.find(':') != std::string::npos;
    int listenFd = Listen(options);
    if (listenFd < 0) {
        std::fprintf(stderr, "morvane-provider: cannot listen on %s%s%s:%d: %s\n", v6 ? "[" : "",
                     options.listen.c_str(), v6 ? "]" : "", options.port, std::strerror(errno));
        SSL_CTX_free(tls);
        return 1;
    }
    std::printf("listening on %s%s%s:%u%s\n", v6 ? "[" : "", options.listen.c_str(), v6 ? "]" : "", BoundPort(listenFd),
                tls ? " (TLS)" : "");
    std::fflush(stdout);

    // SIGINT and SIGTERM are taken synchronously by the loop: blocked here (the workers inherit the
    // mask), read from a descriptor the loop polls.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    int signalFd = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    // TLS writes go through write(2), which has no MSG_NOSIGNAL: a peer gone mid-answer must not kill us.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    CJobQueue queue;
    CSlowLane slow(options.maxSlowJobs, queue);
    std::vector<std::thread> workers, slowThreads;
    for (int i = 0; i < std::max(1, options.threads); ++i)
        workers.emplace_back(WorkerMain, std::ref(queue), std::ref(slow), std::cref(makeHandler), options.ioTimeout);
    for (int i = 0; i < std::max(1, options.slowThreads); ++i)
        slowThreads.emplace_back(&CSlowLane::Run, &slow);
    int rc;
    {
        CLoop loop(options, tls, queue);
        rc = signalFd >= 0 ? loop.Run(listenFd, signalFd, stop) : 1;
    }
    // The slow lane first: what it still holds is dropped rather than handed to workers that are leaving.
    slow.Close();
    for (auto& t : slowThreads)
        t.join();
    queue.Close();
    for (auto& t : workers)
        t.join();
    close(listenFd);
    if (signalFd >= 0)
        close(signalFd);
    SSL_CTX_free(tls);
    return rc;
}

}  // namespace provider
