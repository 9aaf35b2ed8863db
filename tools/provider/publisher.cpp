#include "tools/provider/publisher.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <ctime>
#include <vector>

#include "shared/dns/dns_update.h"
#include "tools/provider/metrics.h"
#include "tools/provider/store.h"

namespace {

using provider::NowMs;

// Rows taken per pass: the stop flag and new wake-ups are looked at between passes.
constexpr size_t kBatch = 64;
// Records per UPDATE message: about 1 KB, a datagram most paths carry.
constexpr size_t kRecordsPerMessage = 16;
// The database is looked at at least this often, for rows made due by another process (add-zone).
constexpr int64_t kIdlePollMs = 1000;
constexpr int64_t kHeldBackPollMs = 20;
// Rows taken are this publisher's for this long: longer than a batch can take to send (a few messages of a
// zone, each at most twice the DNS time-out), so that no other serve process sends them too; a publisher
// that stops mid-batch leaves them to the others after it.
constexpr int64_t kClaimMs = 60 * 1000;

}  // namespace

int64_t CPublisher::RetryDelayMs(int attempts)
{
    const int64_t kFirst = 1000;
    const int64_t kLast = 5 * 60 * 1000;
    int64_t delay = kFirst;
    for (int i = 1; i < attempts && delay < kLast; ++i)
        delay *= 2;
    return delay < kLast ? delay : kLast;
}

bool CPublisher::Start(const PublisherOptions& options)
{
    m_options = options;
    {
        CProviderStore probe;
        if (!probe.Open(options.database)) {
            std::fprintf(stderr, "morvane-provider: %s\n", probe.LastError().c_str());
            return false;
        }
    }
    m_stop = false;
    m_thread = std::thread(&CPublisher::Run, this);
    return true;
}

void CPublisher::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

int64_t CPublisher::SinceHeartbeatMs() const
{
    int64_t beat = m_heartbeatMs.load();
    return beat == 0 ? 0 : NowMs() - beat;
}

void CPublisher::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_woken = true;
    }
    m_wake.notify_all();
}

void CPublisher::Publish(CProviderStore& store, const DnsZone& zone,
                         const std::vector<const ProviderPublication*>& rows)
{
    // The records of one name go in one message (its A and AAAA records when both changed), names in the
    // order their first row came.
    std::vector<std::vector<const ProviderPublication*>> names;
    for (const ProviderPublication* row : rows) {
        auto same =
            std::find_if(names.begin(), names.end(), [&](const auto& n) { return n[0]->domain == row->domain; });
        if (same == names.end())
            names.push_back({row});
        else
            same->push_back(row);
    }
    for (size_t first = 0; first < names.size();) {
        std::vector<const ProviderPublication*> message;
        size_t end = first;
        while (end < names.size() && (message.empty() || message.size() + names[end].size() <= kRecordsPerMessage)) {
            message.insert(message.end(), names[end].begin(), names[end].end());
            ++end;
        }
        std::vector<DnsAddressRecord> records;
        for (const ProviderPublication* p : message)
            records.push_back({p->domain, p->address});
        DnsUpdateResult r = dns::SendAddressUpdates(zone, records, m_options.dnsTimeoutMs);
        m_heartbeatMs = NowMs();
        if (!r.ok && r.refusedContent && end - first > 1) {
            // A name the server will not take must not hold the others back: each on its own.
            for (size_t i = first; i < end; ++i)
                Publish(store, zone, names[i]);
            first = end;
            continue;
        }
        std::vector<int64_t> done;
        for (const ProviderPublication* p : message) {
            if (r.ok) {
                done.push_back(p->id);
                if (p->queuedMs > 0)
                    provider::metrics::PublicationLatency(static_cast<double>(NowMs() - p->queuedMs) / 1000.0);
                continue;
            }
            provider::metrics::Publication("failed");
            if (!store.PublicationFailed(p->id, r.error, NowMs() + RetryDelayMs(p->attempts + 1)))
                std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
            std::fprintf(stderr, "morvane-provider: publishing %s -> %s failed: %s\n", p->domain.c_str(),
                         p->address.c_str(), r.error.c_str());
        }
        if (!done.empty() && !store.PublicationsDone(done))
            std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
        provider::metrics::Publication("published", static_cast<int64_t>(done.size()));
        first = end;
    }
}

void CPublisher::Run()
{
    CProviderStore store;
    if (!store.Open(m_options.database)) {
        std::fprintf(stderr, "morvane-provider: publisher: %s\n", store.LastError().c_str());
        return;
    }
    int64_t nextPruneMs = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop)
                return;
            m_woken = false;
        }
        int64_t now = NowMs();
        m_heartbeatMs = now;
        if (now >= nextPruneMs) {
            int removed = 0;
            int64_t cutoff = m_options.historyDays > 0
                                 ? static_cast<int64_t>(std::time(nullptr)) - int64_t{m_options.historyDays} * 86400
                                 : 0;
            if (!store.PruneHistory(m_options.historyKeep, cutoff, removed))
                std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
            nextPruneMs = now + int64_t{m_options.pruneEverySeconds} * 1000;
        }

        // A store that fails (locked past the busy time-out, say) is asked again after a pause; nothing
        // is decided from a query that did not answer.
        bool storeFailed = false;
        std::vector<ProviderPublication> due;
        if (!store.ClaimPublications(now, now + kClaimMs, kBatch, due)) {
            std::fprintf(stderr, "morvane-provider: %s\n", store.LastError().c_str());
            storeFailed = true;
        }
        // One message per zone for everything due in it; the server applies it all or nothing.
        std::map<std::string, std::vector<const ProviderPublication*>> byZone;
        for (const ProviderPublication& p : due)
            byZone[p.zone].push_back(&p);
        // Rows taken and not sent go back at once (a stop, a store that did not answer), so that another
        // publisher, or this one after a restart, need not wait for the claim to run out.
        auto release = [&](const std::vector<const ProviderPublication*>& rows) {
            std::vector<int64_t> ids;
            for (const ProviderPublication* p : rows)
                ids.push_back(p->id);
            store.ReleasePublications(ids);
        };
        bool stopping = false;
        for (const auto& [zoneName, rows] : byZone) {
            if (!stopping) {
                std::lock_guard<std::mutex> lock(m_mutex);
                stopping = m_stop;
            }
            if (stopping) {
                release(rows);
                continue;
            }
            DnsZone zone;
            if (!store.FindZone(zoneName, zone)) {
                if (!store.LastError().empty()) {
                    std::fprintf(stderr, "morvane-provider: publisher: %s\n", store.LastError().c_str());
                    storeFailed = true;
                    release(rows);
                    continue;  // still pending: tried again after the pause
                }
                for (const ProviderPublication* p : rows)
                    store.PublicationDropped(p->id, "zone " + zoneName + " no longer configured");
                provider::metrics::Publication("dropped", static_cast<int64_t>(rows.size()));
                continue;
            }
            Publish(store, zone, rows);
        }
        if (stopping)
            return;
        if (due.size() == kBatch && !storeFailed)
            continue;

        int64_t next = 0;
        int64_t waitMs = kIdlePollMs;
        if (!storeFailed && store.NextPublicationDue(next) && next > 0) {
            // A row due now that this pass did not take waits for another publisher's message (see
            // ClaimPublications): look again shortly rather than at once.
            int64_t until = next - NowMs();
            waitMs = until < kHeldBackPollMs ? kHeldBackPollMs : (until < waitMs ? until : waitMs);
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake.wait_for(lock, std::chrono::milliseconds(waitMs), [this] { return m_stop || m_woken; });
    }
}
