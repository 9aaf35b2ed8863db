#include "tests/libnat/gateway_lab.h"
#include "tests/support/wait.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

int Run(const std::string& cmd)
{
    const int r = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

std::string Output(const std::string& cmd)
{
    std::string out;
    if (FILE* p = popen((cmd + " 2>&1").c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        pclose(p);
    }
    return out;
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Whether the process has a socket on the local port in /proc/<pid>/net/<table> (listening, for tcp).
bool HasSocket(int pid, const char* table, int port, bool listening)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
    std::string line;
    char want[8];
    std::snprintf(want, sizeof want, ":%04X", port);
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string slot, local, remote, state;
        ss >> slot >> local >> remote >> state;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0 && (!listening || state == "0A"))
            return true;
    }
    return false;
}

constexpr const char* kTable = R"(table inet miniupnpd {
  chain forward { type filter hook forward priority 0; policy accept; jump miniupnpd; }
  chain miniupnpd { }
  chain prerouting { type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }
  chain postrouting { type nat hook postrouting priority 100; policy accept; jump postrouting_miniupnpd; }
  chain prerouting_miniupnpd { }
  chain postrouting_miniupnpd { }
}
)";

}  // namespace

CGatewayLab::CGatewayLab()
{
    const std::string id = std::to_string(getpid());
    m_gw = "mvn-gw-" + id;
    m_lan = "mvn-lan-" + id;
    m_alone = "mvn-alone-" + id;
}

CGatewayLab::~CGatewayLab()
{
    StopDaemon();
    if (m_created) {
        Run("ip netns del " + m_gw);
        Run("ip netns del " + m_lan);
        Run("ip netns del " + m_alone);
    }
    m_tmp.reset();
}

bool CGatewayLab::Create(std::string& why)
{
    if (geteuid() != 0) {
        why = "network namespaces need root";
        return false;
    }
    if (access("/usr/sbin/miniupnpd", X_OK) != 0) {
        why = "miniupnpd is not installed";
        return false;
    }
    if (Run("ip netns add " + m_gw) != 0) {
        why = "cannot create network namespaces here";
        return false;
    }
    m_created = true;
    m_tmp = std::make_unique<CTempDir>("morvane-lab");
    if (!m_tmp->Ok()) {
        why = "no temporary directory";
        return false;
    }
    m_dir = m_tmp->Path();
    const std::string g = "ip -n " + m_gw + " ";
    const std::string l = "ip -n " + m_lan + " ";
    const std::string commands[] = {
        "ip netns add " + m_lan,
        "ip netns add " + m_alone,
        g + "link set lo up",
        l + "link set lo up",
        "ip -n " + m_alone + " link set lo up",
        g + "link add lan0 type veth peer name eth0 netns " + m_lan,
        g + "addr add 10.231.0.1/24 dev lan0",
        g + "link set lan0 up",
        g + "link add wan0 type veth peer name wan1",
        g + "addr add 10.232.0.1/24 dev wan0",
        g + "link set wan0 up",
        g + "link set wan1 up",
        l + "addr add 10.231.0.2/24 dev eth0",
        l + "link set eth0 up",
        l + "route add default via 10.231.0.1",
    };
    for (const auto& c : commands) {
        if (Run(c) != 0) {
            why = "namespace set-up failed: " + c;
            return false;
        }
    }
    return true;
}

bool CGatewayLab::StartDaemon(bool upnp, bool natpmp, std::string& why)
{
    StopDaemon();
    // Debian's nft_init.sh does not work; load the table and chains miniupnpd fills in ourselves.
    Run("ip netns exec " + m_gw + " nft delete table inet miniupnpd");
    {
        std::ofstream(m_dir + "/table.nft") << kTable;
    }
    if (Run("ip netns exec " + m_gw + " nft -f " + m_dir + "/table.nft") != 0) {
        why = "cannot load the nftables table";
        return false;
    }
    const std::string conf = m_dir + "/miniupnpd.conf";
    {
        std::ofstream c(conf);
        c << "ext_ifname=wan0\n"
             // miniupnpd refuses private addresses as the external one; this one is never contacted.
             "ext_ip="
          << kExternalAddress
          << "\n"
             "listening_ip=lan0\n"
             "port=5000\n"
             "enable_upnp="
          << (upnp ? "yes" : "no")
          << "\n"
             "enable_natpmp="
          << (natpmp ? "yes" : "no")
          << "\n"
             "secure_mode=yes\n"
             "system_uptime=yes\n"
             "uuid=3b2c6a7e-1d2f-4c1a-9e8b-0a1b2c3d4e5f\n"
             "upnp_table_name=miniupnpd\n"
             "upnp_nat_table_name=miniupnpd\n"
             "upnp_forward_chain=miniupnpd\n"
             "upnp_nat_chain=prerouting_miniupnpd\n"
             "upnp_nat_postrouting_chain=postrouting_miniupnpd\n"
             "allow 1024-65535 10.231.0.0/24 1024-65535\n"
             "deny 0-65535 0.0.0.0/0 0-65535\n";
    }
    const std::string log = m_dir + "/miniupnpd.log";
    const std::string pidFile = m_dir + "/miniupnpd.pid";
    const pid_t pid = fork();
    if (pid < 0) {
        why = "fork failed";
        return false;
    }
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        // "ip netns exec" replaces itself with miniupnpd: the pid stays the daemon's.
        execlp("ip", "ip", "netns", "exec", m_gw.c_str(), "/usr/sbin/miniupnpd", "-d", "-f", conf.c_str(), "-P",
               pidFile.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    m_daemon = pid;
    // Ready once every socket the client will talk to is bound.
    for (int i = 0; i < 500; ++i) {
        const bool ssdp = !upnp || HasSocket(pid, "udp", 1900, false);
        const bool http = !upnp || HasSocket(pid, "tcp6", 5000, true) || HasSocket(pid, "tcp", 5000, true);
        const bool pmp = !natpmp || HasSocket(pid, "udp", 5351, false);
        if (ssdp && http && pmp)
            return true;
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            m_daemon = 0;
            why = "miniupnpd exited: " + DaemonLog();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    why = "miniupnpd did not bind its sockets: " + DaemonLog();
    return false;
}

void CGatewayLab::StopDaemon()
{
    if (m_daemon <= 0)
        return;
    kill(m_daemon, SIGTERM);
    if (WaitUntil([&] { return waitpid(m_daemon, nullptr, WNOHANG) == m_daemon; }, std::chrono::seconds(3))) {
        m_daemon = 0;
        return;
    }
    kill(m_daemon, SIGKILL);
    waitpid(m_daemon, nullptr, 0);
    m_daemon = 0;
}

std::string CGatewayLab::Rules() const
{
    return Output("ip netns exec " + m_gw + " nft list chain inet miniupnpd prerouting_miniupnpd");
}

int CGatewayLab::RuleCount(int port, const char* protocol) const
{
    const std::string proto = std::string(protocol) == "tcp" ? "0x6 " : "0x11 ";
    const std::string dport = "dport " + std::to_string(port) + " ";
    const std::string target = std::string("dnat ip to ") + kClientAddress + ":" + std::to_string(port);
    std::istringstream rules(Rules());
    std::string line;
    int n = 0;
    while (std::getline(rules, line)) {
        if (line.find(proto) != std::string::npos && line.find(dport) != std::string::npos &&
            line.find(target) != std::string::npos)
            ++n;
    }
    return n;
}

std::string CGatewayLab::DaemonLog() const
{
    return Slurp(m_dir + "/miniupnpd.log");
}

CInNamespace::CInNamespace(const std::string& name)
{
    m_home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    m_ok = m_home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

CInNamespace::~CInNamespace()
{
    if (m_home >= 0) {
        if (m_ok)
            setns(m_home, CLONE_NEWNET);
        close(m_home);
    }
}
