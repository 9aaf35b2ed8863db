// Measures one dyndns2 update over HTTPS on loopback, handshake included (every update opens its
// own connection, as the service does), against the real morvane-provider with a throwaway CA.
//
//   dyndns2_bench [updates]      (default 300)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/provider/dyndns2/dyndns2_provider.h"
#include "tests/tools/provider/provider_process.h"

int main(int argc, char** argv)
{
    int updates = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
    char pattern[] = "/tmp/morvane-dyndns2-bench-XXXXXX";
    std::string dir = mkdtemp(pattern);
    TlsFiles tls;
    if (!tls.Ok()) {
        std::fprintf(stderr, "cannot make the certificates (openssl)\n");
        return 1;
    }
    std::string provider = std::string(MORVANE_BIN_DIR) + "/morvane-provider --db " + dir + "/p.db";
    std::system((provider + " init >/dev/null && " + "printf 's3cret pw\\n' | " + provider +
                 " add-account alice >/dev/null && " + provider + " add-host alice a.example.net >/dev/null")
                    .c_str());
    std::system((provider + " serve --port 0 --tls-cert " + tls.Path("good.pem") + " --tls-key " +
                 tls.Path("good.key") + " > " + dir + "/provider.out 2>&1 & echo $! > " + dir + "/provider.pid")
                    .c_str());
    std::string portLine;
    for (int i = 0; i < 100 && portLine.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(dir + "/provider.out");
        std::getline(in, portLine);
    }
    if (portLine.find(':') == std::string::npos) {
        std::fprintf(stderr, "the provider did not start: %s\n", portLine.c_str());
        return 1;
    }
    ProviderConfig c;
    c.kind = ProviderConfig::Kind::Dyndns2;
    c.server = "https://127.0.0.1:" + std::to_string(std::atoi(portLine.c_str() + portLine.rfind(':') + 1));
    c.user = "alice";
    c.password = "s3cret pw";
    c.hosts = {"a.example.net"};
    c.caFile = tls.Path("ca.pem");
    CDyndns2Provider client(c, nullptr);
    uint32_t id = providerconf::HostRecords(c)[0].hostid;

    std::vector<double> ms;
    for (int i = 0; i < updates; ++i) {
        UpdateResultMap results{{id, 1}};
        uint32_t address = 0xCB007100u + uint32_t(i % 2);  // a change every time: always sent
        auto t0 = std::chrono::steady_clock::now();
        int status = client.Update("alice", "", address, results);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        if (status != 0 || results[id] != 1) {
            std::fprintf(stderr, "update %d failed\n", i);
            break;
        }
    }
    std::sort(ms.begin(), ms.end());
    if (!ms.empty())
        std::printf("dyndns2 update over HTTPS on loopback (new connection and TLS handshake each), %zu updates: "
                    "p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    ms.size(), ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms[ms.size() * 99 / 100], ms.back());
    std::system(("kill $(cat " + dir + "/provider.pid) 2>/dev/null").c_str());
    std::filesystem::remove_all(dir);
    return ms.size() == size_t(updates) ? 0 : 1;
}
