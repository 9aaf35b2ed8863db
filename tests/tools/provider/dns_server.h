#pragma once
// Knot DNS or BIND 9 serving a throwaway zone that takes updates signed with the test key, for the tests
// that publish to a real authoritative server (morvane-provider's publisher, the service's nsupdate
// accounts). Run inside a network namespace of the test's own: the server listens on 127.0.0.1:kDnsPort.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "shared/dns/dns_update.h"
#include "tests/support/temp_dir.h"

namespace dnstest {

inline constexpr const char kZone[] = "dyn.example.net";
inline constexpr const char kKeyName[] = "morvane-test";
inline constexpr const char kSecret[] = "c2VjcmV0LWtleS1mb3ItdGhlLW1vcnZhbmUtdGVzdHM=";
inline constexpr const char kWrongSecret[] = "d3Jvbmcta2V5LWZvci10aGUtbW9ydmFuZS10ZXN0cyE=";
inline constexpr uint16_t kDnsPort = 5300;  // inside the test's own namespace

inline bool WaitFor(const std::function<bool()>& done, int seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// knotd or named serving kZone from a throwaway directory, updatable with the test key.
class CDnsServer {
public:
    explicit CDnsServer(std::string kind) : m_kind(std::move(kind)), m_dir(m_tmp.Path()) {}
    ~CDnsServer() { Stop(); }

    // Starts the server (the zone and its journal survive a restart) and waits until it answers.
    bool Start()
    {
        if (!m_written && !Write())
            return false;
        m_written = true;
        m_pid = fork();
        if (m_pid == 0) {
            std::string log = m_dir + "/server.log";
            FILE* out = std::fopen(log.c_str(), "a");
            if (out) {
                dup2(fileno(out), 1);
                dup2(fileno(out), 2);
            }
            std::string conf = m_dir + "/server.conf";
            if (m_kind == "knot")
                execl("/usr/sbin/knotd", "knotd", "-c", conf.c_str(), nullptr);
            else
                execl("/usr/sbin/named", "named", "-g", "-4", "-n", "1", "-c", conf.c_str(), nullptr);
            _exit(127);
        }
        return WaitFor([&] { return Resolve("ns." + std::string(kZone)) == "127.0.0.1"; }, 20);
    }
    void Stop()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    // On a loaded machine a single query can miss its time-out, so ask a few times before giving up.
    std::string Resolve(const std::string& name, bool ipv6 = false)
    {
        std::string addresses;
        for (int attempt = 0; attempt < 3; ++attempt)
            if (dns::QueryAddress("127.0.0.1", kDnsPort, name, addresses, 300, ipv6))
                return addresses;
        return "<no answer>";
    }

private:
    bool Write()
    {
        std::ofstream zone(m_dir + "/" + kZone + ".zone");
        zone << "$ORIGIN " << kZone << ".\n$TTL 60\n@ SOA ns hostmaster 1 3600 600 86400 60\n@ NS ns\n"
             << "ns A 127.0.0.1\nold.dyn.example.net. A 192.0.2.250\n";
        std::ofstream conf(m_dir + "/server.conf");
        if (m_kind == "knot") {
            conf << "server:\n  rundir: \"" << m_dir << "\"\n  listen: 127.0.0.1@" << kDnsPort
                 << "\n  udp-workers: 1\n  tcp-workers: 1\n  background-workers: 1\n"
                 << "log:\n  - target: stderr\n    any: info\n"
                 << "database:\n  storage: \"" << m_dir << "\"\n"
                 << "key:\n  - id: " << kKeyName << "\n    algorithm: hmac-sha256\n    secret: " << kSecret << "\n"
                 << "acl:\n  - id: update\n    key: " << kKeyName << "\n    action: update\n"
                 << "template:\n  - id: default\n    storage: \"" << m_dir << "\"\n    file: \"%s.zone\"\n"
                 << "zone:\n  - domain: " << kZone << "\n    acl: update\n";
        } else {
            conf << "options {\n  directory \"" << m_dir << "\";\n  pid-file \"" << m_dir << "/named.pid\";\n"
                 << "  session-keyfile \"" << m_dir << "/session.key\";\n  managed-keys-directory \"" << m_dir
                 << "\";\n  listen-on port " << kDnsPort << " { 127.0.0.1; };\n  listen-on-v6 { none; };\n"
                 << "  recursion no;\n  notify no;\n};\ncontrols { };\n"
                 << "key \"" << kKeyName << "\" { algorithm hmac-sha256; secret \"" << kSecret << "\"; };\n"
                 << "zone \"" << kZone << "\" { type primary; file \"" << m_dir << "/" << kZone
                 << ".zone\"; allow-update { key \"" << kKeyName << "\"; }; };\n";
        }
        return zone.good() && conf.good();
    }

    std::string m_kind;
    CTempDir m_tmp{"morvane-dns-test"};
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_written = false;
};

}  // namespace dnstest
