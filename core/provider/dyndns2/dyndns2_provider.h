#pragma once
// A dyndns2 account (/nic/update over HTTPS with Basic authentication) as an IProvider.
//
// The account and its hosts come from provider.conf; a login from the GUI or morvanectl is accepted
// when the name matches and the MD5 digest sent equals the digest of the stored password. Updates
// follow the protocol's client rules, per host and per address family (ip= of provider.conf):
//   - a host is sent only when an address differs from the one the server last accepted for it in
//     that family ("good" or "nochg"), or when that was kResendAfterSeconds ago; what was accepted is
//     kept in provider.state (Persist), so a restart repeats nothing either;
//   - with both families, one request carries both (myip=V4,V6) whenever either is due, so that a
//     server never sees one family alone and drops the other's record; with dual-request=separate
//     each due family goes in a request of its own (myip=V4, then myip=V6). A family without a usable
//     address now is left out, and the answer applies to the families the request carried;
//   - badauth, nohost, notfqdn, abuse, !donator, badagent stop that host until the configuration
//     changes (one log line, a failed result at every later attempt);
//   - 911 and dnserr stop all requests for kBackOffMs;
//   - a private, loopback, link-local or carrier-grade-NAT IPv4 address, and an IPv6 address that is
//     not global unicast, are never sent.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "core/provider/accepted_state.h"
#include "core/provider/address_sources.h"
#include "core/provider/config.h"
#include "core/provider/https.h"
#include "core/provider/own_addresses.h"
#include "core/provider/provider.h"

inline constexpr uint64_t kDyndns2BackOffMs = 30ull * 60 * 1000;

class CDyndns2Provider : public IProvider {
public:
    // `clockMs` counts milliseconds (monotonic); empty = steady_clock.
    CDyndns2Provider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                     std::function<uint64_t()> clockMs = {});

    int PublicAddress(NetInfo& info) override;
    int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
              std::vector<DomainRecord>& hosts) override;
    int Update(const std::string& user, const std::string& digest, const AddressPair& address,
               UpdateResultMap& results) override;
    CallFailure Failure(int status) const override;
    void Cancel() override { m_cancelled = true; }
    std::string Describe() const override;
    bool RefreshDue(uint32_t hostid, const AddressPair& address) const override;
    bool LastUpdateSent() const override { return m_lastSent; }
    // Keeps what the server accepts in the state file `path` (provider.state in the data directory) and
    // starts from what it holds. `wallClock` (seconds since 1970) is for tests; empty = the system clock.
    void Persist(const std::string& path, std::function<int64_t()> wallClock = {});
    // Address sources given to the constructor should share this flag (AddressSourceOptions::cancel).
    const std::atomic<bool>* CancelFlag() const { return &m_cancelled; }

    // Tests stand in for the HTTPS exchange.
    void SetTransport(std::function<bool(const HttpsRequest&, HttpsAnswer&)> transport)
    {
        m_transport = std::move(transport);
    }
    // The full update URL for these comma-separated hosts and addresses (the families set in `address`).
    std::string UpdateUrl(const std::string& hostnames, const AddressPair& address) const;
    // Requests made so far (each may carry several hosts).
    int Requests() const { return m_requests; }

private:
    struct HostState : OwnHost {
        std::string stopCode;  // set when the server refused the host for good
        bool partialAnswerLogged = false;
    };
    uint64_t Now() const;
    // The families of `wanted` that must be sent (changed, or due for a keep-alive).
    AddressPair DueParts(const HostState& host, const AddressPair& wanted) const;
    // Applies one answer line to `host`, for the families `sent` carried. False when the host's
    // request failed (the reason logged, the host stopped or all requests backing off).
    bool Apply(HostState& host, const std::string& line, const AddressPair& sent);
    bool Due(const HostState& host, AddressFamily family) const;
    // Sends one request for `hosts` with `sent`; false when no answer came (the failure recorded).
    bool Send(const std::vector<uint32_t>& hosts, const AddressPair& sent, std::vector<std::string>& lines);

    ProviderConfig m_config;
    std::unique_ptr<CAddressSources> m_sources;
    std::unique_ptr<CAcceptedAddresses> m_state;
    std::function<uint64_t()> m_clock;
    std::function<bool(const HttpsRequest&, HttpsAnswer&)> m_transport;
    std::map<uint32_t, HostState> m_hosts;  // by host id
    std::vector<DomainRecord> m_records;
    bool m_backingOff = false;
    uint64_t m_backOffUntil = 0;
    CAddressReport m_report;
    int m_requests = 0;
    bool m_lastSent = true;
    std::atomic<bool> m_cancelled{false};
    CallFailure m_failure;
};
