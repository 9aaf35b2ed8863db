// Clients against a local morvane-provider: time per call and calls per second for the web service (plain
// and over TLS: the difference is the handshake each call makes) and for dyndns2 updates, with one client
// and with 16 at once.

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "core/webservice/dynamic_service.h"
#include "core/webservice/local_listener.h"
#include "shared/base/md5.h"

namespace {

// The provider for the whole run, started once on a free port with a fresh demo database.
class CProvider {
public:
    explicit CProvider(bool tls = false)
    {
        char dir[] = "/tmp/morvane-provider-bench-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        std::string program = std::string(MORVANE_BIN_DIR) + "/morvane-provider";
        std::string db = m_dir + "/bench.db";
        if (std::system(("'" + program + "' --db '" + db + "' seed-demo").c_str()) != 0)
            return;
        // A throwaway CA and a certificate for 127.0.0.1.
        std::string d = m_dir;
        if (tls && std::system(("(cd '" + d +
                                "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem "
                                "-days 2 -subj /CN=bench-ca && openssl req -newkey rsa:2048 -nodes -keyout srv.key "
                                "-out srv.csr -subj /CN=127.0.0.1 && echo subjectAltName=IP:127.0.0.1 > ext && "
                                "openssl x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out srv.pem "
                                "-days 2 -extfile ext) >/dev/null 2>&1")
                                   .c_str()) != 0)
            return;
        std::string cert = d + "/srv.pem";
        std::string key = d + "/srv.key";
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            if (tls)
                execl(program.c_str(), program.c_str(), "--db", db.c_str(), "serve", "--port", "0", "--tls-cert",
                      cert.c_str(), "--tls-key", key.c_str(), "--nochg-limit", "1000000", "--min-interval", "0",
                      nullptr);
            else
                execl(program.c_str(), program.c_str(), "--db", db.c_str(), "serve", "--port", "0", "--nochg-limit",
                      "1000000", "--min-interval", "0", nullptr);
            _exit(127);
        }
        close(fds[1]);
        FILE* in = fdopen(fds[0], "r");
        char line[128] = {};
        if (in && fgets(line, sizeof line, in)) {
            const char* colon = std::strrchr(line, ':');
            m_port = colon ? static_cast<uint16_t>(std::atoi(colon + 1)) : 0;
        }
        if (in)
            fclose(in);
    }
    ~CProvider()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        std::error_code ec;
        if (!m_dir.empty())
            std::filesystem::remove_all(m_dir, ec);
    }
    uint16_t Port() const { return m_port; }
    std::string Ca() const { return m_dir + "/ca.pem"; }

private:
    std::string m_dir;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

CProvider& Provider()
{
    static CProvider provider;
    return provider;
}

CProvider& TlsProvider()
{
    static CProvider provider(true);
    return provider;
}

// A client of the plain provider, or (tls) of the one serving HTTPS, trusting its CA.
std::unique_ptr<CDynamicService> Client(bool tls)
{
    auto service = std::make_unique<CDynamicService>("127.0.0.1", (tls ? TlsProvider() : Provider()).Port());
    if (tls)
        service->UseTls(TlsProvider().Ca());
    return service;
}

void BM_GetDynamicIP(benchmark::State& state)
{
    std::unique_ptr<CDynamicService> service = Client(state.range(0) != 0);
    NetInfo info;
    for (auto _ : state) {
        if (service->GetDynamicIP(info) != 0) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_GetDynamic(benchmark::State& state)
{
    CDynamicService service("127.0.0.1", Provider().Port());
    std::string digest = CMD5("demo").HexDigest();
    for (auto _ : state) {
        UserInfo user;
        std::vector<DomainRecord> list;
        if (service.GetDynamic("demo", digest, user, list) != 0 || list.size() != 3) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_UpdateDynamic(benchmark::State& state)
{
    std::unique_ptr<CDynamicService> service = Client(state.range(0) != 0);
    std::string digest = CMD5("demo").HexDigest();
    for (auto _ : state) {
        UpdateResultMap results{{1, 0}, {2, 0}, {3, 0}};
        if (service->UpdateDynamic("demo", digest, results) != 0 || results[1] != 1) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// One dyndns2 update per iteration, each to a new address so that every one is stored ("good").
void BM_Dyndns2Update(benchmark::State& state)
{
    static std::atomic<uint32_t> next{0x0A000000};
    uint16_t port = Provider().Port();
    for (auto _ : state) {
        uint32_t a = next++;
        char query[160];
        std::snprintf(query, sizeof query,
                      "GET /nic/update?hostname=demo%d.example.net&myip=%u.%u.%u.%u HTTP/1.1\r\nHost: x\r\n"
                      "Authorization: Basic ZGVtbzpkZW1v\r\n\r\n",
                      1 + state.thread_index() % 3, a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
        int s = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string answer;
        if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            send(s, query, std::strlen(query), MSG_NOSIGNAL) > 0) {
            char buf[512];
            ssize_t n;
            while ((n = recv(s, buf, sizeof buf, 0)) > 0)
                answer.append(buf, static_cast<size_t>(n));
        }
        close(s);
        if (answer.find("\r\n\r\ngood ") == std::string::npos) {
            state.SkipWithError("update failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

// What a plain-HTTP call to loopback pays before its first byte: asking the kernel who holds the other
// end (the accepted socket, else the listener) and looking up the provider's user.
void BM_LoopbackListenerCheck(benchmark::State& state)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 4);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        state.SkipWithError("connect failed");
    std::string why;
    for (auto _ : state) {
        bool trusted = webservice::TrustedLocalPeer(client, why);
        benchmark::DoNotOptimize(trusted);
    }
    close(client);
    close(listener);
}
BENCHMARK(BM_LoopbackListenerCheck)->Unit(benchmark::kMicrosecond);

// Argument tls: 0 plain HTTP, 1 HTTPS (handshake included in every call).
BENCHMARK(BM_GetDynamicIP)
    ->ArgName("tls")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_GetDynamic)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_UpdateDynamic)
    ->ArgName("tls")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_UpdateDynamic)
    ->ArgName("tls")
    ->Arg(0)
    ->Arg(1)
    ->Threads(16)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly();
BENCHMARK(BM_Dyndns2Update)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Dyndns2Update)
    ->Threads(16)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();
