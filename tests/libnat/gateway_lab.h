#pragma once
// A router to test against: Debian's miniupnpd in a network namespace of its own, with a LAN
// namespace for the client joined to it by a veth pair. Everything lives inside namespaces this
// object creates and removes; nothing touches the host's network.
//
//   LAN namespace: eth0 10.231.0.2/24, default route via 10.231.0.1
//   gateway namespace: lan0 10.231.0.1/24 (miniupnpd listens here, HTTP port 5000),
//                      wan0 10.232.0.1/24 (a veth whose peer stays in the namespace),
//                      external address reported as 81.2.69.160 (never contacted)
//   alone namespace: loopback only

#include <memory>
#include <string>

#include "tests/support/temp_dir.h"

class CGatewayLab {
public:
    static constexpr const char* kGatewayAddress = "10.231.0.1";
    static constexpr const char* kClientAddress = "10.231.0.2";
    static constexpr const char* kExternalAddress = "81.2.69.160";
    static constexpr const char* kRootDescUrl = "http://10.231.0.1:5000/rootDesc.xml";

    CGatewayLab();
    ~CGatewayLab();
    CGatewayLab(const CGatewayLab&) = delete;
    CGatewayLab& operator=(const CGatewayLab&) = delete;

    // Builds the namespaces. False with the reason when this machine cannot (not root, no netns).
    bool Create(std::string& why);
    // (Re)starts miniupnpd with a fresh rule table and waits until its sockets are bound.
    bool StartDaemon(bool upnp, bool natpmp, std::string& why);
    void StopDaemon();

    // Mapping rules miniupnpd holds for the port ("tcp"/"udp" = 0x6/0x11), counted in nftables.
    int RuleCount(int port, const char* protocol) const;
    std::string Rules() const;
    std::string DaemonLog() const;

    const std::string& LanNamespace() const { return m_lan; }
    const std::string& AloneNamespace() const { return m_alone; }
    const std::string& WorkDir() const { return m_dir; }

private:
    bool m_created = false;
    int m_daemon = 0;
    std::string m_gw, m_lan, m_alone, m_dir;
    std::unique_ptr<CTempDir> m_tmp;
};

// Runs the calling thread inside a named network namespace until destroyed.
class CInNamespace {
public:
    explicit CInNamespace(const std::string& name);
    ~CInNamespace();
    CInNamespace(const CInNamespace&) = delete;
    CInNamespace& operator=(const CInNamespace&) = delete;
    bool Ok() const { return m_ok; }

private:
    int m_home = -1;
    bool m_ok = false;
};
