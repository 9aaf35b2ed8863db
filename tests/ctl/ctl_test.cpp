// morvanectl against a running service and the real provider.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>

#include "platform/local_socket.h"
#include "shared/base/files.h"
#include "shared/xml/data_files.h"
#include "tests/core/service_fixture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_standin.h"

namespace {

class CtlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        m_dir = m_tmp.Path();
        setenv("MORVANE_SCM_DIR", (m_dir + "/services").c_str(), 1);
        // The service and morvanectl (which inherits it) speak UDP unless a test says otherwise.
        if (m_udp)
            setenv("MORVANE_UDP_CHANNEL", "1", 1);
        else
            unsetenv("MORVANE_UDP_CHANNEL");
        ASSERT_TRUE(m_provider.SeedDemo("203.0.113.7"));
        std::vector<std::string> tls;
        if (m_tls) {
            m_tlsFiles = std::make_unique<TlsFiles>();
            ASSERT_TRUE(m_tlsFiles->Ok());
            tls = m_tlsFiles->Serve("good");
        }
        ASSERT_TRUE(m_provider.Start(tls));
        StartManager(m_dir);
    }
    void StartManager(const std::string& dir)
    {
        ManagerOptions o;
        if (m_tls)
            o.addressCheckIntervalMs = 200;
        o.programDir = dir;
        o.providerHost = "127.0.0.1";
        o.providerPort = m_provider.Port();
        o.nat = &m_nat;
        o.superviseUpdater = false;
        m_manager = std::make_unique<CMorvaneManger>(o);
        ASSERT_TRUE(m_manager->StartManager());
    }
    void TearDown() override
    {
        m_manager.reset();
        if (!m_mounted.empty())
            umount2(m_mounted.c_str(), MNT_DETACH);
        m_tmp.Remove();
        unsetenv("MORVANE_UDP_CHANNEL");
    }
    // Runs morvanectl with `input` on its standard input; returns the exit code.
    int Ctl(const std::string& args, std::string& out, const std::string& input = "")
    {
        std::string cmd = "printf '%s' '" + input + "' | timeout -s KILL 60 '" + std::string(MORVANE_BIN_DIR) +
                          "/morvanectl' --dir '" + m_dir + "' " + args + " 2>&1";  // a hang fails, not blocks
        FILE* p = popen(cmd.c_str(), "r");
        out.clear();
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, n);
        int status = pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool m_udp = true;   // the loopback UDP channel rather than the local socket
    bool m_tls = false;  // the provider over HTTPS, with a throwaway CA
    std::unique_ptr<TlsFiles> m_tlsFiles;
    CTempDir m_tmp{"morvane-ctl"};
    std::string m_dir;
    std::string m_mounted;
    CProviderProcess m_provider;
    CTestNat m_nat;
    std::unique_ptr<CMorvaneManger> m_manager;
};

// The same commands over either channel.
class CtlChannelTest : public CtlTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        m_udp = GetParam();
        CtlTest::SetUp();
    }
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Channels, CtlChannelTest, ::testing::Values(true, false),
                         [](const auto& param) { return param.param ? "udp" : "local"; });

TEST_P(CtlChannelTest, LoginDomainsAndSwitches)
{
    std::string out;
    EXPECT_EQ(Ctl("domains", out), 7) << out;  // nothing remembered yet
    EXPECT_NE(out.find("morvanectl login"), std::string::npos);

    EXPECT_EQ(Ctl("login demo", out, "wrong\n"), 5) << out;
    EXPECT_EQ(Ctl("login demo", out, "demo\n"), 0) << out;
    EXPECT_NE(out.find("demo2.example.net"), std::string::npos);
    EXPECT_NE(out.find("203.0.113.7"), std::string::npos);
    std::string user, digest;
    ASSERT_TRUE(datafile::ReadLogin(m_dir + "/user.xml", user, digest));
    EXPECT_EQ(user, "demo");
    EXPECT_EQ(digest, kDemoDigest);  // the digest, never the password

    EXPECT_EQ(Ctl("on demo2.example.net", out), 0) << out;
    std::string history;
    m_provider.Admin({"history"}, &history);
    EXPECT_NE(history.find("203.0.113.7"), std::string::npos);
    EXPECT_EQ(Ctl("--json domains", out), 0) << out;
    EXPECT_NE(out.find("{\"hostid\":2,\"domain\":\"demo2.example.net\",\"data\":\"203.0.113.7\",\"enabled\":true}"),
              std::string::npos)
        << out;
    EXPECT_EQ(Ctl("off 2", out), 0) << out;
    EXPECT_EQ(Ctl("on nosuch.example.net", out), 1) << out;

    EXPECT_EQ(Ctl("map 8080/udp", out), 0) << out;
    EXPECT_EQ(Ctl("--json ports", out), 0) << out;
    EXPECT_NE(out.find("{\"port\":8080,\"protocol\":\"UDP\",\"mapped\":true,\"enabled\":true}"), std::string::npos)
        << out;
    EXPECT_EQ(Ctl("disable 8080/udp", out), 0) << out;
    EXPECT_EQ(Ctl("delete 8080/udp", out), 0) << out;
    EXPECT_EQ(Ctl("ports", out), 0) << out;
    EXPECT_NE(out.find("No port mappings"), std::string::npos) << out;
}

TEST_F(CtlTest, ClearErrors)
{
    std::string out;
    EXPECT_EQ(Ctl("--help", out), 0);
    EXPECT_NE(out.find("Exit codes"), std::string::npos);
    EXPECT_EQ(Ctl("frobnicate", out), 1) << out;  // a usage error, before anything else
    EXPECT_NE(out.find("unknown command"), std::string::npos);
    EXPECT_EQ(Ctl("ports", out), 7) << out;  // needs a login first: says so
    ASSERT_TRUE(datafile::WriteLogin(m_dir + "/user.xml", "demo", kDemoDigest));
    EXPECT_EQ(Ctl("map 70000", out), 1) << out;
    EXPECT_EQ(Ctl("map 80/sctp", out), 1) << out;
    // Nothing answers and no service is registered.
    m_manager.reset();
    EXPECT_EQ(Ctl("--timeout 1 domains", out), 2) << out;
    EXPECT_NE(out.find("not installed"), std::string::npos);
    EXPECT_EQ(Ctl("service status", out), 2) << out;
}

TEST_F(CtlTest, SaysPermissionDeniedAndNeverTalksToAnotherUsersSocket)
{
    std::string out;
    ASSERT_EQ(Ctl("login demo", out, "demo\n"), 0) << out;
    const int port = datafile::ReadPort(m_dir + "/user.xml");
    ASSERT_GT(port, 0);

    // Outside the directory's group: said plainly, not "not running" or "no remembered login".
    ASSERT_EQ(chmod(m_dir.c_str(), 0770), 0);
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    std::string cmd = asNobody + "'" + std::string(MORVANE_BIN_DIR) + "/morvanectl' --dir '" + m_dir + "' domains 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf, p);
    out.assign(buf, n);
    int status = pclose(p);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 10) << out;
    EXPECT_NE(out.find("permission denied"), std::string::npos) << out;
    EXPECT_NE(out.find("join group"), std::string::npos) << out;

    // The service gone and its port taken by another user: the login is not sent there.
    m_manager.reset();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t squatter = fork();
    if (squatter == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        char ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 ? 1 : 0;
        if (write(ready[1], &ok, 1) != 1)
            _exit(100);
        int got = 0;
        pollfd pfd{s, POLLIN, 0};
        while (poll(&pfd, 1, 2000) > 0 && recv(s, buf, sizeof buf, 0) >= 0)
            ++got;
        _exit(got);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(Ctl("--timeout 1 domains", out), 3) << out;
    EXPECT_NE(out.find("held by nobody (uid 65534)"), std::string::npos) << out;
    ASSERT_EQ(waitpid(squatter, &status, 0), squatter);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the squatter received the login";
    close(ready[0]);
    close(ready[1]);

    // On the local socket: nobody's socket in the service's place gets nothing either.
    unsetenv("MORVANE_UDP_CHANNEL");
    ASSERT_EQ(chmod(m_dir.c_str(), 0777), 0);
    ASSERT_EQ(pipe(ready), 0);
    squatter = fork();
    if (squatter == 0) {
        platform::CLocalListener socket;
        if (setgid(65534) != 0 || setuid(65534) != 0 || !socket.Listen(m_dir + "/channel", 4, 0666, gid_t(-1)) ||
            write(ready[1], &ok, 1) != 1)
            _exit(100);
        pollfd pfd{socket.Fd(), POLLIN, 0};
        int c = poll(&pfd, 1, 3000) > 0 ? accept(socket.Fd(), nullptr, nullptr) : -1;
        pfd = {c, POLLIN, 0};
        _exit(poll(&pfd, 1, 1000) > 0 && recv(c, buf, sizeof buf, 0) > 0 ? 1 : 0);
    }
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(Ctl("--timeout 1 domains", out), 3) << out;
    EXPECT_NE(out.find("the channel " + m_dir + "/channel is served by nobody (uid 65534)"), std::string::npos) << out;
    ASSERT_EQ(waitpid(squatter, &status, 0), squatter);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the stranger received the login";
    close(ready[0]);
    close(ready[1]);
}

TEST_F(CtlTest, ProviderTroubleAndAFullDiskAreFailures)
{
    std::string out;
    // The data directory on a small file system of its own, filled up, in a mount namespace only
    // this test process (and the programs it starts) sees.
    m_manager.reset();
    ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    std::string full = m_dir + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
    m_mounted = full;
    StartManager(full);
    ASSERT_EQ(Ctl("--dir '" + full + "' login demo", out, "demo\n"), 0) << out;
    ASSERT_EQ(datafile::ReadSwitch(full + "/domain.xml", 2), 0);
    {
        int fd = open((full + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
        char block[4096] = {};
        while (write(fd, block, sizeof block) > 0) {
        }
        close(fd);
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Ctl("--dir '" + full + "' on demo2.example.net", out), 6) << out;
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find("nothing was changed"), std::string::npos) << out;
    EXPECT_NE(log.find("cannot save " + full + "/domain.xml: No space left on device"), std::string::npos) << log;
    EXPECT_EQ(datafile::ReadSwitch(full + "/domain.xml", 2), 0);
    m_manager->RequestStop();
    ASSERT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(5000)));
    ASSERT_EQ(m_manager->Domains().size(), 3u);
    EXPECT_EQ(m_manager->Domains()[1].enabled, 0);

    // No provider: the login says so, with its own exit code.
    StartManager(m_dir);
    m_provider.Stop();
    EXPECT_EQ(Ctl("login demo", out, "demo\n"), 8) << out;
    EXPECT_NE(out.find("could not be reached"), std::string::npos) << out;
}

// A member holding the data files' locks for good: requests fail within seconds and say which file,
// a stop is not held up by the wait, and once the holder lets go the next request goes through.
TEST_F(CtlTest, HeldLocksFailWithinSecondsAndNeverDelayAStop)
{
    std::string out, login;
    ASSERT_EQ(Ctl("login demo", out, "demo\n"), 0) << out;
    int locks[2];
    for (int i : {0, 1}) {
        locks[i] =
            open((m_dir + (i ? "/user.xml.lock" : "/domain.xml.lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
        ASSERT_EQ(flock(locks[i], LOCK_EX), 0);
    }
    std::thread loginThread([&] { Ctl("login demo", login, "demo\n"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // logged in, waiting for user.xml's lock
    ::testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ctl("on demo2.example.net", out), 6) << out;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_NE(out.find(m_dir + "/domain.xml is locked by another program"), std::string::npos) << out;
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("cannot save " + m_dir + "/domain.xml: another program has held its lock (domain.xml.lock)"),
              std::string::npos)
        << log;
    loginThread.join();
    EXPECT_NE(login.find("cannot save " + m_dir + "/user.xml: another program has held its lock"), std::string::npos)
        << login;

    // A stop while the worker waits for the lock: the request is answered as failed, the stop is prompt.
    CRawClient raw;
    raw.Send(m_manager->ChannelPort(), CMD_SET_DOMAIN_STATE, [](OutPacket& o) {
        o.WriteU16Host(1);
        o.WriteU32Host(2);
        o.WriteU8(1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    m_manager->RequestStop();
    EXPECT_TRUE(m_manager->WaitThread(std::chrono::milliseconds(2000))) << "the stop waited for the lock";
    auto reply = raw.ReceiveCommand(CMD_SET_DOMAIN_STATE, 1000);
    EXPECT_TRUE(reply && (*reply)[20] == 0);
    close(locks[0]);
    close(locks[1]);
    StartManager(m_dir);
    EXPECT_EQ(Ctl("on demo2.example.net", out), 0) << out;
}

// A dyndns2 account on the provider over HTTPS, the address from a check-IP stand-in.
class CtlDyndns2Test : public CtlTest {
protected:
    void SetUp() override
    {
        m_tls = true;
        CtlTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(m_checkIp.Start(m_tlsFiles->Path("good.pem"), m_tlsFiles->Path("good.key"),
                                    [](const std::string&) { return std::string("198.51.100.7\n"); }));
        ASSERT_EQ(m_provider.Admin({"add-account", "alice"}, nullptr, "s3cret pw\n"), 0);
        ASSERT_EQ(m_provider.Admin({"add-host", "alice", "a.example.net"}), 0);
        ASSERT_EQ(m_provider.Admin({"add-host", "alice", "b.example.net"}), 0);
    }
    int Updates()
    {
        std::string history;
        m_provider.Admin({"history"}, &history);
        return static_cast<int>(std::count(history.begin(), history.end(), '\n'));
    }
    CTlsStandIn m_checkIp;
};

TEST_F(CtlDyndns2Test, ConfigureLogInSwitchOnAndNoRepeats)
{
    std::string out;
    std::string set = "provider set dyndns2 --server https://127.0.0.1:" + std::to_string(m_provider.Port()) +
                      " --user alice --host a.example.net --host b.example.net --host c.example.net --no-router" +
                      " --ca-file " + m_tlsFiles->Path("ca.pem") + " --check-ip " + m_checkIp.Url("/ip");
    EXPECT_EQ(Ctl(set + " --password s3cret", out), 1) << out;  // never from the command line
    // A member's link in its place, run as root (as the documented sudo command does): replaced, and
    // the target keeps its content, mode and group.
    const std::string secret = m_dir + "/shadow";
    ASSERT_TRUE(files::ReplaceAtomically(secret, "root:*:19000::::::\n", 0640));
    ASSERT_EQ(chown(secret.c_str(), 0, 42), 0);
    ASSERT_EQ(chown(m_dir.c_str(), static_cast<uid_t>(-1), 65534), 0);
    ASSERT_EQ(symlink(secret.c_str(), (m_dir + "/provider.conf").c_str()), 0);
    EXPECT_EQ(Ctl(set, out, "s3cret pw\n"), 0) << out;
    struct stat st {};
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(std::make_pair(st.st_mode & 07777, st.st_gid), std::make_pair(0640u, 42u));
    std::string content;
    EXPECT_TRUE(files::ReadAll(secret, content) && content == "root:*:19000::::::\n") << content;
    ASSERT_EQ(lstat((m_dir + "/provider.conf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(std::make_pair(st.st_mode & 07777, st.st_gid), std::make_pair(0660u, 65534u)) << "the directory's group";
    EXPECT_EQ(Ctl("provider show", out), 0) << out;
    EXPECT_NE(out.find("dyndns2"), std::string::npos) << out;
    EXPECT_NE(out.find("b.example.net"), std::string::npos) << out;
    EXPECT_EQ(out.find("s3cret"), std::string::npos) << out;

    EXPECT_EQ(Ctl("login alice", out, "wrong\n"), 5) << out;
    EXPECT_EQ(Ctl("login alice", out, "s3cret pw\n"), 0) << out;
    EXPECT_NE(out.find("a.example.net"), std::string::npos) << out;
    EXPECT_NE(out.find("198.51.100.7"), std::string::npos) << out;

    // c is not the account's: the provider answers "nohost", which stops c and only c.
    int before = Updates();
    EXPECT_EQ(Ctl("on a.example.net c.example.net", out), 0) << out;
    EXPECT_NE(out.find("a.example.net: switched on (result 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("c.example.net: switched on - not updated by the provider (result 0)"), std::string::npos)
        << out;
    EXPECT_EQ(Updates(), before + 1);
    std::string history;
    m_provider.Admin({"history"}, &history);
    EXPECT_NE(history.find("alice\t198.51.100.7\t1"), std::string::npos) << history;
    // Address checks every 200 ms find the same address: nothing more is sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    EXPECT_EQ(Updates(), before + 1);

    EXPECT_EQ(Ctl("provider set web-service", out), 0) << out;
    EXPECT_EQ(Ctl("--json provider show", out), 0) << out;
    EXPECT_NE(out.find("\"kind\":\"web-service\""), std::string::npos) << out;
}

// Both families from one interface (loopback with public documentation addresses, in this test's own
// network namespace): both reach the provider in one request, domains and --json show both.
TEST_F(CtlDyndns2Test, BothFamiliesFromAnInterfaceShownAndSent)
{
    ASSERT_EQ(std::system("ip addr add 203.0.113.77/32 dev lo && ip addr add 2001:db8::77/128 dev lo"), 0);
    std::string out;
    std::string set = "provider set dyndns2 --server https://127.0.0.1:" + std::to_string(m_provider.Port()) +
                      " --user alice --host a.example.net --ip both --interface lo --ca-file " +
                      m_tlsFiles->Path("ca.pem");
    EXPECT_NE(Ctl(set + " --dual-request separate --ip ipv4", out, "s3cret pw\n"), 0) << out;
    EXPECT_NE(Ctl(set + " --host b.example.net=2001:db8::1", out, "s3cret pw\n"), 0) << out;
    ASSERT_EQ(Ctl(set, out, "s3cret pw\n"), 0) << out;
    EXPECT_EQ(Ctl("login alice", out, "s3cret pw\n"), 0) << out;
    EXPECT_EQ(Ctl("on a.example.net", out), 0) << out;
    std::string hosts;
    ASSERT_TRUE(WaitUntil([&] {
        m_provider.Admin({"hosts"}, &hosts);
        return hosts.find("2001:db8::77") != std::string::npos && hosts.find("203.0.113.77") != std::string::npos;
    }));
    EXPECT_EQ(Updates(), 2);  // a history row per family, and no repeats
    EXPECT_EQ(Ctl("domains", out), 0) << out;
    EXPECT_NE(out.find("Public address: 203.0.113.77\nPublic IPv6:    2001:db8::77\n"), std::string::npos) << out;
    EXPECT_EQ(Ctl("--json domains", out), 0) << out;
    EXPECT_NE(out.find("\"address\":\"203.0.113.77\",\"address6\":\"2001:db8::77\""), std::string::npos) << out;
}

TEST_F(CtlDyndns2Test, SeveralAccountsAddedShownLoggedIntoAndRemoved)
{
    std::string out, file;
    const std::string common =
        " --no-router --ca-file " + m_tlsFiles->Path("ca.pem") + " --check-ip " + m_checkIp.Url("/ip");
    CTlsStandIn duck;
    ASSERT_TRUE(duck.Start(m_tlsFiles->Path("good.pem"), m_tlsFiles->Path("good.key"),
                           [](const std::string&) { return std::string("OK"); }));
    const std::string token = m_dir + "/duck.token";
    ASSERT_TRUE(files::ReplaceAtomically(token, "duck-t0ken\n", 0600));
    const std::string addDuck = "provider add duckdns --name duck --server " + duck.Url("") +
                                " --host home.duckdns.org --token-file " + token + common;
    // Errors in words, nothing written.
    EXPECT_EQ(Ctl("provider add duckdns --host home.duckdns.org --token x", out), 1) << out;
    EXPECT_NE(out.find("never taken from the command line"), std::string::npos) << out;
    EXPECT_EQ(Ctl("provider set cloudflare --host a.example.net --zone example.net", out), 1) << out;
    EXPECT_NE(out.find("--zone is for nsupdate accounts"), std::string::npos) << out;
    EXPECT_EQ(
        Ctl("provider set nsupdate --server 127.0.0.1 --zone example.net --host a.example.org --key-file " + token,
            out),
        1)
        << out;
    EXPECT_NE(out.find("not in zone example.net"), std::string::npos) << out;
    EXPECT_FALSE(files::Exists(m_dir + "/provider.conf"));

    EXPECT_EQ(Ctl("provider add dyndns2 --server https://127.0.0.1:" + std::to_string(m_provider.Port()) +
                      " --user alice --host a.example.net" + common,
                  out, "s3cret pw\n"),
              0)
        << out;
    ASSERT_TRUE(files::ReadAll(m_dir + "/provider.conf", file));
    EXPECT_EQ(file.find("account="), std::string::npos) << "one unnamed account is written as before";
    EXPECT_EQ(Ctl(addDuck, out), 0) << out;
    EXPECT_EQ(Ctl(addDuck, out), 1) << out;  // the name is taken
    EXPECT_EQ(
        Ctl("provider add url --name other --url https://127.0.0.1:1/u?ip={ipv4} --host home.duckdns.org", out, "pw\n"),
        1)
        << out;
    EXPECT_NE(out.find("more than one account"), std::string::npos) << out;
    EXPECT_EQ(Ctl("--json provider show", out), 0) << out;
    EXPECT_NE(out.find("\"accounts\":[{\"kind\":\"dyndns2\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"name\":\"duck\""), std::string::npos) << out;
    EXPECT_EQ(out.find("duck-t0ken"), std::string::npos) << out;

    // The DuckDNS account's name and token log in; both accounts' hosts are listed and updated.
    EXPECT_EQ(Ctl("login duck", out, "wrong\n"), 5) << out;
    EXPECT_EQ(Ctl("login duck", out, "duck-t0ken\n"), 0) << out;
    int before = Updates();
    EXPECT_EQ(Ctl("on a.example.net home.duckdns.org", out), 0) << out;
    EXPECT_NE(out.find("home.duckdns.org: switched on (result 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("a.example.net: switched on (result 1)"), std::string::npos) << out;
    EXPECT_EQ(Updates(), before + 1);
    ASSERT_EQ(duck.Requests().size(), 1u);
    EXPECT_NE(duck.Requests()[0].find("GET /update?domains=home&token=duck-t0ken&ip=198.51.100.7 "), std::string::npos);

    EXPECT_EQ(Ctl("provider remove nobody", out), 1) << out;
    EXPECT_EQ(Ctl("provider remove duck", out), 0) << out;
    EXPECT_EQ(Ctl("provider show", out), 0) << out;
    EXPECT_EQ(out.find("duck"), std::string::npos) << out;
}
