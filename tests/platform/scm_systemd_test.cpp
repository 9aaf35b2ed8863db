// The systemd backend's manager side against a stand-in systemctl: a shell script that keeps unit
// state in files, loads unit files only on daemon-reload (as systemd does) and logs every call.

#include "platform/posix/scm_systemd.h"
#include "platform/scm.h"

#include "shared/base/files.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

constexpr const char* kFakeSystemctl = R"SH(#!/bin/sh
S="$FAKE_STATE"
echo "$*" >> "$S/calls"
if [ "$1" = "--user" ]; then echo "Failed to connect to bus: No medium found" >&2; exit 1; fi
verb="$1"; shift
for a in "$@"; do unit="$a"; done
loaded() { [ -f "$S/$unit.loaded" ]; }
case "$verb" in
daemon-reload)
  rm -f "$S"/*.loaded
  for d in "$FAKE_VENDOR_DIR" "$MORVANE_SYSTEMD_UNIT_DIR"; do
    for f in "$d"/*.service; do [ -f "$f" ] && echo "$f" > "$S/$(basename "$f").loaded"; done
  done ;;
show)
  if loaded; then frag=$(cat "$S/$unit.loaded"); echo LoadState=loaded; else frag=; echo LoadState=not-found; fi
  echo "FragmentPath=$frag"
  a=inactive; [ -f "$S/$unit.active" ] && a=$(cat "$S/$unit.active")
  echo "ActiveState=$a"
  if [ "$a" = active ] || [ "$a" = deactivating ]; then echo MainPID=4242; else echo MainPID=0; fi
  echo "Result=$(cat "$S/$unit.result" 2>/dev/null || echo success)"
  echo "ExecMainStatus=$(cat "$S/$unit.status" 2>/dev/null || echo 0)"
  if [ -f "$S/$unit.masked" ]; then echo UnitFileState=masked
  elif [ -f "$S/$unit.enabled" ]; then echo UnitFileState=enabled
  else echo UnitFileState=disabled; fi
  [ -n "$frag" ] && echo "Description=$(sed -n 's/^Description=//p' "$frag" | sed 's/%%/%/g')" ;;
start)
  loaded || { echo "Failed to start $unit: Unit $unit not found." >&2; exit 5; }
  [ -f "$S/deny" ] && { echo "Failed to start $unit: Access denied" >&2; exit 4; }
  if [ -f "$S/exec-fails" ]; then
    echo failed > "$S/$unit.active"; echo exit-code > "$S/$unit.result"; echo 203 > "$S/$unit.status"
    echo "Job for $unit failed because the control process exited with error code." >&2; exit 1
  fi
  echo active > "$S/$unit.active"; rm -f "$S/$unit.result" "$S/$unit.status" ;;
stop)
  loaded || { echo "Failed to stop $unit: Unit $unit not loaded." >&2; exit 5; }
  if [ -f "$S/slow-stop" ]; then echo deactivating > "$S/$unit.active"; else echo inactive > "$S/$unit.active"; fi ;;
enable)
  loaded || { echo "Failed to enable unit: Unit file $unit does not exist." >&2; exit 1; }
  touch "$S/$unit.enabled" ;;
disable) rm -f "$S/$unit.enabled" ;;
mask) touch "$S/$unit.masked" ;;
*) echo "Unknown command verb $verb." >&2; exit 1 ;;
esac
exit 0
)SH";

class ScmSystemdTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.Ok());
        m_root = m_tmp.Path();
        m_state = m_root + "/state";
        m_units = m_root + "/etc units";
        m_vendor = m_root + "/vendor";
        fs::create_directories(m_state);
        fs::create_directories(m_vendor);
        m_systemctl = m_root + "/systemctl";
        ASSERT_TRUE(files::ReplaceAtomically(m_systemctl, kFakeSystemctl));
        ::chmod(m_systemctl.c_str(), 0755);
        ::unsetenv("MORVANE_SCM_DIR");
        ::setenv("MORVANE_SCM_BACKEND", "systemd", 1);
        ::setenv("MORVANE_SYSTEMCTL", m_systemctl.c_str(), 1);
        ::setenv("MORVANE_SYSTEMD_UNIT_DIR", m_units.c_str(), 1);
        ::setenv("FAKE_STATE", m_state.c_str(), 1);
        ::setenv("FAKE_VENDOR_DIR", m_vendor.c_str(), 1);
        m_manager = scm::OpenManager(scm::kManagerAllAccess);
        ASSERT_NE(m_manager, nullptr);
        ASSERT_EQ(m_manager->Location().rfind("systemd", 0), 0u) << m_manager->Location();
    }

    void TearDown() override
    {
        for (const char* env :
             {"MORVANE_SCM_BACKEND", "MORVANE_SYSTEMCTL", "MORVANE_SYSTEMD_UNIT_DIR", "FAKE_STATE", "FAKE_VENDOR_DIR"})
            ::unsetenv(env);
    }

    std::unique_ptr<scm::Service> Install(const std::string& path)
    {
        scm::Config config;
        config.name = "MORVANE";
        config.displayName = "MORVANE";
        config.binaryPath = path;
        return m_manager->Create(config);
    }

    std::string Calls()
    {
        std::string text;
        files::ReadAll(m_state + "/calls", text);
        return text;
    }

    void Flag(const char* name) { ASSERT_TRUE(files::ReplaceAtomically(m_state + "/" + name, "")); }

    std::string UnitFile() { return m_units + "/morvane.service"; }

    CTempDir m_tmp{"scm_systemd"};
    std::string m_root, m_state, m_units, m_vendor, m_systemctl;
    std::unique_ptr<scm::Manager> m_manager;
};

TEST_F(ScmSystemdTest, InstallWritesAnEnabledNotifyUnitOnceAndKeepsThePathExact)
{
    const std::string path = "/opt/My Apps/100%/Morvane$Core \"x\"";
    ASSERT_NE(Install(path), nullptr) << scm::LastError();

    std::string unit;
    ASSERT_TRUE(files::ReadAll(UnitFile(), unit));
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nExecStart=\"/opt/My Apps/100%%/Morvane$$Core \\\"x\\\"\"\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nEnvironment=MORVANE_SCM_SERVICE=MORVANE\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos) << unit;
    // The manager must re-read its units before it can enable the new one.
    std::string calls = Calls();
    size_t reload = calls.find("daemon-reload");
    ASSERT_NE(reload, std::string::npos) << calls;
    EXPECT_NE(calls.find("enable -- morvane.service", reload), std::string::npos) << calls;

    auto service = m_manager->Open("morvane", scm::kQueryConfig);
    ASSERT_NE(service, nullptr);
    scm::Config config;
    ASSERT_TRUE(service->QueryConfig(config));
    EXPECT_EQ(config.binaryPath, path);
    EXPECT_EQ(config.displayName, "MORVANE");
    EXPECT_EQ(config.startType, scm::kAutoStart);

    // A second install changes nothing.
    EXPECT_EQ(Install("/usr/bin/other"), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);
    std::string again;
    ASSERT_TRUE(files::ReadAll(UnitFile(), again));
    EXPECT_EQ(again, unit);
}

TEST_F(ScmSystemdTest, StartQueryControlAndDeleteGoThroughSystemctl)
{
    auto service = Install("/usr/lib/morvane/MorvaneCore");
    ASSERT_NE(service, nullptr);
    scm::Status st;
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(service->Control(scm::kStop, st), false);
    EXPECT_EQ(scm::LastError(), scm::kServiceNotActive);

    ASSERT_TRUE(service->Start()) << scm::LastError();
    EXPECT_NE(Calls().find("start -- morvane.service"), std::string::npos);
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kRunning);
    EXPECT_EQ(st.processId, 4242u);
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kServiceAlreadyRunning);

    // Only stop reaches the service; interrogate answers from the manager; the rest is refused.
    EXPECT_TRUE(service->Control(scm::kInterrogate, st));
    EXPECT_EQ(st.state, scm::kRunning);
    EXPECT_FALSE(service->Control(scm::kPause, st));
    EXPECT_EQ(scm::LastError(), scm::kInvalidServiceControl);
    EXPECT_FALSE(service->Control(7, st));
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);

    ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.processId, 0u);

    ASSERT_TRUE(service->Delete()) << scm::LastError();
    EXPECT_FALSE(fs::exists(UnitFile()));
    EXPECT_NE(Calls().find("disable -- morvane.service"), std::string::npos);
    EXPECT_EQ(m_manager->Open("MORVANE", scm::kQueryStatus), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceDoesNotExist);
}

TEST_F(ScmSystemdTest, FailuresAndTimeOutsAreReportedNotSwallowed)
{
    auto service = Install("/usr/lib/morvane/MorvaneCore");
    ASSERT_NE(service, nullptr);
    scm::Status st;

    Flag("deny");
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    ::unlink((m_state + "/deny").c_str());

    Flag("exec-fails");
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kFileNotFound);
    ASSERT_TRUE(service->Query(st));
    EXPECT_EQ(st.state, scm::kStopped);
    EXPECT_EQ(st.win32ExitCode, scm::kFileNotFound);
    ::unlink((m_state + "/exec-fails").c_str());

    ASSERT_TRUE(service->Start());
    Flag("slow-stop");
    service->SetControlTimeout(150);
    EXPECT_FALSE(service->Control(scm::kStop, st));
    EXPECT_EQ(scm::LastError(), scm::kServiceRequestTimeout);
    EXPECT_EQ(st.state, scm::kStopPending);

    Flag("morvane.service.masked");
    ASSERT_TRUE(files::ReplaceAtomically(m_state + "/morvane.service.active", "inactive\n"));
    EXPECT_FALSE(service->Start());
    EXPECT_EQ(scm::LastError(), scm::kServiceDisabled);

    // systemctl itself missing: no manager at all.
    ::setenv("MORVANE_SYSTEMCTL", (m_root + "/nowhere").c_str(), 1);
    EXPECT_EQ(scm::OpenManager(scm::kManagerAllAccess), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
}

TEST_F(ScmSystemdTest, APackagedUnitIsUsedButNeverDeleted)
{
    const std::string packaged = m_vendor + "/morvane.service";
    ASSERT_TRUE(files::ReplaceAtomically(packaged, "[Unit]\nDescription=MORVANE\n[Service]\nType=notify\n"
                                                   "ExecStart=/usr/lib/morvane/MorvaneCore\n"));
    ASSERT_EQ(::system(("'" + m_systemctl + "' daemon-reload").c_str()), 0);

    EXPECT_EQ(Install("/elsewhere/MorvaneCore"), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kServiceExists);
    EXPECT_FALSE(fs::exists(UnitFile()));

    auto service = m_manager->Open("MORVANE", scm::kServiceAllAccess);
    ASSERT_NE(service, nullptr);
    scm::Config config;
    ASSERT_TRUE(service->QueryConfig(config));
    EXPECT_EQ(config.binaryPath, "/usr/lib/morvane/MorvaneCore");
    EXPECT_FALSE(service->Delete());
    EXPECT_EQ(scm::LastError(), scm::kAccessDenied);
    EXPECT_TRUE(fs::exists(packaged));
}

TEST_F(ScmSystemdTest, RefusesWhatAUnitCannotExpressBeforeTouchingAnything)
{
    for (const char* name : {"", "a b", "../x", "x/y", "-opt", "服务"}) {
        scm::Config config;
        config.name = name;
        config.binaryPath = "/usr/bin/true";
        EXPECT_EQ(m_manager->Create(config), nullptr) << name;
        EXPECT_EQ(scm::LastError(), scm::kInvalidName) << name;
        EXPECT_EQ(m_manager->Open(name, scm::kQueryStatus), nullptr) << name;
        EXPECT_EQ(scm::LastError(), scm::kInvalidName) << name;
    }
    for (const char* path : {"MorvaneCore", "/usr/bin/x\n[Service]\nExecStartPre=/bin/rm", ""}) {
        EXPECT_EQ(Install(path), nullptr) << path;
        EXPECT_EQ(scm::LastError(), scm::kInvalidParameter) << path;
    }
    scm::Config config;
    config.name = "MORVANE";
    config.displayName = "two\nlines";
    config.binaryPath = "/usr/bin/true";
    EXPECT_EQ(m_manager->Create(config), nullptr);
    EXPECT_EQ(scm::LastError(), scm::kInvalidParameter);
    EXPECT_FALSE(fs::exists(m_units));
    EXPECT_EQ(Calls().find("daemon-reload"), std::string::npos);
}

TEST_F(ScmSystemdTest, ADatabaseDirectoryAlwaysMeansTheDirectoryBackend)
{
    const std::string dir = m_root + "/services";
    ::setenv("MORVANE_SCM_DIR", dir.c_str(), 1);
    auto manager = scm::OpenManager(scm::kManagerAllAccess);
    ::unsetenv("MORVANE_SCM_DIR");
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->Location(), fs::canonical(dir).string());
    EXPECT_TRUE(Calls().empty());
}

TEST(ScmSystemdUnit, GeneratedUnitPassesSystemdAnalyzeVerify)
{
    if (::access("/usr/bin/systemd-analyze", X_OK) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    CTempDir tmp("scm_unit");
    ASSERT_TRUE(tmp.Ok());
    const std::string dir = tmp.Path();
    // A program path with a space, the way a user might unpack the programs.
    const std::string programDir = dir + "/My Programs";
    fs::create_directories(programDir);
    fs::copy_file("/bin/true", programDir + "/MorvaneCore");
    for (bool user : {false, true}) {
        scm::Config config;
        config.name = "MORVANE";
        config.binaryPath = programDir + "/MorvaneCore";
        std::string text = scm::systemd::UnitText(config, user);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(scm::systemd::UnitExecPath(text), config.binaryPath);
        ASSERT_TRUE(files::ReplaceAtomically(dir + "/morvane.service", text));
        // The user manager wants a runtime directory, even offline.
        std::string command = (user ? "XDG_RUNTIME_DIR='" + dir + "' " : std::string()) +
                              "/usr/bin/systemd-analyze verify " + std::string(user ? "--user " : "") + "'" + dir +
                              "/morvane.service' >'" + dir + "/verify.log' 2>&1";
        int rc = ::system(command.c_str());
        std::string log;
        files::ReadAll(dir + "/verify.log", log);
        // Unknown keys are only warnings to systemd, so any output at all is a failure here.
        EXPECT_EQ(rc, 0) << log;
        EXPECT_EQ(log, "") << (user ? "user unit" : "system unit");
    }
}

}  // namespace

namespace {

// The real thing, where the machine runs systemd: install, start, stop, start again (what a reboot
// does to an enabled unit), stop and delete the stand-in service.
TEST(ScmSystemdLive, StartStopAndStartAgainThroughSystemd)
{
    if (!scm::systemd::Booted())
        GTEST_SKIP() << "systemd is not running on this machine (PID 1 is something else)";
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to write a system unit";
    for (const char* env : {"MORVANE_SCM_DIR", "MORVANE_SYSTEMCTL", "MORVANE_SYSTEMD_UNIT_DIR"})
        ::unsetenv(env);
    ::setenv("MORVANE_SCM_BACKEND", "systemd", 1);
    auto manager = scm::OpenManager(scm::kManagerAllAccess);
    ::unsetenv("MORVANE_SCM_BACKEND");
    ASSERT_NE(manager, nullptr);
    scm::Config config;
    config.name = "ScmTestSvc";  // the name the stand-in service dispatches as
    config.binaryPath = std::string(MORVANE_BIN_DIR) + "/scm_test_service";
    auto service = manager->Create(config);
    ASSERT_NE(service, nullptr) << scm::LastError();
    scm::Status st;
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(service->Start()) << scm::LastError();
        ASSERT_TRUE(service->Query(st));
        EXPECT_EQ(st.state, scm::kRunning) << "round " << round;
        EXPECT_NE(st.processId, 0u);
        ASSERT_TRUE(service->Control(scm::kStop, st)) << scm::LastError();
        EXPECT_EQ(st.state, scm::kStopped);
        EXPECT_EQ(st.win32ExitCode, 0u) << "a clean stop is not a failure";
    }
    EXPECT_TRUE(service->Delete()) << scm::LastError();
}

}  // namespace
