#pragma once
// Starts morvane-provider from the build on a free loopback port with its own database, and stops it;
// TlsFiles makes certificates for its TLS mode.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

    // Starts "serve --port 0" and reads the port it announces. False when it did not come up.
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
