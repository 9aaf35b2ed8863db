// MorvaneCore as a program: command line, registration, and its life under the service control layer.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "platform/scm.h"
#include "shared/base/files.h"
#include "shared/xml/data_files.h"
#include "shared/xml/xml_document.h"
#include "tests/core/service_fixture.h"
#include "tests/core/webservice/raw_server.h"
#include "tests/support/temp_dir.h"

namespace {

// Runs a program to its end; returns its exit code and how long it took.
int RunProgram(const std::vector<std::string>& args, double* seconds = nullptr)
{
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (seconds)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK();
        m_root = m_tmp.Path();
        m_prog = m_root + "/Program Files/Morvane";  // a path with spaces
        std::filesystem::create_directories(m_prog);
        for (const char* name : {"MorvaneCore", "libnat.so"})
            std::filesystem::copy_file(std::string(MORVANE_BIN_DIR) + "/" + name, m_prog + "/" + name);
        setenv("MORVANE_SCM_DIR", (m_root + "/services").c_str(), 1);
        setenv("MORVANE_UDP_CHANNEL", "1", 1);  // the service the tests start speaks UDP too
        ASSERT_EQ(m_provider.Admin({"init"}), 0);
        ASSERT_EQ(m_provider.Admin({"seed-demo"}), 0);
        ASSERT_EQ(m_provider.Admin({"set-address", "203.0.113.7"}), 0);
        ASSERT_TRUE(m_provider.Start());
        setenv("MORVANE_PROVIDER", ("127.0.0.1:" + std::to_string(m_provider.Port())).c_str(), 1);
    }
    void TearDown() override
    {
        if (auto manager = scm::OpenManager(scm::kManagerAllAccess)) {
            if (auto service = manager->Open("MORVANE", scm::kServiceAllAccess)) {
                scm::Status st;
                service->Control(scm::kStop, st);
                WaitUntil([&] { return service->Query(st) && st.state == scm::kStopped; }, std::chrono::seconds(10));
                service->Delete();
            }
        }
        m_tmp.Remove();
        unsetenv("MORVANE_UDP_CHANNEL");
    }
    std::string Core() const { return m_prog + "/MorvaneCore"; }
    std::unique_ptr<scm::Service> Open()
    {
        auto manager = scm::OpenManager(scm::kManagerAllAccess);
        return manager ? manager->Open("MORVANE", scm::kServiceAllAccess) : nullptr;
    }
    // Starts the installed service and waits until it reports running and publishes its port.
    std::unique_ptr<scm::Service> StartService()
    {
        EXPECT_EQ(RunProgram({Core(), "-i"}), 0);
        auto service = Open();
        EXPECT_TRUE(service && service->Start());
        scm::Status st;
        EXPECT_TRUE(WaitUntil([&] { return service->Query(st) && st.state == scm::kRunning; }));
        return service;
    }
    bool WaitStopped(scm::Service& service, int ms = 10000)
    {
        scm::Status st;
        return WaitUntil([&] { return service.Query(st) && st.state == scm::kStopped; }, std::chrono::milliseconds(ms));
    }

    CTempDir m_tmp{"morvane-program"};
    std::string m_root, m_prog;
    CProviderProcess m_provider;
};

}  // namespace

TEST_F(ProgramTest, CommandLine)
{
    // Only the exact "-i" and "-r" do something; every run exits with 0 at once.
    for (const char* arg : {"-I", "/i", "install", "-R"}) {
        double seconds = 0;
        EXPECT_EQ(RunProgram({Core(), arg}, &seconds), 0) << arg;
        EXPECT_LT(seconds, 2.0) << arg;
    }
    EXPECT_EQ(Open(), nullptr);
    // Started by hand, outside the service manager, the dispatcher gives up at once.
    double seconds = 0;
    EXPECT_EQ(RunProgram({Core()}, &seconds), 0);
    EXPECT_LT(seconds, 2.0);

    // Installed with the full path, unquoted, auto start, errors ignored; a second install changes nothing.
    EXPECT_EQ(RunProgram({Core(), "-i"}), 0);
    auto service = Open();
    ASSERT_NE(service, nullptr);
    scm::Config config;
    ASSERT_TRUE(service->QueryConfig(config));
    EXPECT_EQ(config.binaryPath, Core());
    EXPECT_EQ(config.displayName, "MORVANE");
    EXPECT_EQ(config.startType, scm::kAutoStart);
    EXPECT_EQ(config.errorControl, scm::kErrorIgnore);
    std::filesystem::create_directories(m_root + "/other");
    for (const char* name : {"MorvaneCore", "libnat.so"})
        std::filesystem::copy_file(m_prog + "/" + name, m_root + "/other/" + name);
    EXPECT_EQ(RunProgram({m_root + "/other/MorvaneCore", "-i"}), 0);
    ASSERT_TRUE(Open()->QueryConfig(config));
    EXPECT_EQ(config.binaryPath, Core());

    EXPECT_EQ(RunProgram({Core(), "-r"}), 0);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(RunProgram({Core(), "-r"}), 0);  // not there: still 0
}

TEST_F(ProgramTest, RunsServesAndStops)
{
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return datafile::ReadPort(m_prog + "/user.xml") == 10000; }));

    CRawClient client;
    client.Send(10000, CMD_LOGIN, [](OutPacket& out) {
        out.WriteString(std::string_view("demo"));
        out.WriteString(std::string_view(kDemoDigest));
    });
    auto reply = client.ReceiveCommand(0, 10000);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)[20], 1);

    // Pause, continue and interrogate change nothing.
    scm::Status st;
    for (uint32_t code : {scm::kPause, scm::kContinue, scm::kInterrogate}) {
        service->Control(code, st);
        ASSERT_TRUE(service->Query(st));
        EXPECT_EQ(st.state, scm::kRunning) << code;
    }
    client.Send(10000, CMD_SET_DOMAIN_STATE, [](OutPacket& out) {
        out.WriteU16Host(1);
        out.WriteU32Host(2);
        out.WriteU8(0);
    });
    EXPECT_TRUE(client.ReceiveCommand(CMD_SET_DOMAIN_STATE).has_value());

    auto begin = std::chrono::steady_clock::now();
    ASSERT_TRUE(service->Control(scm::kStop, st));
    ASSERT_TRUE(WaitStopped(*service));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 5.0);
    EXPECT_EQ(st.win32ExitCode, 0u);
    // The channel is gone with it.
    client.Send(10000, CMD_SET_DOMAIN_STATE, [](OutPacket& out) { out.WriteU16Host(1); });
    EXPECT_FALSE(client.Receive(300).has_value());

    // SIGTERM is a stop as well.
    ASSERT_TRUE(service->Start());
    ASSERT_TRUE(WaitUntil([&] { return service->Query(st) && st.state == scm::kRunning && st.processId != 0; }));
    kill(static_cast<pid_t>(st.processId), SIGTERM);
    ASSERT_TRUE(WaitStopped(*service));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.win32ExitCode, 0u);  // reported stopped, not found dead
}

// Mapping attempts that all fail (no gateway at all here) under a tight descriptor limit: each must
// give back what it opened, the service keeps answering, does not spin, and still stops.
TEST_F(ProgramTest, ManyFailedMappingsUnderALowDescriptorLimit)
{
    setenv("MORVANE_NAT_METHOD", "natpmp", 1);
    auto service = StartService();
    unsetenv("MORVANE_NAT_METHOD");
    scm::Status st;
    ASSERT_TRUE(service->Query(st) && st.processId != 0);
    const pid_t pid = static_cast<pid_t>(st.processId);
    rlimit limit{32, 32};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
    ASSERT_TRUE(WaitUntil([&] { return datafile::ReadPort(m_prog + "/user.xml") == 10000; }));
    auto openDescriptors = [&] {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
            ++n;
        return n;
    };
    const size_t before = openDescriptors();

    CRawClient client;
    for (uint16_t i = 0; i < 60; ++i) {
        client.Send(10000, CMD_MAP_PORTS, [&](OutPacket& out) {
            out.WriteU16Host(1);
            WritePortMapEntry(out, PortMapEntry{static_cast<uint16_t>(9000 + i), 0, 1, 1});
        });
        auto reply = client.ReceiveCommand(CMD_MAP_PORTS, 10000);
        ASSERT_TRUE(reply.has_value()) << "no answer to attempt " << i;
        EXPECT_EQ((*reply)[20], 0) << "a mapping without a gateway reported as done";
    }
    EXPECT_LE(openDescriptors(), before + 2);

    // Idle means idle.
    auto cpu = [&] {
        std::string stat;
        files::ReadAll("/proc/" + std::to_string(pid) + "/stat", stat);
        std::istringstream in(stat.substr(stat.rfind(')') + 2));
        std::string field;
        unsigned long ticks = 0;
        for (int i = 3; i <= 15 && in >> field; ++i)
            if (i >= 14)
                ticks += std::stoul(field);
        return ticks;
    };
    const unsigned long cpuBefore = cpu();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(cpu() - cpuBefore, 20u) << "ticks of CPU in one idle second";

    ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
    EXPECT_TRUE(WaitStopped(*service));
}

TEST_F(ProgramTest, StopDuringAProviderCallIsPromptAndLogged)
{
    // A provider that accepts and never answers: the worker sits in a call when the stop comes.
    CRawServer silent;
    silent.SetReply("", CRawServer::Mode::NeverAnswer);
    setenv("MORVANE_PROVIDER", ("127.0.0.1:" + std::to_string(silent.Port())).c_str(), 1);
    ASSERT_TRUE(datafile::WriteLogin(m_prog + "/user.xml", "demo", kDemoDigest));
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return !silent.Requests().empty(); }));
    auto begin = std::chrono::steady_clock::now();
    scm::Status st;
    ASSERT_TRUE(service->Control(scm::kStop, st));
    ASSERT_TRUE(WaitStopped(*service));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 3.0);

    std::string log;
    ASSERT_TRUE(files::ReadAll(m_root + "/services/morvane.log", log));
    EXPECT_NE(log.find("<6>service started: channel on " + m_prog + "/channel and 127.0.0.1:10000, provider http://"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("<6>stop requested\n"), std::string::npos) << log;
    EXPECT_NE(log.find("getDynamicIP failed: cut short by a stop\n"), std::string::npos) << log;
    EXPECT_NE(log.find("<6>service stopped\n"), std::string::npos) << log;
    EXPECT_EQ(log.find(kDemoDigest), std::string::npos);
}

TEST_F(ProgramTest, StopsCleanlyWhenTheManagerCouldNotStart)
{
    // Every channel port taken: the service stays reported running, idle, and still stops.
    std::vector<int> taken;
    for (int port = 10000; port < 10010; ++port) {
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        taken.push_back(s);
    }
    auto service = StartService();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    scm::Status st;
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kRunning);
    ASSERT_TRUE(service->Control(scm::kStop, st));
    ASSERT_TRUE(WaitStopped(*service));
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.win32ExitCode, 0u);
    for (int s : taken)
        close(s);
}

TEST_F(ProgramTest, KilledDuringStoresLeavesWellFormedFiles)
{
    auto service = StartService();
    ASSERT_TRUE(WaitUntil([&] { return datafile::ReadPort(m_prog + "/user.xml") == 10000; }));
    scm::Status st;
    ASSERT_TRUE(service->Query(st));
    CRawClient client;
    std::atomic<bool> sending{true};
    std::thread burst([&] {
        for (uint16_t port = 1; sending && port < 60000; ++port)
            client.Send(10000, CMD_STORE_PORTS, [&](OutPacket& out) {
                std::vector<PortMapEntry> list;
                for (int i = 0; i < 20; ++i)
                    list.push_back(PortMapEntry{static_cast<uint16_t>(port * 20 + i), 0, 0, 1});
                WritePortList(out, list);
            });
    });
    ASSERT_TRUE(WaitUntil([&] { return files::Exists(m_prog + "/mapport.xml"); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(static_cast<pid_t>(st.processId), SIGKILL);
    sending = false;
    burst.join();
    ASSERT_TRUE(WaitStopped(*service));
    for (const char* name : {"/user.xml", "/mapport.xml"}) {
        CXmlDocument doc;
        EXPECT_TRUE(doc.LoadFile(m_prog + name)) << name << "\n" << doc.ResultNotes();
    }
    std::vector<PortMapEntry> stored;
    EXPECT_TRUE(datafile::ReadAllMappings(m_prog + "/mapport.xml", stored));
    EXPECT_FALSE(stored.empty());
}
