#pragma once
// CCtlClient: the control channel driven from a terminal. It is a CDnsListener whose arrivals are
// dispatched by a plain loop (WaitFor) instead of a window's event queue; every reply it hears is
// kept so that a command can wait for the one it asked for.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "shared/channel/dns_listener.h"

class CCtlClient : public CDnsListener, private IArrivalPoster {
public:
    explicit CCtlClient(const std::string& userFile);
    ~CCtlClient() override;

    // Dispatches arrivals until `done` holds or the time is up. True when `done` held.
    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    void OnNetInfo(const NetInfo& info) override;
    void OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok) override;
    void OnMapResult(const std::vector<PortMapEntry>& entries, bool ok) override;
    void OnDomainList(const std::vector<DomainRecord>* records, bool ok) override;
    void OnLogin(const std::vector<DomainRecord>* records, bool ok) override;
    void OnIpChanged(uint32_t address) override;
    void OnMapPortList(const std::vector<PortMapEntry>& entries) override;

    // What has been heard so far; a command resets what it waits for before sending.
    std::optional<bool> m_loginOk;
    std::vector<DomainRecord> m_domains;
    std::optional<NetInfo> m_netInfo;
    std::optional<std::vector<PortMapEntry>> m_ports;
    std::optional<bool> m_flagsOk;
    std::map<uint32_t, uint8_t> m_flags;
    std::optional<bool> m_listOk;
    std::optional<bool> m_mapOk;
    std::vector<PortMapEntry> m_mapEntries;

    // Called for every arrival after it was decoded (watch mode prints from here).
    std::function<void(const std::string& kind)> m_onEvent;

private:
    void PostArrival() override;

    platform::CWakeEvent m_wake;
};
