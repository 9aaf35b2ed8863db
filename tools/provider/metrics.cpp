#include "tools/provider/metrics.h"

#include <array>
#include <atomic>
#include <charconv>
#include <map>
#include <mutex>
#include <utility>

#include "tools/provider/store.h"

namespace provider::metrics {
namespace {

// Upper bounds of the latency histogram, seconds: a few ms on a healthy loopback server up to the retry
// delays of a server that is down.
constexpr std::array<double, 14> kBuckets = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 300};

struct Registry {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, uint64_t> updates;  // (protocol, result)
    std::map<std::string, uint64_t> publications;
    std::map<std::string, uint64_t> logins;
    std::array<uint64_t, kBuckets.size()> latency{};  // per bucket, not cumulative
    uint64_t latencyCount = 0;
    double latencySum = 0;
    std::atomic<int64_t> open{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> handshakesOk{0};
    std::atomic<uint64_t> handshakesFailed{0};
    std::atomic<int64_t> slowLane{0};
};

Registry& Get()
{
    static Registry registry;
    return registry;
}

// Label values are ours, but escaped as the format wants all the same.
std::string Label(const std::string& value)
{
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

void Head(std::string& out, const char* name, const char* type, const char* help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

// The shortest text that reads back as the same double ("0.005", not "0.0050000000000000001").
std::string Number(double v)
{
    char text[64];
    auto [end, ec] = std::to_chars(text, text + sizeof text, v);
    return ec == std::errc() ? std::string(text, end) : "NaN";
}

}  // namespace

void Update(const char* protocol, const std::string& result)
{
    Registry& r = Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.updates[{protocol, result}];
}

void Publication(const char* result, int64_t count)
{
    Registry& r = Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.publications[result] += static_cast<uint64_t>(count);
}

void PublicationLatency(double seconds)
{
    Registry& r = Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (size_t i = 0; i < kBuckets.size(); ++i)
        if (seconds <= kBuckets[i]) {
            ++r.latency[i];
            break;
        }
    ++r.latencyCount;
    r.latencySum += seconds;
}

void ConnectionOpened()
{
    ++Get().open;
    ++Get().accepted;
}

void ConnectionClosed()
{
    --Get().open;
}

void TlsHandshake(bool ok)
{
    ++(ok ? Get().handshakesOk : Get().handshakesFailed);
}

void Login(const char* result)
{
    Registry& r = Get();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.logins[result];
}

void SlowLane(int64_t delta)
{
    Get().slowLane += delta;
}

std::string Render(const PublicationBacklog* backlog)
{
    Registry& r = Get();
    std::string out;
    std::lock_guard<std::mutex> lock(r.mutex);
    Head(out, "morvane_provider_updates_total", "counter",
         "Address updates by protocol and result: a dyndns2 answer per host or per refused request, a web-service "
         "result per host or a fault.");
    for (const auto& [key, n] : r.updates)
        out += "morvane_provider_updates_total{protocol=\"" + Label(key.first) + "\",result=\"" + Label(key.second) +
               "\"} " + std::to_string(n) + "\n";
    Head(out, "morvane_provider_publications_total", "counter",
         "Records sent to the zones' DNS servers, by result (published, failed, dropped).");
    for (const char* result : {"published", "failed", "dropped"})
        out += "morvane_provider_publications_total{result=\"" + std::string(result) + "\"} " +
               std::to_string(r.publications[result]) + "\n";
    Head(out, "morvane_provider_publication_latency_seconds", "histogram",
         "Time from an accepted update to the DNS server's acknowledgement of its record.");
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kBuckets.size(); ++i) {
        cumulative += r.latency[i];
        out += "morvane_provider_publication_latency_seconds_bucket{le=\"" + Number(kBuckets[i]) + "\"} " +
               std::to_string(cumulative) + "\n";
    }
    out += "morvane_provider_publication_latency_seconds_bucket{le=\"+Inf\"} " + std::to_string(r.latencyCount) + "\n";
    out += "morvane_provider_publication_latency_seconds_sum " + Number(r.latencySum) + "\n";
    out += "morvane_provider_publication_latency_seconds_count " + std::to_string(r.latencyCount) + "\n";
    if (backlog) {
        Head(out, "morvane_provider_publication_queue", "gauge",
             "Publications waiting in the store (all serve processes on it), due or not.");
        out += "morvane_provider_publication_queue " + std::to_string(backlog->pending) + "\n";
        Head(out, "morvane_provider_publication_failing", "gauge", "Waiting publications whose last attempt failed.");
        out += "morvane_provider_publication_failing " + std::to_string(backlog->failing) + "\n";
        Head(out, "morvane_provider_publication_overdue_seconds", "gauge",
             "How long the oldest due publication no publisher has taken has been waiting.");
        out += "morvane_provider_publication_overdue_seconds " + Number(backlog->overdueMs / 1000.0) + "\n";
    }
    Head(out, "morvane_provider_connections", "gauge", "Connections open now: being read, waiting or being answered.");
    out += "morvane_provider_connections " + std::to_string(r.open.load()) + "\n";
    Head(out, "morvane_provider_connections_total", "counter", "Connections accepted.");
    out += "morvane_provider_connections_total " + std::to_string(r.accepted.load()) + "\n";
    Head(out, "morvane_provider_tls_handshakes_total", "counter", "TLS handshakes by result.");
    out += "morvane_provider_tls_handshakes_total{result=\"ok\"} " + std::to_string(r.handshakesOk.load()) + "\n";
    out +=
        "morvane_provider_tls_handshakes_total{result=\"failed\"} " + std::to_string(r.handshakesFailed.load()) + "\n";
    Head(out, "morvane_provider_logins_total", "counter", "Sign-ins on the account page by result.");
    for (const char* result : {"ok", "refused", "slowed"})
        out += "morvane_provider_logins_total{result=\"" + std::string(result) + "\"} " +
               std::to_string(r.logins[result]) + "\n";
    Head(out, "morvane_provider_slow_lane_requests", "gauge",
         "Requests waiting for a password hash or for the delay of an address whose secrets failed.");
    out += "morvane_provider_slow_lane_requests " + std::to_string(r.slowLane.load()) + "\n";
    return out;
}

}  // namespace provider::metrics
