#pragma once
// Start of the desktop program: one copy per user, the service installed and running, the
// updater check, crash reporting, then the main window until it closes.

#include <QString>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/scm.h"
#include "platform/single_instance.h"

class CMorvaneMainDlg;

// The service-control record of one start-up.
class ServiceControl {
public:
    ServiceControl() = default;
    ~ServiceControl() { Close(); }
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    // Resets the record, keeps the name and opens the manager with all rights.
    bool OpenManager(const std::string& name);
    // Whether a service of that name is registered (with a manager handle of its own).
    bool IsInstalled();
    // Registers the service: own process, automatic start, errors ignored. Empty path: this
    // program; empty display name: the service name. False when it is already registered.
    bool Install(const std::string& path, const std::string& displayName);
    // 1 running, 0 in any other state, -1 when the status cannot be queried.
    int QueryRunning();
    // The program the registered service runs; empty when it cannot be read.
    std::string ProgramPath();
    bool Start();
    void Close();

    const scm::Status& Status() const { return m_status; }
    bool HasManager() const { return m_manager != nullptr; }

private:
    std::unique_ptr<scm::Manager> m_manager;
    std::unique_ptr<scm::Service> m_service;
    scm::Status m_status;
    std::string m_name;
};

// What went wrong when the service could not be made to run, for the message that says so.
struct ServiceFailure {
    enum Step { kNone = 0, kNoManager, kMissing, kInstall, kQuery, kStart };
    Step step = kNone;
    uint32_t error = 0;   // the service manager's error (scm::Error)
    std::string program;  // the service program concerned
};

struct AppOptions {
    // The GUI's full path and its directory (with trailing separator); empty = the running program.
    std::string programPath;
    std::string programDir;
};

class CMorvaneApp {
public:
    static constexpr const char* kInstanceName = "MORVANE_EXE";
    static constexpr const char* kServiceName = "MORVANE";
    static constexpr const char* kServiceProgram = "MorvaneCore";

    explicit CMorvaneApp(AppOptions options = {});
    ~CMorvaneApp();
    CMorvaneApp(const CMorvaneApp&) = delete;
    CMorvaneApp& operator=(const CMorvaneApp&) = delete;

    // The whole start-up and the main window's life. False when the program is to end (always,
    // except when a waiting update was handed to the updater).
    bool InitInstance();
    // InitInstance, then the process's exit code.
    int Run();

    // The steps of InitInstance, for tests.
    bool AcquireSingleInstance();
    // Installs and starts the service when needed; returns (and keeps) the start status, and what
    // failed when it is not 1.
    int ServiceStep();
    // The message shown when the service could not be started: what failed, the program, a hint.
    static QString ServiceFailureText(const ServiceFailure& failure);
    // Runs the service step until it succeeds or the user gives up (a box with "重试" and "退出").
    // True when the service runs.
    bool EnsureService();

    int StartStatus() const { return m_startStatus; }
    const ServiceFailure& Failure() const { return m_failure; }
    const std::string& ProgramDirectory() const { return m_programDir; }
    const std::string& ProgramPath() const { return m_programPath; }
    // Where user.xml and the service's other data files are.
    const std::string& DataDirectory() const { return m_dataDir; }
    std::string UserFile() const { return (m_dataDir.empty() ? m_programDir : m_dataDir) + "user.xml"; }
    CMorvaneMainDlg* MainWindow() const { return m_mainWindow; }

    static CMorvaneApp* Instance();

private:
    platform::CSingleInstance m_instance;
    std::string m_programPath;
    std::string m_programDir;
    std::string m_dataDir;
    int m_startStatus = 0;
    ServiceFailure m_failure;
    CMorvaneMainDlg* m_mainWindow = nullptr;
};
