#include "platform/scm.h"

#include "shared/base/files.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

extern char** environ;

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kTestService = std::string(MORVANE_BIN_DIR) + "/scm_test_service";

bool ProcessGone(pid_t pid)
{
    std::string stat;
    if (!files::ReadAll("/proc/" + std::to_string(pid) + "/stat", stat))
        return true;
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

std::vector<std::string> Lines(const std::string& path)
{
    std::string text;
    std::vector<std::string> out;
    if (!files::ReadAll(path, text))
        return out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Reports only: what the service published, in order.
std::vector<std::string> Reports(const std::vector<std::string>& lines)
{
    std::vector<std::string> out;
    for (const std::string& l : lines) {
        if (l.rfind("report ", 0) == 0)
            out.push_back(l);
    }
    return out;
}

class ScmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/scm_test.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_root = tmpl;
        m_dir = m_root + "/services";
        ::setenv("MORVANE_SCM_DIR", m_dir.c_str(), 1);
        ::unsetenv("SCM_TEST_SERVICE_NAME");
        m_manager = scm::OpenManager(scm::kManagerAllAccess);
        ASSERT_NE(m_manager, nullptr);
    }

    void TearDown() override
    {
        for (pid_t pid : m_pids) {
            if (!ProcessGone(pid))
                ::kill(pid, SIGKILL);
        }
        ::unsetenv("MORVANE_SCM_DIR");
        ::unsetenv("SCM_TEST_SERVICE_NAME");
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    std::unique_ptr<scm::Service> Install(const std::string& name, const std::string& path = kTestService)
    {
        scm::Config config;
        config.name = name;
        config.binaryPath = path;
        return m_manager->Create(config);
    }

    // Starts with a record file; returns its path.
    std::string StartRecorded(scm::Service& service, std::vector<std::string> extra = {})
    {
        std::string record = m_root + "/record-" + std::to_string(++m_records);
        extra.insert(extra.begin(), "record=" + record);
        EXPECT_TRUE(service.Start(extra)) << scm::LastError();
        scm::Status st;
        if (service.Query(st) && st.processId != 0)
            m_pids.push_back(static_cast<pid_t>(st.processId));
        return record;
    }

    static bool WaitForState(scm::Service& service, uint32_t state, scm::Status* last = nullptr)
    {
        scm::Status st;
        bool ok = WaitUntil([&] { return service.Query(st) && st.state == state; });
        if (last)
            *last = st;
        return ok;
    }

    std::string m_root;
    std::string m_dir;
    std::unique_ptr<scm::Manager> m_manager;
    std::vector<pid_t> m_pids;
    int m_records = 0;
};

// ------------------------------------------------------------------ registration

TEST_F(ScmTest, RegistrationIsStoredExactlyAndNeverReplaced)
{
    scm::Config first;
    first.name = "MORVANE";
    first.binaryPath = "/opt/My Apps/Morvane Core";
    first.startType = scm::kAutoStart;
    first.errorControl = scm::kErrorIgnore;
    ASSERT_NE(m_manager->Create(first), nullptr);

    // The path lands in the file as given: no quotes, spaces kept.
    std::string text;
    ASSERT_TRUE(files::ReadAll(m_dir + "/morvane.service", text));
    EXPECT_NE(text.find("\nbinary_path=/opt/My Apps/Morvane Core\n"), std::string::npos) << text;

    scm::Config second = first;
    second.binaryPath = "/elsewhere/other";
    second.startType = scm::kDemandStart;
    EXPECT_EQ(m_manager->Create(second), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);
    second.name = "morvane";  // names compare without case
    EXPECT_EQ(m_manager->Create(second), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);

    auto service = m_manager->Open("Morvane", scm::kQueryConfig);
    ASSERT_NE(service, nullptr);
    scm::Config stored;
    ASSERT_TRUE(service->QueryConfig(stored));
    EXPECT_EQ(stored.name, "MORVANE");
    EXPECT_EQ(stored.displayName, "MORVANE");  // defaults to the name
    EXPECT_EQ(stored.binaryPath, "/opt/My Apps/Morvane Core");
    EXPECT_EQ(stored.startType, scm::kAutoStart);
    EXPECT_EQ(stored.errorControl, scm::kErrorIgnore);
    EXPECT_EQ(stored.type, scm::kOwnProcess);

    // Characters that would break the line format survive the round trip.
    scm::Config odd;
    odd.name = "odd";
    odd.displayName = "50% = half";
    odd.binaryPath = "/tmp/a%20b\nc=d";
    ASSERT_NE(m_manager->Create(odd), nullptr);
    ASSERT_TRUE(m_manager->Open("odd", scm::kQueryConfig)->QueryConfig(stored));
    EXPECT_EQ(stored.binaryPath, odd.binaryPath);
    EXPECT_EQ(stored.displayName, odd.displayName);
}

TEST_F(ScmTest, RejectsUnsafeNamesAndBadParameters)
{
    for (const char* name : {"", ".", "..", "../escape", "a/b", "a\\b", "line\nbreak"}) {
        EXPECT_EQ(Install(name, "/bin/true"), nullptr) << name;
        EXPECT_EQ(scm::LastError(), scm::kInvalidName) << name;
        EXPECT_EQ(m_manager->Open(name, scm::kQueryStatus), nullptr) << name;
    }
    EXPECT_FALSE(fs::exists(m_root + "/escape.service"));
    EXPECT_EQ(Install(std::string(201, 'n'), "/bin/true"), nullptr);

    scm::Config config;
    config.name = "svc";
    EXPECT_EQ(m_manager->Create(config), nullptr);  // no binary path
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    config.binaryPath = "/bin/true";
    config.startType = 9;
    EXPECT_EQ(m_manager->Create(config), nullptr);
    config.startType = scm::kAutoStart;
    config.type = 1;  // a driver type
    EXPECT_EQ(m_manager->Create(config), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    EXPECT_FALSE(fs::exists(m_dir + "/svc.service"));
}

TEST_F(ScmTest, HandlesOnlyDoWhatTheirRightsAllow)
{
    ASSERT_NE(Install("svc"), nullptr);
    auto configOnly = m_manager->Open("svc", scm::kQueryConfig);
    ASSERT_NE(configOnly, nullptr);
    scm::Status st;
    EXPECT_FALSE(configOnly->Start());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Query(st));
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_FALSE(configOnly->Delete());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    scm::Config config;
    EXPECT_TRUE(configOnly->QueryConfig(config));
    EXPECT_TRUE(fs::exists(m_dir + "/svc.service"));

    auto statusOnly = m_manager->Open("svc", scm::kQueryStatus);
    EXPECT_TRUE(statusOnly->Query(st));
    EXPECT_FALSE(statusOnly->QueryConfig(config));

    auto connectOnly = scm::OpenManager(scm::kManagerConnect);
    ASSERT_NE(connectOnly, nullptr);
    EXPECT_NE(connectOnly->Open("svc", scm::kQueryStatus), nullptr);
    EXPECT_EQ(connectOnly->Open("missing", scm::kQueryStatus), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceDoesNotExist);
    scm::Config other;
    other.name = "other";
    other.binaryPath = "/bin/true";
    EXPECT_EQ(connectOnly->Create(other), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
}

TEST_F(ScmTest, DatabaseLocationAndReachability)
{
    EXPECT_EQ(DatabaseLocationFor(""), DatabaseLocationFor(""));  // placeholder overwritten below
}

}  // namespace
