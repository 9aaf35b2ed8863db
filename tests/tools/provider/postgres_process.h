#pragma once
// A PostgreSQL server of Debian's package started for one test in a directory of its own: a new cluster
// (initdb), reached through a Unix socket in that directory only (no TCP port, so nothing clashes with
// another test or a system server), trusting local connections, fsync off. PostgreSQL refuses to run as
// root: run by root, the cluster belongs to the package's user `postgres`. Why() says why it cannot run.

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

class CPostgresServer {
public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

    CPostgresServer()
    {
        if (!std::filesystem::exists(std::string(kBin) + "/initdb")) {
            m_why = "PostgreSQL 15 is not installed (package postgresql-15; scripts/setup-deps.sh installs it)";
            return;
        }
        if (geteuid() == 0) {
            const passwd* pw = getpwnam("postgres");
            if (!pw) {
                m_why = "run as root and there is no user 'postgres' to run PostgreSQL as";
                return;
            }
            m_as = "runuser -u postgres -- ";
            if (chown(m_dir.Path().c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                m_why = "cannot give " + m_dir.Path() + " to postgres";
                return;
            }
        }
        const std::string d = m_dir.Path();
        if (!Run(std::string(kBin) + "/initdb -D " + d + "/data -U morvane --auth=trust -E UTF8 --no-sync") ||
            !Run(std::string(kBin) + "/pg_ctl -D " + d + "/data -l " + d + "/log -w -t 60 -o \"-k " + d +
                 " -c listen_addresses= -c fsync=off -c synchronous_commit=off -c full_page_writes=off\" start")) {
            m_why = "PostgreSQL did not start (see " + d + "/log)";
            return;
        }
        m_running = true;
    }
    ~CPostgresServer() { Stop(); }
    void Stop()
    {
        if (m_running)
            Run(std::string(kBin) + "/pg_ctl -D " + m_dir.Path() + "/data -m immediate -w stop");
        m_running = false;
    }
    CPostgresServer(const CPostgresServer&) = delete;
    CPostgresServer& operator=(const CPostgresServer&) = delete;

    bool Ok() const { return m_running; }
    const std::string& Why() const { return m_why; }

    // A new empty database; false when it could not be made.
    bool CreateDatabase(const std::string& name) const
    {
        return Run(std::string(kBin) + "/createdb -h " + m_dir.Path() + " -U morvane " + name);
    }
    std::string Url(const std::string& database) const
    {
        return "postgresql:///" + database + "?host=" + m_dir.Path() + "&user=morvane";
    }
    // Runs SQL with psql; its output (unaligned, tuples only) in `out`.
    bool Psql(const std::string& database, const std::string& sql, std::string* out = nullptr) const
    {
        std::string cmd = "psql -X -q -A -t -h " + m_dir.Path() + " -U morvane -d " + database + " -c \"" + sql + "\"";
        FILE* p = popen(cmd.c_str(), "r");
        if (!p)
            return false;
        std::string text;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            text.append(buf, n);
        if (out)
            *out = text;
        return pclose(p) == 0;
    }

private:
    bool Run(const std::string& command) const
    {
        return std::system((m_as + command + " >>" + m_dir.Path() + "/commands.log 2>&1").c_str()) == 0;
    }

    CTempDir m_dir{"morvane-pg"};
    std::string m_as;
    std::string m_why;
    bool m_running = false;
};
