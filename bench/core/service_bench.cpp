// Measures the running service: idle CPU against a loop that polls every 0.5 ms, round trips of
// switch requests that need no provider call (one that changes nothing, one that changes a switch)
// over the local socket and over the loopback UDP channel, against bare echoes of both kinds of
// socket in the same run, and resident memory. The service runs with both channels
// (MORVANE_UDP_CHANNEL=1), so the idle figures include the UDP channel's receiving thread.
//
//   service_bench [idle-seconds] [--dyndns2 | --interface | --interface6 |
//                  --kind cloudflare|duckdns|url|nsupdate]      (default 60)
//
// Runs the real MorvaneCore under the service control layer (in a temporary service database) and
// the real morvane-provider with the demo account. With --dyndns2 the service uses a dyndns2 account
// on the provider over HTTPS (throwaway CA) and takes its address from a local check-IP stand-in
// (openssl s_server); it pushes the address once and then idles.
//
// With --interface (root: everything runs in a network namespace of its own) the dyndns2 account
// takes its address from a veth interface and updates a local HTTPS stand-in; after the idle time
// the interface is renumbered 50 times and the time from each change to the update reaching the
// stand-in is measured. With --interface6 the account keeps both families (one request for both) and
// the interface's IPv6 address is the one renumbered.
//
// With --kind the account is of that kind instead, its server an HTTPS stand-in answering as the kind's
// service does (nsupdate: a closed local port, so the update goes unanswered), for its resident memory.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/provider/config.h"
#include "core/provider/rtnetlink.h"
#include "platform/local_socket.h"
#include "platform/scm.h"
#include "shared/base/md5.h"
#include "shared/packet/commands.h"
#include "shared/packet/packet.h"
#include "shared/xml/data_files.h"
#include "tests/support/netns.h"
#include "tests/support/tls_standin.h"
#include "tests/tools/provider/provider_process.h"

namespace {

double CpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoul(f);
        if (i == 15)
            stime = std::stoul(f);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

long RssKb(pid_t pid, const char* field = "VmRSS:", const char* file = "status")
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::string line;
    size_t n = std::strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0)
            return std::strtol(line.c_str() + n, nullptr, 10);
    return -1;
}

int Run(const std::string& cmd)
{
    return std::system(cmd.c_str());
}

// Context switches of all the process's threads: each wake-up of a sleeping thread counts one.
long ContextSwitches(pid_t pid)
{
    long total = 0;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(task.path() / "status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::strtol(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
    return total;
}

uint16_t FreePort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    close(s);
    return ntohs(addr.sin_port);
}

}  // namespace

int main(int argc, char** argv)
{
    int idleSeconds = 60;
    bool dyndns2 = false, viaInterface = false, both = false;
    std::string kind;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--dyndns2")
            dyndns2 = true;
        else if (std::string(argv[i]) == "--kind" && i + 1 < argc)
            dyndns2 = true, kind = argv[++i];
        else if (std::string(argv[i]) == "--interface")
            dyndns2 = viaInterface = true;
        else if (std::string(argv[i]) == "--interface6")
            dyndns2 = viaInterface = both = true;
        else
            idleSeconds = std::max(1, std::atoi(argv[i]));
    }
    // Before any thread or process is started: they all live in the namespace.
    std::string why;
    if (viaInterface &&
        (!EnterPrivateNetwork(why) || Run("ip link add mvb0 type veth peer name mvb1 && "
                                          "ip link set mvb0 up && ip addr add 203.0.113.30/24 dev mvb0 && "
                                          "ip addr add 2001:db8:5::30/64 nodad dev mvb0") != 0)) {
        std::fprintf(stderr, "--interface needs root and network namespaces: %s\n", why.c_str());
        return 1;
    }
    std::string bin = MORVANE_BIN_DIR;
    char pattern[] = "/tmp/morvane-bench-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string prog = dir + "/prog";
    std::filesystem::create_directories(prog);
    for (const char* name : {"MorvaneCore", "libnat.so"})
        std::filesystem::copy_file(bin + "/" + name, prog + "/" + name);
    setenv("MORVANE_SCM_DIR", (dir + "/services").c_str(), 1);
    setenv("MORVANE_UDP_CHANNEL", "1", 1);

    // The provider, on a port of its choosing.
    std::string db = dir + "/p.db";
    std::string provider = bin + "/morvane-provider --db " + db;
    Run(provider + " init >/dev/null && " + provider + " seed-demo >/dev/null && " + provider +
        " set-address 203.0.113.7 >/dev/null");
    std::string tls;
    TlsFiles tlsFiles;
    if (dyndns2) {
        if (!tlsFiles.Ok()) {
            std::fprintf(stderr, "cannot make the certificates (openssl)\n");
            return 1;
        }
        tls = " --tls-cert " + tlsFiles.Path("good.pem") + " --tls-key " + tlsFiles.Path("good.key");
        Run("printf 's3cret pw\\n' | " + provider + " add-account alice >/dev/null && " + provider +
            " add-host alice a.example.net >/dev/null");
    }
    Run(provider + " serve --port 0" + tls + " > " + dir + "/provider.out 2>&1 & echo $! > " + dir + "/provider.pid");
    std::string portLine;
    for (int i = 0; i < 100 && portLine.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(dir + "/provider.out");
        std::getline(in, portLine);
    }
    std::string providerPort = std::to_string(std::atoi(portLine.c_str() + portLine.rfind(':') + 1));
    setenv("MORVANE_PROVIDER", ("127.0.0.1:" + providerPort).c_str(), 1);
    uint32_t switchHost = 2;
    CTlsStandIn standIn;
    auto answer = [kind](const std::string& head) -> std::string {
        if (kind == "duckdns")
            return "OK";
        if (kind != "cloudflare")
            return "good";
        if (head.find(" /zones?name=a.example.net ") != std::string::npos)
            return "{\"success\":true,\"result\":[{\"id\":\"z1\",\"name\":\"a.example.net\"}]}";
        if (head.rfind("GET ", 0) == 0)
            return "{\"success\":true,\"result\":[{\"id\":\"r1\",\"type\":\"A\",\"content\":\"192.0.2.1\"}]}";
        return "{\"success\":true,\"result\":{\"id\":\"r1\"}}";
    };
    if ((viaInterface || !kind.empty()) &&
        !standIn.Start(tlsFiles.Path("good.pem"), tlsFiles.Path("good.key"), answer)) {
        std::fprintf(stderr, "cannot start the HTTPS stand-in\n");
        return 1;
    }
    if (dyndns2) {
        // The check-IP stand-in: a file served by openssl's test server.
        uint16_t checkPort = FreePort();
        std::ofstream(dir + "/ip") << "198.51.100.7\n";
        Run("(cd " + dir + " && exec openssl s_server -quiet -WWW -accept 127.0.0.1:" + std::to_string(checkPort) +
            " -cert " + tlsFiles.Path("good.pem") + " -key " + tlsFiles.Path("good.key") +
            " >/dev/null 2>&1) & echo $! > " + dir + "/checkip.pid");
        // Up before the service asks it, or the first address check would find nothing.
        for (int i = 0; i < 100; ++i) {
            int probe = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            to.sin_port = htons(checkPort);
            bool up = connect(probe, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
            close(probe);
            if (up)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ProviderConfig c;
        c.kind = ProviderConfig::Kind::Dyndns2;
        c.server = "https://127.0.0.1:" + providerPort;
        c.user = "alice";
        c.password = "s3cret pw";
        c.hosts = {"a.example.net"};
        c.checkIp = {"https://127.0.0.1:" + std::to_string(checkPort) + "/ip"};
        if (viaInterface) {
            c.server = standIn.Url("");
            c.interfaceName = "mvb0";
            c.ip = both ? ProviderConfig::Families::Both : ProviderConfig::Families::IPv4;
            c.checkIp.clear();
            c.checkIpDefaults = false;
        }
        c.router = false;
        c.caFile = tlsFiles.Path("ca.pem");
        std::string login = "alice", secret = "s3cret pw";
        if (!kind.empty() && !providerconf::ParseKind(kind, c.kind)) {
            std::fprintf(stderr, "unknown kind %s\n", kind.c_str());
            return 1;
        }
        if (!kind.empty()) {
            c.user.clear();
            c.server = c.kind == ProviderConfig::Kind::Url ? standIn.Url("/u?ip={ipv4}") : standIn.Url("");
            login = kind;
            if (c.kind == ProviderConfig::Kind::Nsupdate) {
                c.server = "127.0.0.1:" + std::to_string(FreePort());
                c.zone = "example.net";
                c.password = "k:hmac-sha256:czNjcmV0";
                secret = "czNjcmV0";
            }
        }
        providerconf::Write(prog + "/provider.conf", c);
        switchHost = providerconf::HostRecords(c)[0].hostid;
        datafile::SetSwitches(prog + "/domain.xml", {{switchHost, 1}});
        datafile::WriteLogin(prog + "/user.xml", login, CMD5(secret.c_str()).HexDigest());
    } else {
        datafile::WriteLogin(prog + "/user.xml", "demo", "fe01ce2a7fbac8fafaed7c982a04e229");
    }

    auto manager = scm::OpenManager(scm::kManagerAllAccess);
    scm::Config config;
    config.name = "MORVANE";
    config.binaryPath = prog + "/MorvaneCore";
    auto service = manager->Create(config);
    scm::Status st;
    if (!service || !service->Start()) {
        std::fprintf(stderr, "cannot start the service\n");
        return 1;
    }
    for (int i = 0; i < 200 && !(service->Query(st) && st.state == scm::kRunning); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pid_t pid = static_cast<pid_t>(st.processId);
    std::printf("service pid %d\n", int(pid));
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // logged in with the remembered account
    // The address of an update the stand-in received (empty: none).
    auto lastSent = [&] {
        auto requests = standIn.Requests();
        std::string head = requests.empty() ? "" : requests.back();
        size_t at = head.find("&myip=");
        return at == std::string::npos ? "" : head.substr(at + 6, head.find(' ', at) - at - 6);
    };
    const std::string first = both ? "203.0.113.30,2001:db8:5::30" : "203.0.113.30";
    if (viaInterface) {
        for (int i = 0; i < 150 && lastSent() != first; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::printf("interface source: first update %s\n", lastSent() == first ? "received" : "missing");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    } else if (!kind.empty()) {
        for (int i = 0; i < 150 && standIn.Requests().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(std::chrono::seconds(2));
        std::printf("%s kind: requests at the stand-in after the start: %zu\n", kind.c_str(),
                    standIn.Requests().size());
    } else if (dyndns2) {
        // Wait for the first push (login, check-IP, update over HTTPS), so that the idle time is idle.
        std::string history;
        for (int i = 0; i < 150 && history.find("198.51.100.7") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            history.clear();
            FILE* p = popen((provider + " history").c_str(), "r");
            char line[512];
            while (p && fgets(line, sizeof line, p))
                history += line;
            if (p)
                pclose(p);
        }
        std::printf("dyndns2 kind: updates the provider recorded after the start: %zu (%s)\n",
                    size_t(std::count(history.begin(), history.end(), '\n')),
                    history.find("198.51.100.7") != std::string::npos ? "198.51.100.7" : "address missing");
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    // 1. Idle CPU.
    double before = CpuSeconds(pid);
    long switchesBefore = ContextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    double serviceCpu = CpuSeconds(pid) - before;
    long wakeups = ContextSwitches(pid) - switchesBefore;

    pid_t poller = fork();
    if (poller == 0) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv{0, 500};
            select(s + 1, &set, nullptr, nullptr, &tv);
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    double pollBefore = CpuSeconds(poller);
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    double pollCpu = CpuSeconds(poller) - pollBefore;
    kill(poller, SIGKILL);
    waitpid(poller, nullptr, 0);

    // CPU time is counted in clock ticks: below one tick, the service's share is an upper bound.
    double tick = 1.0 / double(sysconf(_SC_CLK_TCK));
    double serviceBound = std::max(serviceCpu, tick);
    std::printf("idle CPU over %d s: service %.3f s (%s%.4f%% of a core), 0.5 ms polling loop %.3f s (%.2f%%), "
                "polling costs %s%.0fx more\n",
                idleSeconds, serviceCpu, serviceCpu < tick ? "< " : "", 100.0 * serviceBound / idleSeconds, pollCpu,
                100.0 * pollCpu / idleSeconds, serviceCpu < tick ? "> " : "", pollCpu / serviceBound);
    // File-backed pages are mostly the shared libraries' code, shared with every other process using them.
    std::printf("wake-ups of the idle service's threads over %d s: %ld\n", idleSeconds, wakeups);
    std::printf("resident memory of the idle service: %ld kB (private %ld kB, file-backed %ld kB), PSS %ld kB\n",
                RssKb(pid), RssKb(pid, "RssAnon:"), RssKb(pid, "RssFile:"), RssKb(pid, "Pss:", "smaps_rollup"));

    // 2. Interface renumbered: change to update received, the periodic check left at two minutes.
    if (viaInterface) {
        // Timed from the kernel's notification of the change, as the service sees it (starting `ip`
        // alone takes tens of milliseconds here).
        rtnl::CInterfaceEvents events;
        if (!events.Open(why))
            std::fprintf(stderr, "%s\n", why.c_str());
        std::vector<double> latencies;
        std::string from = both ? "2001:db8:5::30" : "203.0.113.30";
        for (int i = 0; i < 50 && events.Descriptor() >= 0; ++i) {
            std::string to =
                both ? "2001:db8:5::" + std::to_string(31 + i % 2) : "203.0.113." + std::to_string(31 + i % 2);
            if (both)
                std::ofstream(dir + "/batch")
                    << "addr del " << from << "/64 dev mvb0\naddr add " << to << "/64 nodad dev mvb0\n";
            else
                std::ofstream(dir + "/batch")
                    << "addr del " << from << "/24 dev mvb0\naddr add " << to << "/24 dev mvb0\n";
            const std::string expected = both ? "203.0.113.30," + to : to;
            std::string batch = dir + "/batch";
            char* args[] = {const_cast<char*>("ip"), const_cast<char*>("-batch"), batch.data(), nullptr};
            pid_t ip = 0;
            posix_spawnp(&ip, "ip", nullptr, nullptr, args, environ);
            pollfd pfd{events.Descriptor(), POLLIN, 0};
            poll(&pfd, 1, 5000);
            auto t0 = std::chrono::steady_clock::now();
            events.Drain("mvb0");
            while (lastSent() != expected && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            waitpid(ip, nullptr, 0);
            if (lastSent() != expected) {
                std::fprintf(stderr, "no update for change %d\n", i);
                break;
            }
            latencies.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            events.Drain("mvb0");
            from = to;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // changes stay apart
        }
        std::sort(latencies.begin(), latencies.end());
        if (!latencies.empty())
            std::printf(
                "interface change -> update at the stand-in, %zu changes: p50 %.0f ms, p99 %.0f ms, max %.0f ms "
                "(periodic check: every 120 s)\n",
                latencies.size(), latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100],
                latencies.back());
    }

    // Side by side: Debian's inadyn (when installed) watching the same interface for the same server,
    // idle after its first update, against the idle service above.
    if (viaInterface && Run("command -v inadyn >/dev/null") == 0) {
        std::string url = standIn.Url("");
        std::ofstream(dir + "/inadyn.conf")
            << "period = 120\niface = mvb0\nallow-ipv6 = true\nca-trust-file = " << tlsFiles.Path("ca.pem")
            << "\ncustom bench {\n  ssl = true\n  username = alice\n  password = \"s3cret pw\"\n  ddns-server = "
            << url.substr(url.find("//") + 2) << "\n  ddns-path = \"/nic/update?hostname=%h&myip=%i\"\n"
            << "  hostname = a.example.net\n}\n";
        size_t sentBefore = standIn.Requests().size();
        Run("inadyn -n -s -f " + dir + "/inadyn.conf --cache-dir " + dir + " -P " + dir +
            "/inadyn.pid >/dev/null 2>&1 & echo $! > " + dir + "/inadyn.bg");
        for (int i = 0; i < 100 && standIn.Requests().size() == sentBefore; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        std::ifstream in(dir + "/inadyn.bg");
        pid_t inadyn = 0;
        in >> inadyn;
        std::printf("inadyn: %s; idle: resident %ld kB (private %ld kB), PSS %ld kB; the service: resident %ld kB, "
                    "PSS %ld kB\n",
                    standIn.Requests().size() > sentBefore ? "updated" : "no update seen", RssKb(inadyn),
                    RssKb(inadyn, "RssAnon:"), RssKb(inadyn, "Pss:", "smaps_rollup"), RssKb(pid),
                    RssKb(pid, "Pss:", "smaps_rollup"));
        if (inadyn > 0)
            kill(inadyn, SIGTERM);
    }

    // 3. Round trips, interleaved so that all see the same machine: bare echoes over loopback UDP and
    // over a connected pair of local sequenced-packet sockets; on each channel a switch request that
    // changes nothing (a host off while off: answered without a save) and one that changes a switch
    // (the host off after it was switched on; the switch-on itself pushes to the provider and is not
    // timed).
    int port = datafile::ReadPort(prog + "/user.xml");
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    int local = platform::ConnectLocal(platform::ChannelSocketPath(prog));
    if (port <= 0 || local < 0) {
        std::fprintf(stderr, "the service has no channel (port %d, socket %s)\n", port, local < 0 ? "none" : "open");
        return 1;
    }

    int echo = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in echoAddr{};
    echoAddr.sin_family = AF_INET;
    echoAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(echo, reinterpret_cast<sockaddr*>(&echoAddr), sizeof echoAddr);
    socklen_t echoLen = sizeof echoAddr;
    getsockname(echo, reinterpret_cast<sockaddr*>(&echoAddr), &echoLen);
    std::thread echoer([echo] {
        uint8_t b[1536];
        sockaddr_in from{};
        for (;;) {
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(echo, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0)
                return;
            if (n == 1 && b[0] == 0xFF)
                return;  // stop
            sendto(echo, b, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    int pair[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair);
    std::thread localEchoer([end = pair[1]] {
        uint8_t b[1536];
        for (ssize_t n; (n = recv(end, b, sizeof b, 0)) > 0;)
            send(end, b, static_cast<size_t>(n), MSG_NOSIGNAL);
    });

    uint8_t buf[1536];
    uint16_t sequence = 0;
    // One request (or one echo) and its answer, on `socket` (to `target` when not connected);
    // microseconds, or a negative value without an answer.
    auto roundTrip = [&](int socket, const sockaddr_in* target, int enabled) {
        UdpOutPacket out;
        PacketHeader::Request(1, CMD_SET_DOMAIN_STATE, ++sequence).Write(out);
        out.WriteU16Host(1);
        out.WriteU32Host(switchHost);
        out.WriteU8(static_cast<uint8_t>(enabled));
        auto t0 = std::chrono::steady_clock::now();
        if (target)
            sendto(socket, out.Data(), out.Size(), 0, reinterpret_cast<const sockaddr*>(target), sizeof *target);
        else
            send(socket, out.Data(), out.Size(), MSG_NOSIGNAL);
        pollfd pfd{socket, POLLIN, 0};
        if (poll(&pfd, 1, 5000) <= 0 || recv(socket, buf, sizeof buf, 0) <= 0)
            return -1.0;
        return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count();
    };
    std::vector<double> echoes, localEchoes, noops, localNoops, changes, localChanges;
    const int rounds = 3000;
    for (int i = 0; i < rounds; ++i) {
        double e = roundTrip(s, &echoAddr, 0);
        double le = roundTrip(pair[0], nullptr, 0);
        double n = roundTrip(s, &to, 0);
        double ln = roundTrip(local, nullptr, 0);
        bool on = roundTrip(s, &to, 1) >= 0;
        double c = roundTrip(s, &to, 0);
        on = on && roundTrip(local, nullptr, 1) >= 0;
        double lc = roundTrip(local, nullptr, 0);
        if (e < 0 || le < 0 || n < 0 || ln < 0 || !on || c < 0 || lc < 0) {
            std::fprintf(stderr, "no answer in round %d (echoes %d %d, UDP %d %d, socket %d, switch-ons %d)\n", i,
                         e >= 0, le >= 0, n >= 0, c >= 0, ln >= 0 && lc >= 0, on);
            break;
        }
        echoes.push_back(e);
        localEchoes.push_back(le);
        noops.push_back(n);
        localNoops.push_back(ln);
        changes.push_back(c);
        localChanges.push_back(lc);
    }
    uint8_t stop = 0xFF;
    sendto(s, &stop, 1, 0, reinterpret_cast<sockaddr*>(&echoAddr), sizeof echoAddr);
    echoer.join();
    ::close(echo);
    ::shutdown(pair[0], SHUT_RDWR);
    localEchoer.join();
    ::close(pair[0]);
    ::close(pair[1]);
    ::close(local);
    auto report = [](const char* what, std::vector<double>& v, double echoP50) {
        if (v.empty())
            return;
        std::sort(v.begin(), v.end());
        double p50 = v[v.size() / 2];
        std::printf("%-50s %zu: p50 %6.0f us, p99 %6.0f us, max %6.0f us", what, v.size(), p50, v[v.size() * 99 / 100],
                    v.back());
        if (echoP50 > 0)
            std::printf("  (p50 %.1fx the echo)", p50 / echoP50);
        std::printf("\n");
    };
    auto p50 = [](std::vector<double> v) { return v.empty() ? 0.0 : (std::sort(v.begin(), v.end()), v[v.size() / 2]); };
    const double echoP50 = p50(echoes), localEchoP50 = p50(localEchoes);
    report("round trip of a bare loopback UDP echo,", echoes, 0);
    report("round trip of a bare local socket echo,", localEchoes, 0);
    report("no-op switch request over UDP,", noops, echoP50);
    report("no-op switch request over the local socket,", localNoops, localEchoP50);
    report("changing switch request over UDP,", changes, echoP50);
    report("changing switch request over the local socket,", localChanges, localEchoP50);
    std::printf("resident memory after the requests: %ld kB\n", RssKb(pid));

    service->Control(scm::kStop, st);
    for (int i = 0; i < 200 && !(service->Query(st) && st.state == scm::kStopped); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    service->Delete();
    Run("kill $(cat " + dir + "/provider.pid) 2>/dev/null");
    if (dyndns2)
        Run("kill $(cat " + dir + "/checkip.pid) 2>/dev/null");
    std::error_code ignored;  // the provider may still be removing its journal
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
