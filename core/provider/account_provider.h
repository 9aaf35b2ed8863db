#pragma once
// CAccountProvider: what the cloudflare, duckdns, nsupdate and url accounts share. The account and its
// hosts come from provider.conf; the public addresses from the address sources (as for dyndns2); a
// login is accepted when the name is the account's and the MD5 digest sent is the digest of its secret.
// An update sends, per host, only the families whose address differs from the one the server last
// took (kept in provider.state, so a restart repeats nothing); each kind says in Send how it sends them.
// A kind may stop a host (the server refused it for good), the whole account (a refused secret) or all
// requests for a while (rate limit, server trouble) until provider.conf changes or the time has passed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/provider/accepted_state.h"
#include "core/provider/address_sources.h"
#include "core/provider/config.h"
#include "core/provider/https.h"
#include "core/provider/own_addresses.h"
#include "core/provider/provider.h"

class CAccountProvider : public IProvider {
public:
    // `clockMs` counts milliseconds (monotonic); empty = steady_clock.
    CAccountProvider(ProviderConfig config, std::unique_ptr<CAddressSources> sources,
                     std::function<uint64_t()> clockMs = {});

    int PublicAddress(NetInfo& info) override;
    int Hosts(const std::string& user, const std::string& digest, UserInfo& account,
              std::vector<DomainRecord>& hosts) override;
    int Update(const std::string& user, const std::string& digest, const AddressPair& address,
               UpdateResultMap& results) override;
    bool LastUpdateSent() const override { return m_lastSent; }
    CallFailure Failure(int status) const override;
    void Cancel() override { m_cancelled = true; }
    std::string Describe() const override;

    // Keeps what the server takes in the state file `path` and starts from what it holds.
    void Persist(const std::string& path, std::function<int64_t()> wallClock = {});
    const std::atomic<bool>* CancelFlag() const { return &m_cancelled; }
    // Tests stand in for the HTTPS exchange.
    void SetTransport(std::function<bool(const HttpsRequest&, HttpsAnswer&)> transport)
    {
        m_transport = std::move(transport);
    }
    // Requests made so far (HTTPS requests or DNS messages).
    int Requests() const { return m_requests; }

    static constexpr int kStatusRefused = 910;
    static constexpr int kStatusNoAnswer = 911;

protected:
    // One host and the addresses to send for it (the families due); Send marks what the server took.
    struct Item {
        uint32_t hostid = 0;
        std::string name;
        AddressPair wanted;  // every family the host should have now
        AddressPair sent;    // the families due
        bool done4 = false, done6 = false;
        std::string stop;  // set: the server refused the host for good (why)
    };
    // Sends the items; 0 when the server answered (each item then says what it took), kStatusNoAnswer
    // when it could not be reached (the failure recorded with Fail).
    virtual int Send(std::vector<Item>& items) = 0;
    // "cloudflare", "duckdns": the start of the journal lines.
    virtual std::string Tag() const;
    // What the account is to the state file: its records are dropped when this changes.
    virtual std::string Identity() const;

    // One HTTPS exchange with the account's CA file and the stop flag; counted.
    bool Exchange(HttpsRequest& request, HttpsAnswer& answer);
    // Records why the last update failed (reported by Failure).
    int Fail(int status, const std::string& what);
    // No more requests for this account until provider.conf changes.
    void StopAccount(const std::string& why);
    // No request before `ms` milliseconds have passed.
    void BackOff(uint64_t ms);
    uint64_t Now() const;

    const ProviderConfig m_config;
    std::atomic<bool> m_cancelled{false};
    int m_requests = 0;

private:
    struct HostState : OwnHost {
        std::string stop;  // set: the server refused the host for good (why)
    };

    std::unique_ptr<CAddressSources> m_sources;
    std::unique_ptr<CAcceptedAddresses> m_state;
    std::function<uint64_t()> m_clock;
    std::function<bool(const HttpsRequest&, HttpsAnswer&)> m_transport;
    std::map<uint32_t, HostState> m_hosts;
    std::vector<DomainRecord> m_records;
    std::string m_accountStop;
    uint64_t m_backOffUntil = 0;
    bool m_backingOff = false;
    CAddressReport m_report;
    CallFailure m_failure;
    bool m_lastSent = true;
};
