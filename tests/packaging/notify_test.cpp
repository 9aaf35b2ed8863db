// The service side under systemd: the notify datagrams a Type=notify service must send, checked
// against a socket of our own standing in for systemd, with the real dispatcher in the stand-in
// service program.

#include "platform/posix/scm_systemd.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kTestService = std::string(MORVANE_BIN_DIR) + "/scm_test_service";

// A datagram socket bound where systemd would put its notify socket.
class FakeNotifySocket {
public:
    explicit FakeNotifySocket(const std::string& name) : m_name(name)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, name.data(), name.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        if (name[0] == '@')
            addr.sun_path[0] = '\0';
        else
            ++length;
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), length) == 0;
    }
    ~FakeNotifySocket()
    {
        ::close(m_fd);
        if (m_name[0] == '/')
            ::unlink(m_name.c_str());
    }
    bool Bound() const { return m_bound; }
    // Next datagram, or "<none>" after timeoutMs.
    std::string Receive(int timeoutMs = 5000)
    {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) != 1)
            return "<none>";
        char buffer[4096];
        ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? "<error>" : std::string(buffer, static_cast<size_t>(n));
    }

private:
    std::string m_name;
    int m_fd = -1;
    bool m_bound = false;
};

class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_dir = m_tmp.Path();
    }
    void TearDown() override
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }

    // Starts the stand-in service with exactly `env` (no database directory: systemd's way).
    void Spawn(std::vector<std::string> env)
    {
        env.push_back("PATH=/usr/bin:/bin");
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string program = kTestService;
        char* argv[] = {program.data(), nullptr};
        ASSERT_EQ(::posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    }

    // Exit code, or -1 when it has not ended within timeoutMs.
    int WaitExit(int timeoutMs = 10000)
    {
        int status = 0;
        if (!WaitUntil([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; },
                       std::chrono::milliseconds(timeoutMs)))
            return -1;
        m_pid = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    CTempDir m_tmp{"notify_test"};
    std::string m_dir;
    pid_t m_pid = 0;
};

TEST_F(NotifyTest, DatagramsReachPathAndAbstractSocketsExactly)
{
    FakeNotifySocket path(m_dir + "/notify");
    ASSERT_TRUE(path.Bound());
    EXPECT_TRUE(scm::systemd::Notify(m_dir + "/notify", "READY=1\nSTATUS=Running"));
    EXPECT_EQ(path.Receive(), "READY=1\nSTATUS=Running");

    const std::string abstractName = "@morvane-notify-test-" + std::to_string(::getpid());
    FakeNotifySocket abstract(abstractName);
    ASSERT_TRUE(abstract.Bound());
    EXPECT_TRUE(scm::systemd::Notify(abstractName, "STOPPING=1"));
    EXPECT_EQ(abstract.Receive(), "STOPPING=1");
    // Nothing stray went to the other socket.
    EXPECT_EQ(path.Receive(50), "<none>");

    EXPECT_FALSE(scm::systemd::Notify("", "READY=1"));
    EXPECT_FALSE(scm::systemd::Notify("relative/notify", "READY=1"));
    EXPECT_FALSE(scm::systemd::Notify(m_dir + "/nobody-listens", "READY=1"));
    EXPECT_FALSE(scm::systemd::Notify("/" + std::string(200, 'x'), "READY=1"));
}

TEST_F(NotifyTest, ServiceReportsReadyAndStopsOnSigterm)
{
    FakeNotifySocket notify(m_dir + "/notify");
    ASSERT_TRUE(notify.Bound());
    Spawn({"MORVANE_SCM_BACKEND=systemd", "MORVANE_SCM_SERVICE=ScmTestSvc", "NOTIFY_SOCKET=" + m_dir + "/notify"});
    EXPECT_EQ(notify.Receive(), "STATUS=Starting");
    EXPECT_EQ(notify.Receive(), "READY=1\nSTATUS=Running");
    EXPECT_EQ(notify.Receive(100), "<none>");
    ASSERT_EQ(::kill(m_pid, SIGTERM), 0);
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopped");
    EXPECT_EQ(WaitExit(), 0);
    EXPECT_EQ(notify.Receive(50), "<none>");
}

TEST_F(NotifyTest, AbstractNotifySocketAndNameInAnyCase)
{
    const std::string name = "@morvane-notify-svc-" + std::to_string(::getpid());
    FakeNotifySocket notify(name);
    ASSERT_TRUE(notify.Bound());
    Spawn({"MORVANE_SCM_BACKEND=systemd", "MORVANE_SCM_SERVICE=scmtestsvc", "NOTIFY_SOCKET=" + name});
    ASSERT_EQ(notify.Receive(), "STATUS=Starting");
    ASSERT_EQ(notify.Receive(), "READY=1\nSTATUS=Running");
    // The stand-in starts its worker just after reporting running; let it.
    EXPECT_EQ(notify.Receive(100), "<none>");
    ::kill(m_pid, SIGTERM);
    EXPECT_EQ(notify.Receive(), "STOPPING=1\nSTATUS=Stopped");
    EXPECT_EQ(WaitExit(), 0);
}

TEST_F(NotifyTest, NotStartedBySystemdMeansNoService)
{
    FakeNotifySocket notify(m_dir + "/notify");
    ASSERT_TRUE(notify.Bound());
    // Started from a shell on a systemd machine: no notify socket.
    Spawn({"MORVANE_SCM_BACKEND=systemd", "MORVANE_SCM_SERVICE=ScmTestSvc"});
    EXPECT_EQ(WaitExit(), 2);
    // Another service's unit.
    Spawn({"MORVANE_SCM_BACKEND=systemd", "MORVANE_SCM_SERVICE=Other", "NOTIFY_SOCKET=" + m_dir + "/notify"});
    EXPECT_EQ(WaitExit(), 2);
    // Inherited from some service's environment, without our unit's name.
    Spawn({"MORVANE_SCM_BACKEND=systemd", "NOTIFY_SOCKET=" + m_dir + "/notify"});
    EXPECT_EQ(WaitExit(), 2);
    EXPECT_EQ(notify.Receive(50), "<none>");
}

}  // namespace
