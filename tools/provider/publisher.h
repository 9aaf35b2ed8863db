#pragma once
// CPublisher: the serve command's thread that carries stored updates to the authoritative DNS servers. It
// publishes pending rows oldest first, the records due in one zone together in one message (a name's A and
// AAAA records always in the same one), records each failure with its reason and retries with a growing
// delay (1 s doubling to 5 min) until the server accepts or a newer address supersedes the row. It also
// prunes the history now and then.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CProviderStore;
struct DnsZone;
struct ProviderPublication;

struct PublisherOptions {
    std::string database;
    int dnsTimeoutMs = 2000;  // per transport and attempt
    int historyKeep = 1000;   // rows kept per host
    int historyDays = 30;     // rows older than this go (0: no age limit)
    int pruneEverySeconds = 600;
};

class CPublisher {
public:
    CPublisher() = default;
    ~CPublisher() { Stop(); }
    CPublisher(const CPublisher&) = delete;
    CPublisher& operator=(const CPublisher&) = delete;

    // Opens its own database connection and starts the thread; false with a message on standard error.
    bool Start(const PublisherOptions& options);
    // Finishes the publication in progress (bounded by the DNS time-out) and joins.
    void Stop();
    // Something new may be due: look now instead of at the next scheduled time.
    void Wake();

    // Delay before attempt number attempts+1, after `attempts` failures (at least one).
    static int64_t RetryDelayMs(int attempts);
    // Since the thread last showed it is alive (between passes and between messages); 0 before it started.
    int64_t SinceHeartbeatMs() const;

private:
    void Run();
    void Publish(CProviderStore& store, const DnsZone& zone, const std::vector<const ProviderPublication*>& rows);

    PublisherOptions m_options;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_woken = false;
    bool m_stop = false;
    std::atomic<int64_t> m_heartbeatMs{0};
};
