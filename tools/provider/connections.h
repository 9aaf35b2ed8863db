#pragma once
// Connection handling of the provider. One thread multiplexes accepting and reading requests, each
// connection with its own deadlines (the steps of TLS handshakes, the costly part, run on threads of their
// own: one per processor by default), so a slow or stalled client costs a descriptor and
// never a worker; a complete request goes to a fixed pool of workers, which answer and close. What would
// hold a worker for long (a slow password hash, the wait imposed on an address whose secrets failed) goes
// to a small "slow lane" of its own threads and a bounded queue, and the request comes back to a worker
// once it is done: a flood of password guesses never takes the workers from everyone else.

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tools/provider/http.h"

namespace provider {

struct ConnectionOptions {
    // An address of either family or a name; "::" takes IPv4 callers too (as IPv4-mapped addresses).
    std::string listen = "127.0.0.1";
    int port = 1800;  // 0 picks a free port
    int threads = 4;
    // A client may stall this long between bytes, and must deliver the whole request (TLS handshake,
    // headers and body) within twice that.
    int ioTimeout = 5;
    size_t maxRequestBytes = 64 * 1024;  // body
    size_t maxConnections = 512;         // beyond it the connection open longest is dropped
    std::string tlsCert;                 // both set: TLS on every connection
    std::string tlsKey;
    int tlsThreads = 0;        // threads running handshake steps; 0: one per processor (at most 16)
    int slowThreads = 1;       // threads of the slow lane: at most this many hashes at once
    size_t maxSlowJobs = 256;  // requests waiting there; past it a request is answered "busy"
};

struct IncomingRequest;

// Work a handler wants done off the workers before it answers. The request comes back to a worker (and
// the handler) once `work` has run, not before `notBefore`.
struct Deferral {
    std::function<void(IncomingRequest&)> work;  // may be empty: only the wait
    std::chrono::steady_clock::time_point notBefore;
    std::string busy;  // the answer when the slow lane is full
};

struct IncomingRequest {
    std::string bytes;  // the whole request as received (head and body)
    http::Request head;
    uint32_t peer = 0;  // IPv4 address of the caller (also one on an IPv4-mapped address), 0 over IPv6
    std::string peer6;  // the caller's IPv6 address (canonical text) when it came over IPv6 proper
    bool tls = false;
    // What slow work left for the handler, by name, and how often the request has been there.
    std::map<std::string, std::string> notes;
    int rounds = 0;
    // Set by a handler that answers nothing yet.
    std::optional<Deferral> defer;
};

// Answers complete requests. Each worker thread makes its own with the factory, on that thread.
class CRequestHandler {
public:
    virtual ~CRequestHandler() = default;
    // The whole HTTP answer to send; or nothing, with request.defer set.
    virtual std::string Answer(IncomingRequest& request) = 0;
};
using HandlerFactory = std::function<std::unique_ptr<CRequestHandler>()>;

// `--listen` text: "ADDR", "ADDR:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 address. `port` is -1 when the
// text names none. False with a reason when malformed.
bool ParseListen(const std::string& text, std::string& address, int& port, std::string& why);

// Binds, prints "listening on ADDR:PORT" ("[V6]:PORT") and serves until *stop becomes non-zero or SIGINT/SIGTERM
// arrives (blocked here and taken synchronously). Returns 0 on a clean stop, 1 when it could not start.
int RunConnectionLoop(const ConnectionOptions& options, const HandlerFactory& makeHandler,
                      volatile std::sig_atomic_t* stop);

}  // namespace provider
