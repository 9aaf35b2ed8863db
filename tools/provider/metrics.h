#pragma once
// The server's counters for GET /metrics, in the Prometheus text format (version 0.0.4). One set per
// process: with several serve processes on one PostgreSQL each is scraped on its own, and the store's
// figures (the publication queue) are the same in all of them.

#include <cstdint>
#include <string>

struct PublicationBacklog;

namespace provider::metrics {

// Results of updates: dyndns2 per host line or per refused request ("good", "nochg", "badauth", ...),
// the web service per host ("1", "0", "2") or per refused call ("fault").
void Update(const char* protocol, const std::string& result);
// Publications by result ("published", "failed", "dropped"), and the time from the accepted update to
// the server's acknowledgement of a published one.
void Publication(const char* result, int64_t count = 1);
void PublicationLatency(double seconds);
void ConnectionOpened();
void ConnectionClosed();
void TlsHandshake(bool ok);
// Account page logins by result ("ok", "refused", "slowed").
void Login(const char* result);
// The slow lane: requests waiting there now.
void SlowLane(int64_t delta);

// Everything, with the store's backlog when known (nullptr: the store did not answer).
std::string Render(const PublicationBacklog* backlog);

}  // namespace provider::metrics
