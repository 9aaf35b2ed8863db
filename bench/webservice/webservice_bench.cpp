// One client against a local morvane-provider: time per call and calls per second.

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/webservice/dynamic_service.h"
#include "shared/base/md5.h"

namespace {

// The provider for the whole run, started once on a free port with a fresh demo database.
class CProvider {
public:
    CProvider()
    {
        char dir[] = "/tmp/morvane-provider-bench-XXXXXX";
        if (!mkdtemp(dir))
            return;
        m_dir = dir;
        std::string program = std::string(MORVANE_BIN_DIR) + "/morvane-provider";
        std::string db = m_dir + "/bench.db";
        if (std::system(("'" + program + "' --db '" + db + "' seed-demo").c_str()) != 0)
            return;
        int fds[2];
        if (pipe(fds) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            execl(program.c_str(), program.c_str(), "--db", db.c_str(), "serve", "--port", "0", nullptr);
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
        if (!m_dir.empty())
            std::system(("rm -rf '" + m_dir + "'").c_str());
    }
    uint16_t Port() const { return m_port; }

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

void BM_GetDynamicIP(benchmark::State& state)
{
    CDynamicService service("127.0.0.1", Provider().Port());
    NetInfo info;
    for (auto _ : state) {
        if (service.GetDynamicIP(info) != 0) {
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
    CDynamicService service("127.0.0.1", Provider().Port());
    std::string digest = CMD5("demo").HexDigest();
    for (auto _ : state) {
        UpdateResultMap results{{1, 0}, {2, 0}, {3, 0}};
        if (service.UpdateDynamic("demo", digest, results) != 0 || results[1] != 1) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_GetDynamicIP)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_GetDynamic)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_UpdateDynamic)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();
