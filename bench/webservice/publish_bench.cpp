// Updates with publication to a real Knot DNS server on loopback, through the web service (IPv4) and through
// dyndns2 with both families in each request (myip=V4,V6):
//   - the time from an accepted update (updateDynamic answered, or the dyndns2 "good" line) to the name
//     resolving to the new address (for dyndns2: to its AAAA record carrying the new IPv6 address), p50/p99
//     over one client's updates;
//   - updates per second with one client and with 16 concurrent clients, each update a new address (a new
//     pair for dyndns2), counted when accepted and again when every name resolves to its last address.
// Needs knotd (or named); prints the figures.
// Usage: publish_bench [latency-samples] [updates-per-client] [knot|knot-async|bind] [sqlite|pg|pg2]
// ("knot-async": knotd's journal without a disk sync per update; "bind": BIND 9's named instead; "pg": the
// store on a PostgreSQL server started for the run, dyndns2 throughput only; "pg2": two serve processes on
// it, the clients' requests spread over both).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"
#include "shared/dns/dns_update.h"
#include "tests/tools/provider/postgres_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char kSecret[] = "YmVuY2gtc2VjcmV0LWZvci10aGUtcHVibGlzaC1iZW5jaA==";
constexpr int kClients = 16;

// prefix + n + suffix, appended piecewise: GCC 12 at -O3 reports a false -Wrestrict for "c" + to_string(n).
std::string Numbered(const char* prefix, int n, const char* suffix = "")
{
    std::string text(prefix);
    text.append(std::to_string(n));
    text.append(suffix);
    return text;
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A port free for both UDP and TCP on 127.0.0.1.
uint16_t FreePort()
{
    for (int tries = 0; tries < 50; ++tries) {
        int t = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a);
        getsockname(t, reinterpret_cast<sockaddr*>(&a), &len);
        int u = socket(AF_INET, SOCK_DGRAM, 0);
        bool ok = bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(u);
        close(t);
        if (ok)
            return ntohs(a.sin_port);
    }
    return 0;
}

std::string Base64(const std::string& in)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t v = static_cast<uint8_t>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<uint8_t>(in[i + 2]);
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// One dyndns2 request on a connection of its own (the provider closes after each answer); the body.
std::string Dyndns2(uint16_t port, const std::string& query, const std::string& basic)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string request = "GET /nic/update?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Basic " +
                              basic + "\r\nUser-Agent: publish_bench\r\n\r\n";
        if (send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buf[1024];
            for (pollfd p{s, POLLIN, 0}; poll(&p, 1, 5000) > 0;) {
                ssize_t n = recv(s, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                answer.append(buf, static_cast<size_t>(n));
            }
        }
    }
    close(s);
    size_t body = answer.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : answer.substr(body + 4);
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& log, int* stdoutPipe = nullptr)
{
    int fds[2] = {-1, -1};
    if (stdoutPipe && pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = std::fopen(log.c_str(), "a");
        if (out)
            dup2(fileno(out), 2);
        if (stdoutPipe) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
        } else if (out) {
            dup2(fileno(out), 1);
        }
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (stdoutPipe) {
        close(fds[1]);
        *stdoutPipe = fds[0];
    }
    return pid;
}

void Stop(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

class CBench {
public:
    ~CBench()
    {
        for (pid_t p : m_providers)
            Stop(p);
        Stop(m_dnsServer);
        if (m_db)
            sqlite3_close(m_db);
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }

    bool Setup(const std::string& server, const std::string& store)
    {
        bool asyncJournal = server == "knot-async";
        char dir[] = "/tmp/morvane-publish-bench-XXXXXX";
        if (!mkdtemp(dir))
            return false;
        m_dir = dir;
        m_dnsPort = FreePort();
        {
            std::ofstream zone(m_dir + "/bench.example.net.zone");
            zone << "$ORIGIN bench.example.net.\n$TTL 60\n@ SOA ns hostmaster 1 3600 600 86400 60\n@ NS ns\n"
                 << "ns A 127.0.0.1\n";
            std::ofstream conf(m_dir + "/server.conf");
            if (server == "bind") {
                conf << "options {\n  directory \"" << m_dir << "\";\n  pid-file \"" << m_dir << "/named.pid\";\n"
                     << "  session-keyfile \"" << m_dir << "/session.key\";\n  managed-keys-directory \"" << m_dir
                     << "\";\n  listen-on port " << m_dnsPort << " { 127.0.0.1; };\n  listen-on-v6 { none; };\n"
                     << "  recursion no;\n  notify no;\n};\ncontrols { };\n"
                     << "key \"bench\" { algorithm hmac-sha256; secret \"" << kSecret << "\"; };\n"
                     << "zone \"bench.example.net\" { type primary; file \"" << m_dir
                     << "/bench.example.net.zone\"; allow-update { key \"bench\"; }; };\n";
            } else {
                conf << "server:\n  rundir: \"" << m_dir << "\"\n  listen: 127.0.0.1@" << m_dnsPort << "\n"
                     << "log:\n  - target: stderr\n    any: warning\n"
                     << "database:\n  storage: \"" << m_dir << "\"\n"
                     << (asyncJournal ? "  journal-db-mode: asynchronous\n" : "")
                     << "key:\n  - id: bench\n    algorithm: hmac-sha256\n    secret: " << kSecret << "\n"
                     << "acl:\n  - id: update\n    key: bench\n    action: update\n"
                     << "template:\n  - id: default\n    storage: \"" << m_dir << "\"\n    file: \"%s.zone\"\n"
                     << "zone:\n  - domain: bench.example.net\n    acl: update\n";
            }
        }
        std::string conf = m_dir + "/server.conf";
        m_dnsServer = server == "bind" ? Spawn({"/usr/sbin/named", "-g", "-4", "-c", conf}, m_dir + "/server.log")
                                       : Spawn({"/usr/sbin/knotd", "-c", conf}, m_dir + "/server.log");
        std::string a;
        for (int i = 0; i < 100 && !dns::QueryAddress("127.0.0.1", m_dnsPort, "ns.bench.example.net", a, 200); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (a != "127.0.0.1") {
            std::fprintf(stderr, "publish_bench: the DNS server did not come up (see %s/server.log)\n", m_dir.c_str());
            return false;
        }

        std::string program = std::string(MORVANE_BIN_DIR) + "/morvane-provider";
        std::string db = m_dir + "/provider.db";
        if (store != "sqlite") {
            m_pg = std::make_unique<CPostgresServer>();
            if (!m_pg->Ok() || !m_pg->CreateDatabase("bench")) {
                std::fprintf(stderr, "publish_bench: %s\n", m_pg->Why().c_str());
                return false;
            }
            db = m_pg->Url("bench");
        }
        // Secrets go to standard input, as an administrator would give them.
        auto admin = [&](const std::string& args, const std::string& input = "") {
            return std::system(("printf '" + input + "' | '" + program + "' --db '" + db + "' " + args + " >/dev/null")
                                   .c_str()) == 0;
        };
        if (!admin("init") ||
            !admin("add-zone bench.example.net --server 127.0.0.1:" + std::to_string(m_dnsPort) + " --ttl 60",
                   std::string("key bench { algorithm hmac-sha256; secret \"") + kSecret + "\"; };"))
            return false;
        for (int i = 0; i < kClients; ++i)
            if (!admin(Numbered("add-account c", i), "pw\\n") ||
                !admin(Numbered("add-host c", i) + Numbered(" h", i, ".bench.example.net")))
                return false;
        for (int i = 0; i < (store == "pg2" ? 2 : 1); ++i) {
            int out = -1;
            m_providers.push_back(Spawn({program, "--db", db, "serve", "--port", "0", "--min-interval", "0"},
                                        m_dir + "/provider.log", &out));
            FILE* in = fdopen(out, "r");
            char line[128] = {};
            if (!in || !fgets(line, sizeof line, in))
                return false;
            fclose(in);
            const char* colon = std::strrchr(line, ':');
            m_ports.push_back(colon ? static_cast<uint16_t>(std::atoi(colon + 1)) : 0);
        }
        m_port = m_ports[0];
        if (m_pg)
            return m_port != 0 && m_ports.back() != 0;
        // As the provider's own connections: no disk sync per commit in WAL mode.
        return m_port != 0 && sqlite3_open(db.c_str(), &m_db) == SQLITE_OK &&
               sqlite3_busy_timeout(m_db, 5000) == SQLITE_OK &&
               sqlite3_exec(m_db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    // The provider's reported address, as set-address does.
    void SetAddress(const std::string& address)
    {
        std::lock_guard<std::mutex> lock(m_dbMutex);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO settings(key, value) VALUES('address', ?)", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    std::string Count(const char* state)
    {
        std::string n;
        if (m_pg)
            return m_pg->Psql("bench", std::string("SELECT COUNT(*) FROM publications WHERE state='") + state + "'", &n)
                       ? n.substr(0, n.find('\n'))
                       : "?";
        std::lock_guard<std::mutex> lock(m_dbMutex);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(m_db, "SELECT COUNT(*) FROM publications WHERE state=?", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, state, -1, SQLITE_STATIC);
        n = sqlite3_step(st) == SQLITE_ROW ? std::to_string(sqlite3_column_int64(st, 0)) : "?";
        sqlite3_finalize(st);
        return n;
    }

    static std::string Address(unsigned n)
    {
        char text[16];
        std::snprintf(text, sizeof text, "10.%u.%u.%u", (n >> 16) & 255, (n >> 8) & 255, n & 255);
        return text;
    }

    static std::string Address6(unsigned n)
    {
        char text[40];
        std::snprintf(text, sizeof text, "2001:db8:%x:%x::1", (n >> 16) & 0xFFFF, n & 0xFFFF);
        return text;
    }

    // Both families of client's host in one request (IPv4 alone when v6 is empty); true on "good".
    bool UpdateBoth(int client, const std::string& v4, const std::string& v6)
    {
        // Spread over the serve processes, each client's requests alternating between them.
        const uint16_t port =
            m_ports[static_cast<size_t>(client + m_sent[static_cast<size_t>(client)]++) % m_ports.size()];
        std::string body = Dyndns2(
            port, Numbered("hostname=h", client, ".bench.example.net&myip=") + v4 + (v6.empty() ? "" : "," + v6),
            Base64(Numbered("c", client, ":pw")));
        return body.rfind("good ", 0) == 0;
    }
    std::string Resolve6(int client)
    {
        std::string a;
        dns::QueryAddress("127.0.0.1", m_dnsPort, Numbered("h", client, ".bench.example.net"), a, 500, true);
        return a;
    }

    void Dyndns2Latency(int samples)
    {
        std::vector<double> accepted;
        for (int i = 0; i < samples; ++i) {
            unsigned n = m_next++;
            std::string v4 = Address(n), v6 = Address6(n);
            if (!UpdateBoth(0, v4, v6)) {
                std::fprintf(stderr, "publish_bench: dyndns2 update failed\n");
                return;
            }
            auto t1 = Clock::now();
            while (Resolve6(0) != v6 || Resolve(0) != v4) {
                if (Clock::now() - t1 > std::chrono::seconds(5)) {
                    std::fprintf(stderr, "publish_bench: %s never resolved\n", v6.c_str());
                    return;
                }
            }
            accepted.push_back(Ms(Clock::now() - t1));
        }
        std::sort(accepted.begin(), accepted.end());
        std::printf("dyndns2 myip=V4,V6 good -> AAAA and A resolving (%d updates): p50 %.2f ms, p99 %.2f ms\n", samples,
                    accepted[accepted.size() / 2], accepted[std::min(accepted.size() - 1, accepted.size() * 99 / 100)]);
    }

    // One update of every client's host through every process first: the first check of each password is a
    // slow hash, which the throughput figures leave out.
    void Warm()
    {
        for (size_t p = 0; p < m_ports.size(); ++p)
            for (int c = 0; c < kClients; ++c)
                UpdateBoth(c, Address(m_next++), std::string());
    }

    // With `both` false IPv4 alone, the same requests otherwise: what the second family costs.
    void Dyndns2Throughput(int clients, int perClient, bool both)
    {
        std::atomic<int> failures{0};
        std::atomic<unsigned> next{m_next};
        std::vector<std::string> last(static_cast<size_t>(clients));
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                for (int i = 0; i < perClient; ++i) {
                    unsigned n = next++;
                    if (!UpdateBoth(c, Address(n), both ? Address6(n) : std::string()))
                        ++failures;
                    last[static_cast<size_t>(c)] = both ? Address6(n) : Address(n);
                }
            });
        for (auto& t : threads)
            t.join();
        auto accepted = Clock::now();
        m_next = next;
        for (int c = 0; c < clients; ++c)
            while ((both ? Resolve6(c) : Resolve(c)) != last[static_cast<size_t>(c)] &&
                   Clock::now() - accepted < std::chrono::seconds(60))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto resolved = Clock::now();
        double n = clients * perClient;
        std::printf("dyndns2 %s, %2d client(s) x %d updates: %.0f accepted/s, %.0f/s until every name resolves to "
                    "its last address (%d failed)\n",
                    both ? "V4,V6" : "V4   ", clients, perClient, n / (Ms(accepted - start) / 1000),
                    n / (Ms(resolved - start) / 1000), failures.load());
    }

    bool Update(CDynamicService& service, int client)
    {
        UpdateResultMap results{{static_cast<uint32_t>(client + 1), 0}};
        return service.UpdateDynamic(Numbered("c", client), CMD5("pw").HexDigest(), results) == 0 &&
               results.begin()->second == 1;
    }
    std::string Resolve(int client)
    {
        std::string a;
        dns::QueryAddress("127.0.0.1", m_dnsPort, Numbered("h", client, ".bench.example.net"), a, 500);
        return a;
    }

    void Latency(int samples)
    {
        CDynamicService service("127.0.0.1", m_port);
        std::vector<double> accepted, total;
        for (int i = 0; i < samples; ++i) {
            std::string address = Address(m_next++);
            SetAddress(address);
            auto t0 = Clock::now();
            if (!Update(service, 0)) {
                std::fprintf(stderr, "publish_bench: update failed\n");
                return;
            }
            auto t1 = Clock::now();
            while (Resolve(0) != address) {
                if (Clock::now() - t1 > std::chrono::seconds(5)) {
                    std::fprintf(stderr, "publish_bench: %s never resolved\n", address.c_str());
                    return;
                }
            }
            auto t2 = Clock::now();
            accepted.push_back(Ms(t2 - t1));
            total.push_back(Ms(t2 - t0));
        }
        auto pct = [](std::vector<double> v, double p) {
            std::sort(v.begin(), v.end());
            return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
        };
        std::printf("accepted -> resolving (%d updates):   p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", samples,
                    pct(accepted, 0.5), pct(accepted, 0.99), pct(accepted, 1.0));
        std::printf("request sent -> resolving:             p50 %.2f ms, p99 %.2f ms\n", pct(total, 0.5),
                    pct(total, 0.99));
    }

    // The share of the DNS server: signed UPDATE and its answer, without the provider.
    void UpdateRoundTrip(int samples)
    {
        DnsZone zone{"bench.example.net", "127.0.0.1", m_dnsPort, "bench", "hmac-sha256", kSecret, 60};
        std::vector<double> rtt;
        for (int i = 0; i < samples; ++i) {
            auto t0 = Clock::now();
            DnsUpdateResult r = dns::SendAddressUpdate(zone, "direct.bench.example.net", Address(m_next++), 2000);
            if (!r.ok) {
                std::fprintf(stderr, "publish_bench: direct update failed: %s\n", r.error.c_str());
                return;
            }
            rtt.push_back(Ms(Clock::now() - t0));
        }
        std::sort(rtt.begin(), rtt.end());
        std::printf("UPDATE round trip to the server alone: p50 %.2f ms, p99 %.2f ms\n", rtt[rtt.size() / 2],
                    rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)]);
    }

    void Throughput(int clients, int perClient)
    {
        std::atomic<int> failures{0};
        std::vector<std::string> last(static_cast<size_t>(clients));
        std::atomic<unsigned> next{m_next};
        auto start = Clock::now();
        std::vector<std::thread> threads;
        for (int c = 0; c < clients; ++c)
            threads.emplace_back([&, c] {
                CDynamicService service("127.0.0.1", m_port);
                for (int i = 0; i < perClient; ++i) {
                    // Clients race for the one reported address; each update still sets a new one.
                    std::string address = Address(next++);
                    SetAddress(address);
                    if (!Update(service, c))
                        ++failures;
                }
            });
        for (auto& t : threads)
            t.join();
        auto accepted = Clock::now();
        m_next = next;
        // The last address each host got is in the provider's hosts table; wait until DNS shows it.
        std::vector<std::string> expected(static_cast<size_t>(clients));
        {
            std::lock_guard<std::mutex> lock(m_dbMutex);
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(m_db, "SELECT hostid, data FROM hosts", -1, &st, nullptr);
            while (sqlite3_step(st) == SQLITE_ROW) {
                int id = sqlite3_column_int(st, 0);
                if (id >= 1 && id <= clients)
                    expected[static_cast<size_t>(id - 1)] = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
            }
            sqlite3_finalize(st);
        }
        for (int c = 0; c < clients; ++c)
            while (Resolve(c) != expected[static_cast<size_t>(c)] && Clock::now() - accepted < std::chrono::seconds(60))
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        auto resolved = Clock::now();
        double n = clients * perClient;
        std::printf("%2d client(s) x %d updates: %.0f accepted/s, %.0f/s until every name resolves to its last "
                    "address (%d failed)\n",
                    clients, perClient, n / (Ms(accepted - start) / 1000), n / (Ms(resolved - start) / 1000),
                    failures.load());
    }

    void Totals()
    {
        std::printf("publications: %s published, %s superseded by a newer address before their turn, %s pending\n",
                    Count("published").c_str(), Count("superseded").c_str(), Count("pending").c_str());
    }

private:
    std::string m_dir;
    pid_t m_dnsServer = -1;
    std::vector<pid_t> m_providers;
    std::vector<uint16_t> m_ports;
    std::unique_ptr<CPostgresServer> m_pg;
    std::vector<unsigned> m_sent = std::vector<unsigned>(kClients);
    uint16_t m_dnsPort = 0, m_port = 0;
    sqlite3* m_db = nullptr;
    std::mutex m_dbMutex;
    unsigned m_next = 1;
};

}  // namespace

int main(int argc, char** argv)
{
    int samples = argc > 1 ? std::atoi(argv[1]) : 500;
    int perClient = argc > 2 ? std::atoi(argv[2]) : 500;
    std::string server = argc > 3 ? argv[3] : "knot";
    if (access(server == "bind" ? "/usr/sbin/named" : "/usr/sbin/knotd", X_OK) != 0) {
        std::fprintf(stderr, "publish_bench: needs knotd or named (Debian packages knot, bind9)\n");
        return 1;
    }
    const std::string store = argc > 4 ? argv[4] : "sqlite";
    CBench bench;
    if (!bench.Setup(server, store)) {
        std::fprintf(stderr, "publish_bench: set-up failed\n");
        return 1;
    }
    bench.Warm();
    if (store != "sqlite") {
        bench.Dyndns2Throughput(1, perClient, false);
        bench.Dyndns2Throughput(kClients, perClient / 4 > 0 ? perClient / 4 : 1, false);
        bench.Totals();
        return 0;
    }
    bench.UpdateRoundTrip(samples / 2 > 0 ? samples / 2 : 1);
    bench.Latency(samples);
    bench.Throughput(1, perClient);
    bench.Throughput(kClients, perClient / 4 > 0 ? perClient / 4 : 1);
    bench.Dyndns2Latency(samples);
    for (bool both : {false, true}) {
        bench.Dyndns2Throughput(1, perClient, both);
        bench.Dyndns2Throughput(kClients, perClient / 4 > 0 ? perClient / 4 : 1, both);
    }
    bench.Totals();
    return 0;
}
