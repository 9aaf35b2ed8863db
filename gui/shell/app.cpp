#include "gui/shell/app.h"

#include <QApplication>
#include <QEventLoop>

#include <cstdio>
#include <cstdlib>

#include "gui/shell/crash_handler.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/message_box.h"
#include "gui/shell/updater.h"
#include "gui/strings.h"
#include "platform/data_dir.h"
#include "platform/program.h"
#include "platform/window.h"
#include "shared/base/files.h"

// ---------------------------------------------------------------- service control

bool ServiceControl::OpenManager(const std::string& name)
{
    Close();
    m_status = scm::Status{};
    m_status.type = scm::kOwnProcess;
    m_status.state = scm::kStopped;
    m_status.controlsAccepted = scm::kAcceptStop;
    m_name = name;
    m_manager = scm::OpenManager(scm::kManagerAllAccess);
    return m_manager != nullptr;
}

bool ServiceControl::IsInstalled()
{
    auto manager = scm::OpenManager(scm::kManagerAllAccess);
    return manager && manager->Open(m_name, scm::kQueryConfig) != nullptr;
}

bool ServiceControl::Install(const std::string& path, const std::string& displayName)
{
    if (IsInstalled() || !m_manager)
        return false;
    scm::Config config;
    config.name = m_name;
    config.displayName = displayName.empty() ? m_name : displayName;
    config.binaryPath = path.empty() ? platform::ProgramPath() : path;
    config.access = scm::kServiceAllAccess;
    config.type = scm::kOwnProcess;
    config.startType = scm::kAutoStart;
    config.errorControl = scm::kErrorIgnore;
    return m_manager->Create(config) != nullptr;  // the new handle is closed at once
}

int ServiceControl::QueryRunning()
{
    if (!m_manager)
        return -1;
    m_service = m_manager->Open(m_name, scm::kServiceAllAccess);
    if (!m_service || !m_service->Query(m_status))
        return -1;
    return m_status.state == scm::kRunning ? 1 : 0;
}

bool ServiceControl::Start()
{
    if (!m_manager)
        return false;
    m_service = m_manager->Open(m_name, scm::kServiceAllAccess);
    return m_service && m_service->Start();
}

void ServiceControl::Close()
{
    m_service.reset();
    m_manager.reset();
}

// ---------------------------------------------------------------- application

namespace {
CMorvaneApp* g_app = nullptr;
}

CMorvaneApp::CMorvaneApp(AppOptions options)
    : m_programPath(std::move(options.programPath)), m_programDir(std::move(options.programDir))
{
    g_app = this;
}

CMorvaneApp::~CMorvaneApp()
{
    if (g_app == this)
        g_app = nullptr;
}

CMorvaneApp* CMorvaneApp::Instance()
{
    return g_app;
}

bool CMorvaneApp::AcquireSingleInstance()
{
    return m_instance.Acquire(kInstanceName);
}

std::string CMorvaneApp::ServiceFailureText(int status)
{
    char line[32];
    std::snprintf(line, sizeof line, "err id = %d", status);
    return gui::Text(gui::IDS_SERVICE_START_FAILED).toStdString() + "\n" + line;
}

int CMorvaneApp::ServiceStep()
{
    ServiceControl control;
    m_startStatus = 0;
    control.OpenManager(kServiceName);
    if (control.IsInstalled()) {
        m_startStatus = control.QueryRunning();
        if (m_startStatus == 0)
            m_startStatus = control.Start() ? 1 : 0;
    } else {
        const std::string program = m_programDir + kServiceProgram + platform::kExeSuffix;
        if (files::Exists(program) && control.Install(program, kServiceName) && control.QueryRunning() == 0)
            m_startStatus = control.Start() ? 1 : 0;
    }
    control.Close();
    return m_startStatus;
}

bool CMorvaneApp::InitInstance()
{
    // A second copy brings the first one's window to the front and ends.
    if (!AcquireSingleInstance()) {
        platform::WindowRef first;
        if (platform::FindWindow(CMorvaneMainDlg::kWindowClass, first))
            platform::PostMessage(first, CMorvaneMainDlg::kActivateMessage);
        return false;
    }

    if (m_programPath.empty())
        m_programPath = platform::ProgramPath();
    if (m_programDir.empty()) {
        size_t slash = m_programPath.rfind(platform::kPathSeparator);
        m_programDir = slash == std::string::npos ? std::string() : m_programPath.substr(0, slash + 1);
    }
    // The data files live where the service keeps them: beside the programs in a build tree or an
    // unpacked folder, in the shared data directory once installed.
    if (m_dataDir.empty() && !m_programDir.empty()) {
        const char* env = std::getenv("MORVANE_DATA_DIR");
        m_dataDir = env && *env == '/' ? std::string(env)
                                       : platform::DataDirectoryFor(m_programDir.substr(0, m_programDir.size() - 1));
        if (!m_dataDir.empty() && m_dataDir.back() != platform::kPathSeparator)
            m_dataDir += platform::kPathSeparator;
    }

    gui::LoadTranslation(m_programDir);

    if (ServiceStep() != 1) {
        gui::ShowMessageBox(QString::fromStdString(ServiceFailureText(m_startStatus)));
        return false;
    }

    const gui::UpdaterSite site{m_programDir, m_programPath};
    if (gui::CheckUpdatesAtStart(site))
        return true;  // the updater takes over; no window

    gui::InstallCrashHandlerFor(m_programPath, m_programDir + gui::kUploaderName, gui::kDefaultCrashAccount);

    // The login dialog closes before the main window shows: only the main window's end ends us.
    QApplication::setQuitOnLastWindowClosed(false);
    auto* window = new CMorvaneMainDlg(UserFile());
    m_mainWindow = window;
    QEventLoop loop;
    QObject::connect(window, &QDialog::finished, &loop, &QEventLoop::quit);
    loop.exec();
    m_mainWindow = nullptr;
    delete window;
    return false;
}

int CMorvaneApp::Run()
{
    InitInstance();
    return 0;
}
