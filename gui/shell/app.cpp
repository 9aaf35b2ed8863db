#include "gui/shell/app.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>

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

std::string ServiceControl::ProgramPath()
{
    auto manager = scm::OpenManager(scm::kManagerConnect);
    auto service = manager ? manager->Open(m_name, scm::kQueryConfig) : nullptr;
    scm::Config config;
    return service && service->QueryConfig(config) ? config.binaryPath : std::string();
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

namespace {

// The service manager's reasons people meet, in their language; the rest in the manager's words.
QString ScmErrorText(uint32_t error)
{
    switch (error) {
    case scm::kFileNotFound: return QCoreApplication::translate("CMorvaneApp", "找不到服务程序");
    case scm::kAccessDenied: return QCoreApplication::translate("CMorvaneApp", "没有权限");
    case scm::kServiceRequestTimeout: return QCoreApplication::translate("CMorvaneApp", "服务程序没有及时响应");
    case scm::kServiceDisabled: return QCoreApplication::translate("CMorvaneApp", "服务已被禁用");
    case scm::kServiceDoesNotExist: return QCoreApplication::translate("CMorvaneApp", "服务没有安装");
    case scm::kProcessAborted: return QCoreApplication::translate("CMorvaneApp", "服务程序启动后意外退出");
    default: return QString::fromStdString(scm::ErrorText(error));
    }
}

}  // namespace

QString CMorvaneApp::ServiceFailureText(const ServiceFailure& failure)
{
    auto tr = [](const char* text) { return QCoreApplication::translate("CMorvaneApp", text); };
    const QString program = QString::fromStdString(failure.program);
    const QString why = ScmErrorText(failure.error);
    QString what;
    switch (failure.step) {
    case ServiceFailure::kMissing: what = tr("找不到服务程序 %1。").arg(program); break;
    case ServiceFailure::kNoManager: what = tr("无法连接服务管理器: %1。").arg(why); break;
    case ServiceFailure::kInstall: what = tr("无法注册服务程序 %1: %2。").arg(program, why); break;
    case ServiceFailure::kQuery: what = tr("无法读取服务的状态: %1。").arg(why); break;
    default: what = tr("无法启动服务程序 %1: %2。").arg(program, why); break;
    }
    QString hint;
    if (failure.step == ServiceFailure::kMissing)
        hint = tr("请重新安装 Morvane,或者从装有 MorvaneCore 的文件夹启动它。");
    else if (failure.error == scm::kAccessDenied)
        hint = tr("你的账号可能还不在 morvane 组里:执行 sudo adduser $USER morvane,然后注销再登录。");
    else if (failure.error == scm::kServiceDisabled)
        hint = tr("执行 sudo systemctl enable --now morvane 打开它。");
    else
        hint = tr("服务的日志里写着原因:journalctl -u morvane,或者 morvanectl service status。");
    return tr("Morvane 的服务程序没有运行。") + QStringLiteral("\n\n") + what + QStringLiteral("\n") + hint;
}

int CMorvaneApp::ServiceStep()
{
    ServiceControl control;
    m_startStatus = 0;
    m_failure = ServiceFailure{};
    auto fail = [this](ServiceFailure::Step step, const std::string& program) {
        m_failure = ServiceFailure{step, static_cast<uint32_t>(scm::LastError()), program};
    };
    const std::string beside = m_programDir + kServiceProgram + platform::kExeSuffix;
    if (!control.OpenManager(kServiceName)) {
        fail(ServiceFailure::kNoManager, beside);
    } else if (control.IsInstalled()) {
        const std::string program = control.ProgramPath();
        m_startStatus = control.QueryRunning();
        if (m_startStatus < 0) {
            fail(ServiceFailure::kQuery, program);
            m_startStatus = -1;
        } else if (m_startStatus == 0) {
            m_startStatus = control.Start() ? 1 : 0;
            if (m_startStatus == 0)
                fail(ServiceFailure::kStart, program);
        }
    } else if (!files::Exists(beside)) {
        m_failure = ServiceFailure{ServiceFailure::kMissing, scm::kFileNotFound, beside};
    } else if (!control.Install(beside, kServiceName)) {
        fail(ServiceFailure::kInstall, beside);
    } else if (control.QueryRunning() != 0) {
        fail(ServiceFailure::kQuery, beside);
    } else if (control.Start()) {
        m_startStatus = 1;
    } else {
        fail(ServiceFailure::kStart, beside);
    }
    control.Close();
    return m_startStatus;
}

bool CMorvaneApp::EnsureService()
{
    while (ServiceStep() != 1) {
        const QStringList buttons = {QCoreApplication::translate("CMorvaneApp", "重试"),
                                     QCoreApplication::translate("CMorvaneApp", "退出")};
        if (gui::AskQuestion(ServiceFailureText(m_failure), buttons) != 0)
            return false;
    }
    return true;
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

    if (!EnsureService())
        return false;

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
