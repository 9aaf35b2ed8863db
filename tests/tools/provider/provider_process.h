#pragma once
// Starts morvane-provider from the build on a free loopback port with its own database, and stops it;
// TlsFiles makes certificates for its TLS mode; raw requests, dyndns2 updates and Debian's ddclient
// against it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

class CProviderProcess {
public:
    CProviderProcess() : m_db(m_dir / "provider.db") {}
    // On another store: a PostgreSQL URL.
    explicit CProviderProcess(std::string database) : m_db(std::move(database)) {}
    ~CProviderProcess() { Stop(); }

    static std::string Program() { return std::string(MORVANE_BIN_DIR) + "/morvane-provider"; }
    const std::string& Database() const { return m_db; }
    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }

    // A fresh database with the demo account (demo / demo, demo1..3.example.net) whose next answers
    // report `address` as the public one.
    bool SeedDemo(const std::string& address) const
    {
        return Admin({"init"}) == 0 && Admin({"seed-demo"}) == 0 && Admin({"set-address", address}) == 0;
    }

    // Runs one administration command; returns its exit code and fills `out` with its standard output
    // and `err` with its standard error. `input` (a password, a key) goes to its standard input, never
    // on its command line.
    int Admin(const std::vector<std::string>& args, std::string* out = nullptr, const std::string& input = "",
              std::string* err = nullptr) const
    {
        const std::string in = m_dir / "stdin", errors = m_dir / "stderr";
        std::ofstream(in, std::ios::trunc) << input;
        std::string cmd = "'" + Program() + "' --db '" + m_db + "'";
        for (const auto& a : args)
            cmd += " '" + a + "'";
        cmd += " <'" + in + "' 2>'" + errors + "'";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p)
            return -1;
        std::string text;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            text.append(buf, n);
        int status = pclose(p);
        if (out)
            *out = text;
        if (err) {
            std::ifstream e(errors);
            err->assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Starts "serve --port 0" and reads the port it announces. False when it did not come up. Hosts may
    // change address at once (--min-interval 0) unless `extra` sets the interval.
    bool Start(const std::vector<std::string>& extra = {})
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            std::vector<std::string> args{Program(), "--db", m_db, "serve", "--port", "0"};
            if (std::find(extra.begin(), extra.end(), "--min-interval") == extra.end())
                args.insert(args.end(), {"--min-interval", "0"});
            args.insert(args.end(), extra.begin(), extra.end());
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        FILE* in = fdopen(fds[0], "r");
        char line[256] = {};
        bool ok = in && fgets(line, sizeof line, in) != nullptr;
        if (in)
            fclose(in);
        unsigned port = 0;
        const char* colon = ok ? std::strrchr(line, ':') : nullptr;
        if (colon && std::sscanf(colon + 1, "%u", &port) == 1)
            m_port = static_cast<uint16_t>(port);
        return m_port != 0;
    }

    // SIGTERM and wait; returns the exit code (or -1 when it did not exit by itself).
    int Stop()
    {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool Running() const { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }

private:
    CTempDir m_dir{"morvane-provider-test"};
    std::string m_db;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

// A throwaway CA and server certificates made with the openssl tool: one good, one expired, one for
// another name, one from a CA the client does not know.
class TlsFiles {
public:
    TlsFiles()
    {
        m_ok = m_dir.Ok();
        const std::string& d = m_dir.Path();
        auto run = [&](const std::string& cmd) { m_ok = m_ok && std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; };
        auto ca = [&](const std::string& name) {
            run("openssl req -x509 -newkey rsa:2048 -nodes -keyout " + d + "/" + name + ".key -out " + d + "/" + name +
                ".pem -days 2 -subj /CN=" + name);
        };
        auto cert = [&](const std::string& name, const std::string& signer, const std::string& san, int days) {
            std::ofstream(d + "/" + name + ".ext") << "subjectAltName=" << san << "\n";
            run("openssl req -newkey rsa:2048 -nodes -keyout " + d + "/" + name + ".key -out " + d + "/" + name +
                ".csr -subj /CN=" + name);
            run("openssl x509 -req -in " + d + "/" + name + ".csr -CA " + d + "/" + signer + ".pem -CAkey " + d + "/" +
                signer + ".key -CAcreateserial -out " + d + "/" + name + ".pem -days " + std::to_string(days) +
                " -extfile " + d + "/" + name + ".ext");
        };
        ca("ca");
        ca("stranger");
        cert("good", "ca", "DNS:localhost,IP:127.0.0.1", 2);
        cert("expired", "ca", "DNS:localhost,IP:127.0.0.1", -1);
        cert("wrongname", "ca", "DNS:elsewhere.example.net", 2);
        cert("unknownca", "stranger", "DNS:localhost,IP:127.0.0.1", 2);
    }
    bool Ok() const { return m_ok; }
    std::string Path(const std::string& file) const { return m_dir / file; }
    std::vector<std::string> Serve(const std::string& name) const
    {
        return {"--tls-cert", Path(name + ".pem"), "--tls-key", Path(name + ".key"), "--io-timeout", "1"};
    }

private:
    CTempDir m_dir{"morvane-tls-test"};
    bool m_ok = true;
};

// A connection to the provider on 127.0.0.1 (or ::1), -1 when refused.
inline int Connect(uint16_t port, bool ipv6 = false)
{
    int s = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in6 a6{};
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(port);
    a6.sin6_addr = in6addr_loopback;
    if (ipv6 ? connect(s, reinterpret_cast<sockaddr*>(&a6), sizeof a6) != 0
             : connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends raw bytes on one connection and returns everything the server answers before it closes.
inline std::string RawExchange(uint16_t port, const std::string& bytes, bool ipv6 = false)
{
    int s = Connect(port, ipv6);
    if (s < 0)
        return "<connect failed>";
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(s, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            break;  // the server may stop reading an over-long body
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        char buf[4096];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(s);
    return answer;
}

// The Authorization value of HTTP Basic for user:password (base64).
inline std::string Basic(const std::string& user, const std::string& password)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const std::string in = user + ":" + password;
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
        if (i + 1 < in.size())
            n |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
        if (i + 2 < in.size())
            n |= static_cast<unsigned char>(in[i + 2]);
        for (size_t k = 0; k < 4; ++k)
            out += i + k <= in.size() ? kAlphabet[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

// A dyndns2 update (the whole answer), by default as demo/demo.
inline std::string Update(uint16_t port, const std::string& query, const char* basic = "ZGVtbzpkZW1v",
                          bool ipv6 = false)
{
    std::string request = "GET /nic/update?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (basic)
        request += std::string("Authorization: Basic ") + basic + "\r\n";
    return RawExchange(port, request + "User-Agent: test\r\n\r\n", ipv6);
}

inline std::string BodyOf(const std::string& answer)
{
    size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? "<no body>" : answer.substr(end + 4);
}

// Debian's ddclient run once in the foreground as demo/demo with `settings` (its server, address sources
// and host names); its exit code, and what it printed in `log`. `dir` holds its configuration and cache.
inline int RunDdclient(const std::string& dir, const std::string& settings, std::string& log)
{
    std::filesystem::create_directories(dir);
    std::string conf = dir + "/ddclient.conf";
    std::ofstream(conf) << "daemon=0\nsyslog=no\nprotocol=dyndns2\nlogin=demo\npassword='demo'\n" << settings;
    std::filesystem::permissions(conf, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::string cmd = "timeout 30 ddclient -foreground -daemon=0 -noquiet -verbose -file '" + conf + "' -cache '" +
                      dir + "/ddclient.cache' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[512];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0)
        log.append(buf, n);
    return p ? pclose(p) : -1;
}
