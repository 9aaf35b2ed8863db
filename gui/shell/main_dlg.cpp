#include "gui/shell/main_dlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QPushButton>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>
#include <QTimer>

#include <cerrno>

#include "gui/pages/account_page.h"
#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/shell/crash_handler.h"
#include "gui/messages.h"
#include "gui/shell/app.h"
#include "gui/shell/logon.h"
#include "gui/shell/message_box.h"
#include "gui/shell/resources.h"
#include "gui/shell/service_watch.h"
#include "gui/shell/tray.h"
#include "gui/strings.h"
#include "platform/window.h"
#include "shared/base/ipv4.h"
#include "shared/packet/commands.h"
#include "shared/packet/records.h"
#include "shared/xml/data_files.h"

namespace {

using gui::Text;

std::function<int(CMorvaneLogon&)>& LogonRunner()
{
    static std::function<int(CMorvaneLogon&)> runner;
    return runner;
}

// Offsets of the pages below the top of the tab control.
constexpr int kPageTop = 25;
constexpr int kPortPageTop = 30;

int g_replyTimeoutMs = CMorvaneMainDlg::kReplyTimeoutMs;
int g_probeIntervalMs = CMorvaneMainDlg::kProbeIntervalMs;

}  // namespace

// Announcements of the receive thread become queued calls on the UI thread.
class CArrivalRelay : public QObject, public IArrivalPoster {
public:
    explicit CArrivalRelay(CMorvaneMainDlg* dialog) : QObject(dialog), m_dialog(dialog) {}
    void PostArrival() override
    {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (m_dialog) {
                    m_dialog->OnArrival();
                    m_dialog->DispatchOne();
                }
            },
            Qt::QueuedConnection);
    }
    void Detach() { m_dialog = nullptr; }

private:
    CMorvaneMainDlg* m_dialog;  // UI thread only
};

// ---------------------------------------------------------------- tab control

CTabCrtlEx::CTabCrtlEx(CDnsListener* channel, QWidget* parent) : QWidget(parent)
{
    m_bar = new QTabBar(this);
    m_bar->setDrawBase(false);
    m_bar->setExpanding(false);
    m_state = new QLabel(this);
    m_state->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    m_domainPage = new CDomainlstSheet(channel, this);
    m_aboutPage = new CMorvaneAbout(this);
    m_portPage = new CMorvaneMapportDlg(channel, this);
    m_accountPage = new CAccountPage(channel, this);
    m_accountPage->hide();
    SetServiceState(true);
    m_domainPage->hide();
    m_aboutPage->hide();
    m_portPage->hide();
    connect(m_bar, &QTabBar::currentChanged, this, [this](int index) { OnSelChange(index); });
}

CTabCrtlEx::~CTabCrtlEx()
{
    // Port page first, then about page, then domain page.
    delete m_accountPage;
    delete m_portPage;
    delete m_aboutPage;
    delete m_domainPage;
}

void CTabCrtlEx::InitPages()
{
    {
        QSignalBlocker quiet(m_bar);
        m_bar->addTab(Text(gui::IDS_TAB_DOMAINS));
        m_bar->addTab(Text(gui::IDS_TAB_ADVANCED));
        m_bar->addTab(Text(gui::IDS_TAB_ABOUT));
        m_bar->addTab(gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "账户")));
        m_bar->setCurrentIndex(0);
    }
    PlacePages();
    m_domainPage->show();
    m_aboutPage->hide();
    m_portPage->hide();
}

void CTabCrtlEx::SetServiceState(bool reachable)
{
    const QString text = gui::Text(reachable ? gui::IDS_SERVICE_UP : gui::IDS_SERVICE_DOWN);
    m_stateDot = QStringLiteral("<span style=\"color:%1\">&#9679;</span>")
                     .arg(reachable ? QStringLiteral("#00a000") : QStringLiteral("#e00000"));
    m_stateText = m_stateDot + QLatin1Char(' ') + text.toHtmlEscaped();
    m_state->setText(m_stateText);
    m_state->setToolTip(text);
    m_state->setProperty("reachable", reachable);
    PlacePages();
}

void CTabCrtlEx::PlacePages()
{
    const QRect r = rect();
    // The service state sits right of the tabs; where they leave no room only its dot shows.
    const int room = r.width() - m_bar->sizeHint().width() - 8;
    m_state->setText(m_stateText);
    if (m_state->sizeHint().width() + 6 > room)
        m_state->setText(m_stateDot);
    const int state = std::min(std::max(room, 16), m_state->sizeHint().width() + 6);
    m_state->setGeometry(r.width() - state - 4, 0, state, kPageTop);
    m_bar->setGeometry(0, 0, std::max(0, r.width() - state - 4), kPageTop);
    m_domainPage->setGeometry(r.left(), r.top() + kPageTop, r.width(), std::max(0, r.height() - kPageTop));
    m_aboutPage->setGeometry(r.left(), r.top() + kPageTop, r.width(), std::max(0, r.height() - kPageTop));
    m_portPage->setGeometry(r.left(), r.top() + kPortPageTop, r.width(), std::max(0, r.height() - kPortPageTop));
    m_accountPage->setGeometry(r.left(), r.top() + kPageTop, r.width(), std::max(0, r.height() - kPageTop));
}

void CTabCrtlEx::OnSelChange(int index)
{
    if (index < 0 || index > kAccountPage)
        return;
    m_domainPage->setVisible(index == kDomainPage);
    m_portPage->setVisible(index == kPortPage);
    m_aboutPage->setVisible(index == kAboutPage);
    m_accountPage->setVisible(index == kAccountPage);
    if (index == kAccountPage)
        emit accountPageShown();
}

void CTabCrtlEx::StepPage(int step)
{
    const int count = m_bar->count();
    if (count > 0)
        m_bar->setCurrentIndex(((m_bar->currentIndex() + step) % count + count) % count);
}

void CTabCrtlEx::AppendOutput(const QString& text, int pageIndex)
{
    if (pageIndex == kDomainOutput)
        m_domainPage->AppendOutput(text);
    else if (pageIndex == kPortOutput)
        m_portPage->AppendOutput(text);
}

void CTabCrtlEx::FillDomainList(const std::vector<DomainRecord>* records)
{
    if (!records)
        return;
    CDomainListEx* list = m_domainPage->List();
    list->ClearDomains();
    for (const DomainRecord& r : *records)
        list->AddDomainRow(r.domain, r.hostid, r.enabled);
}

void CTabCrtlEx::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    PlacePages();
}

void CTabCrtlEx::paintEvent(QPaintEvent*)
{
    QStylePainter painter(this);
    QStyleOptionTabWidgetFrame frame;
    frame.initFrom(this);
    frame.rect = rect().adjusted(0, kPageTop - 2, 0, 0);
    frame.shape = QTabBar::RoundedNorth;
    frame.tabBarSize = m_bar->sizeHint();
    painter.drawPrimitive(QStyle::PE_FrameTabWidget, frame);
}

// ---------------------------------------------------------------- main window

CMorvaneMainDlg::CMorvaneMainDlg(const std::string& userFile, QWidget* parent)
    : QDialog(parent), CDnsListener(ChannelOptions{userFile}), m_userFile(userFile)
{
    setWindowTitle(QStringLiteral("Morvane"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    // Resizable; the usual size is the default, and the window is made smaller to fit the screen.
    resize(kWidth, kHeight);
    setMinimumSize(kMinWidth, kMinHeight);
    setSizeGripEnabled(true);
    m_relay = new CArrivalRelay(this);
    m_tab = new CTabCrtlEx(this, this);
    m_tab->setGeometry(0, 0, kWidth, kHeight);
    m_tab->DomainPage()->SetRequestWatch(this);
    m_tab->PortPage()->SetRequestWatch(this);
    connect(m_tab, &CTabCrtlEx::accountPageShown, this, [this] { RequestAccount(); });
    CAccountPage* account = m_tab->AccountPage();
    connect(account, &CAccountPage::logOutRequested, this, [this] { OnLogOut(); });
    connect(account, &CAccountPage::switchRequested, this, [this] {
        m_logon->SetAttempt({}, {}, true);
        ShowLoginPage(CMorvaneMainLogOnDlg::kFailed, gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "登录另一个账户")));
        m_logon->AccountBox()->setFocus();
    });
    // A request that left is answered, or said to have gone unanswered.
    connect(account, &CAccountPage::sent, this, [this](int command) {
        Expect(static_cast<uint16_t>(command), {}, -1, [this, command] {
            if (command == CMD_SET_PROVIDER)
                m_tab->AccountPage()->ShowSaveResult(false, Text(gui::IDS_NO_ANSWER));
            else
                m_tab->AccountPage()->ShowTestResult(false, Text(gui::IDS_NO_ANSWER));
        });
    });
    m_deadlines = new QTimer(this);
    m_deadlines->setInterval(100);
    connect(m_deadlines, &QTimer::timeout, this, [this] { CheckDeadlines(); });
    m_probe = new QTimer(this);
    connect(m_probe, &QTimer::timeout, this, [this] { Probe(); });
    m_watch = new CServiceWatch(CMorvaneApp::kServiceName, this);
    connect(m_watch, &CServiceWatch::ended, this, [this] {
        // The service's process is gone: no need to wait for a request to go unanswered.
        if (LoggedIn())
            AppendOutput(gui::lines::ServiceStopped(), CTabCrtlEx::kDomainOutput);
        SetReachable(false);
    });
    m_tray = new CMorvaneTray(this);
    connect(m_tray, &CMorvaneTray::showRequested, this, [this] { BringToFront(); });
    connect(m_tray, &CMorvaneTray::quitRequested, this, [this] { Quit(); });
    // Page keys, wherever the focus is in the window.
    const std::pair<QKeySequence, int> pageKeys[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
        {QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1},
        {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Tab), -1},
        {QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1},
    };
    for (const auto& [keys, step] : pageKeys) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, this, [this, step = step] {
            if (m_tab->isVisible())
                m_tab->StepPage(step);
        });
    }
    connect(new QShortcut(QKeySequence::Quit, this), &QShortcut::activated, this, [this] { Quit(); });
    OnInitDialog();
}

CMorvaneMainDlg::~CMorvaneMainDlg()
{
    m_relay->Detach();
    if (m_notifier)
        m_notifier->setEnabled(false);
    m_endpoint.reset();
    // Login page, then the tab control with its pages, then (in the base) the channel.
    delete m_logon;
    m_logon = nullptr;
    delete m_tab;
    m_tab = nullptr;
}

void CMorvaneMainDlg::SetLogonRunner(std::function<int(CMorvaneLogon&)> runner)
{
    LogonRunner() = std::move(runner);
}

void CMorvaneMainDlg::OnInitDialog()
{
    setWindowIcon(gui::AppIcon());
    SetOwner(m_relay);

    // The window other programs find by its class; it answers 0xBD1 with 0.
    m_endpoint = std::make_unique<platform::CWindowEndpoint>();
    if (m_endpoint->Create(kWindowClass, true,
                           [this](uint32_t msg, uintptr_t, intptr_t) { return OnWindowMessage(msg); })) {
        m_notifier = new QSocketNotifier(m_endpoint->Fd(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { m_endpoint->Pump(0); });
    } else {
        m_endpoint.reset();
    }

    m_logon = new CMorvaneMainLogOnDlg(m_userFile, this);
    m_logon->hide();
    QMetaObject::invokeMethod(
        this, [this] { OnLogonRequest(); }, Qt::QueuedConnection);
    // The tray icon and the watch on the service come just after: the login dialog shows first.
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_tray->Show();
            ShowState();
            m_watch->Arm();
        },
        Qt::QueuedConnection);
    m_tab->InitPages();
    hide();
}

bool CMorvaneMainDlg::EndpointRegistered() const
{
    return m_endpoint != nullptr;
}

intptr_t CMorvaneMainDlg::OnWindowMessage(uint32_t msg)
{
    if (msg == platform::WM_CLOSE)
        QMetaObject::invokeMethod(
            this, [this] { Quit(); }, Qt::QueuedConnection);
    else if (msg == kActivateMessage)
        QMetaObject::invokeMethod(
            this, [this] { BringToFront(); }, Qt::QueuedConnection);
    return 0;  // 0xBD1 and everything else
}

void CMorvaneMainDlg::BringToFront()
{
    // While the login dialog runs it is the window to show.
    QWidget* window = QApplication::activeModalWidget();
    if (!window)
        window = this;
    // Hidden in the tray after a login: shown again. Before the first login nothing is there to show.
    if (!window->isVisible() && window == this && m_logon->Mode() != CMorvaneMainLogOnDlg::kWaiting)
        show();
    if (!window->isVisible())
        return;
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->raise();
    window->activateWindow();
}

void CMorvaneMainDlg::SetTimeouts(int replyMs, int probeMs)
{
    g_replyTimeoutMs = replyMs > 0 ? replyMs : kReplyTimeoutMs;
    g_probeIntervalMs = probeMs > 0 ? probeMs : kProbeIntervalMs;
}

void CMorvaneMainDlg::Quit()
{
    m_quitting = true;
    done(QDialog::Rejected);
}

void CMorvaneMainDlg::Expect(uint16_t command, const QString& failedLine, int output, std::function<void()> undo)
{
    // A request the channel refused to send (nobody, or somebody other than the service, holds the
    // port), or sent while the service's process is known to be gone, will never be answered: fail it
    // at the next check instead of after the time-out.
    const qint64 wait = LastRefusal() || !m_reachable ? 0 : g_replyTimeoutMs;
    m_pending.push_back(
        Pending{command, QDateTime::currentMSecsSinceEpoch() + wait, failedLine, output, std::move(undo)});
    m_deadlines->start();
}

void CMorvaneMainDlg::Answered(uint16_t command)
{
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->command == command) {
            m_pending.erase(it);
            break;
        }
    }
    if (m_pending.empty())
        m_deadlines->stop();
}

void CMorvaneMainDlg::OnArrival()
{
    SetReachable(true);
}

void CMorvaneMainDlg::CheckDeadlines()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool lost = false;
    while (!m_pending.empty() && m_pending.front().deadline <= now) {
        Pending request = std::move(m_pending.front());
        m_pending.pop_front();
        lost = true;
        if (request.undo)
            request.undo();
        if (!request.failedLine.isEmpty())
            Report(request.failedLine, request.output, true);
    }
    if (m_pending.empty())
        m_deadlines->stop();
    if (lost)
        SetReachable(false);
}

void CMorvaneMainDlg::SetReachable(bool reachable)
{
    if (reachable == m_reachable)
        return;
    m_reachable = reachable;
    m_tab->SetServiceState(reachable);
    ShowState();
    if (reachable) {
        m_probe->stop();
        m_watch->Arm();
        if (LoggedIn())
            AppendOutput(gui::lines::ServiceBack(), CTabCrtlEx::kDomainOutput);
    } else {
        m_tray->Notify(Text(gui::IDS_SERVICE_DOWN), true);
    }
    if (!reachable && LoggedIn()) {
        // Looked for by logging in again: the service may have restarted (on another port,
        // which every send reads afresh) and lost the session.
        m_probe->start(g_probeIntervalMs);
    }
}

void CMorvaneMainDlg::Probe()
{
    if (m_reachable || !LoggedIn()) {
        m_probe->stop();
        return;
    }
    SendLogin(UserName(), PasswordDigest());
}

void CMorvaneMainDlg::ShowState()
{
    if (!m_reachable)
        m_tray->SetState(CMorvaneTray::kNotAnswering);
    else if (LoggedIn())
        m_tray->SetState(CMorvaneTray::kLoggedIn, QString::fromStdString(UserName()));
    else
        m_tray->SetState(CMorvaneTray::kAnswering);
}

void CMorvaneMainDlg::Report(const QString& line, int output, bool failure)
{
    AppendOutput(line, output);
    m_tray->Notify(line, failure);
}

QString CMorvaneMainDlg::LoginFailureText() const
{
    switch (LoginFailure()) {
    case 2: return Text(gui::IDS_PROVIDER_UNREACHABLE);
    case 3: return Text(gui::IDS_PROVIDER_UNREADABLE);
    case kLoginOtherAccount:
        return gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "这台电脑的服务商设置的账户是%1,请用它登录"),
                             {QString::fromStdString(ConfiguredAccount())});
    default: return Text(gui::IDS_BAD_CREDENTIALS);  // refused, or an older service that does not say
    }
}

QString CMorvaneMainDlg::MapFailureText() const
{
    switch (MapFailureKind()) {
    case 1: return Text(gui::IDS_NO_GATEWAY);
    case 2: return Text(gui::IDS_ROUTER_REFUSED).arg(MapFailureCode());
    default: return {};
    }
}

void CMorvaneMainDlg::OnLogonRequest()
{
    CMorvaneLogon dialog(m_userFile);
    int result = LogonRunner() ? LogonRunner()(dialog) : dialog.exec();
    if (result != QDialog::Accepted) {
        done(QDialog::Rejected);
        return;
    }
    BeginLogin(dialog.Account(), dialog.Digest());
}

void CMorvaneMainDlg::BeginLogin(const std::string& account, const std::string& digest)
{
    SetAccount(account, digest);
    SendLogin(account, digest);
    ShowLoginPage(CMorvaneMainLogOnDlg::kWaiting);
    Expect(0, {}, -1, [this] {
        if (m_logon->Mode() == CMorvaneMainLogOnDlg::kWaiting) {
            m_logon->SetAttempt(UserName(), PasswordDigest(), false);
            ShowLoginPage(CMorvaneMainLogOnDlg::kFailed, Text(gui::IDS_LOGIN_NO_ANSWER));
        }
    });
}

void CMorvaneMainDlg::ShowLoginPage(int mode, const QString& caption)
{
    show();
    m_logon->SetMode(mode, caption);
    m_logon->setGeometry(rect());
    m_logon->show();
    m_logon->raise();
    m_tab->hide();
    if (mode == CMorvaneMainLogOnDlg::kFailed)
        m_logon->PasswordEdit()->setFocus();
}

void CMorvaneMainDlg::AppendOutput(const QString& text, int pageIndex)
{
    m_tab->AppendOutput(text, pageIndex);
}

QString CMorvaneMainDlg::MapResultLine(const PortMapEntry& entry, bool ok, bool removed) const
{
    return gui::lines::PortResult(entry.port, entry.type, entry.op, removed, ok, ok ? QString() : MapFailureText());
}

void CMorvaneMainDlg::OnNetInfo(const NetInfo& info)
{
    m_tab->DomainPage()->SetNetType(info.nettype, QString::fromUtf8(info.netlocation.c_str()));
    m_tab->DomainPage()->SetPublicIp(static_cast<uint32_t>(info.dyip));
    m_tab->DomainPage()->SetPublicIpv6(info.reportsIPv6, info.dyip6);
}

void CMorvaneMainDlg::OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok)
{
    Answered(CMD_SET_DOMAIN_STATE);
    CDomainListEx* list = m_tab->DomainPage()->List();
    for (const auto& [hostid, flag] : flags) {
        // A failure undoes what the click already showed.
        list->SetDomainState(hostid, ok ? flag : static_cast<uint8_t>(!flag));
        const QString line = gui::lines::DomainResult(list->NameOf(hostid), flag != 0, ok != 0);
        if (ok)
            AppendOutput(line, CTabCrtlEx::kDomainOutput);
        else
            Report(line, CTabCrtlEx::kDomainOutput, true);
    }
    // A failed switch-on may still be stored on; the service's state says which.
    RequestDomainStatus();
}

void CMorvaneMainDlg::OnMapResult(const std::vector<PortMapEntry>& entries, bool ok)
{
    Answered(CMD_MAP_PORTS);
    CMapPortList* list = m_tab->PortPage()->List();
    for (const PortMapEntry& e : entries) {
        // Removing a port that was never mapped cannot fail: there was nothing to remove.
        const bool entryOk = (e.op == 0 && list->TakeDeletedUnmapped(e.port, e.type)) || ok;
        const bool removed = e.op == 0 && list->FindRow(e.port, e.type) < 0;
        list->UpdatePortRow(e.port, e.op, e.type, e.allow, entryOk);
        const QString line = MapResultLine(e, entryOk, removed);
        if (entryOk)
            AppendOutput(line, CTabCrtlEx::kPortOutput);
        else
            Report(line, CTabCrtlEx::kPortOutput, true);
    }
}

void CMorvaneMainDlg::OnDomainList(const std::vector<DomainRecord>* records, bool ok)
{
    Answered(CMD_REFRESH_DOMAINS);
    if (!ok) {
        AppendOutput(gui::lines::ListResult(false), CTabCrtlEx::kDomainOutput);
        return;
    }
    if (!records)
        return;
    m_tab->FillDomainList(records);
    AppendOutput(gui::lines::ListResult(true), CTabCrtlEx::kDomainOutput);
    RequestDomainStatus();
}

void CMorvaneMainDlg::OnLogin(const std::vector<DomainRecord>* records, bool ok)
{
    Answered(0);
    if (!ok) {
        // Also after a lost service came back: the service holds no login for us any more.
        // Unreachable or unreadable providers did not judge the password; anything else did.
        m_logon->SetAttempt(UserName(), PasswordDigest(), LoginFailure() != 2 && LoginFailure() != 3);
        ShowLoginPage(CMorvaneMainLogOnDlg::kFailed, LoginFailureText());
        ShowState();
        return;
    }
    // Not remembered, the service would not log in again after a restart: the user must know.
    QString notSaved;
    if (!datafile::WriteLogin(m_userFile, UserName(), PasswordDigest())) {
        const int error = errno;
        notSaved = Text(gui::IDS_LOGIN_NOT_SAVED)
                       .arg(QString::fromStdString(m_userFile + ": " + datafile::FailureText(m_userFile, error)));
    }
    m_logon->SetRemembered(UserName(), PasswordDigest());
    ShowState();
    show();
    m_logon->SetMode(CMorvaneMainLogOnDlg::kLoggedIn);
    m_logon->hide();
    m_tab->setGeometry(rect());
    m_tab->show();
    m_tab->DomainPage()->show();
    m_tab->AboutPage()->hide();
    m_tab->PortPage()->hide();
    m_tab->FillDomainList(records);
    RequestDomainStatus();
    RequestAccount();
    if (!notSaved.isEmpty())
        AppendOutput(notSaved, CTabCrtlEx::kDomainOutput);
    gui::SetCrashAccount(UserName());
}

void CMorvaneMainDlg::OnIpChanged(uint32_t address)
{
    m_tab->DomainPage()->SetPublicIp(address);
    Report(gui::lines::IpChanged(QString::fromStdString(FormatIPv4(address))), CTabCrtlEx::kDomainOutput, false);
    RequestDomainStatus();
}

void CMorvaneMainDlg::OnAccount(bool loggedIn, const std::string& user, bool readable, const ProviderSettings& settings)
{
    Answered(CMD_ACCOUNT);
    CAccountPage* page = m_tab->AccountPage();
    page->SetAccount(loggedIn ? QString::fromStdString(user) : QString());
    page->ShowSettings(readable, settings);
}

void CMorvaneMainDlg::OnLoggedOut(bool ok)
{
    Answered(CMD_LOG_OUT);
    if (!ok) {
        Report(gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "没能退出登录:服务程序保存不了 user.xml。")),
               CTabCrtlEx::kDomainOutput, true);
        return;
    }
    m_tab->DomainPage()->List()->ClearDomains();
    m_tab->AccountPage()->SetAccount({});
    ShowState();
    m_logon->SetRemembered({}, {});
    m_logon->SetAttempt({}, {}, true);
    ShowLoginPage(CMorvaneMainLogOnDlg::kFailed,
                  gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "已退出登录,服务程序不再更新域名")));
}

void CMorvaneMainDlg::OnProviderSet(bool ok, const std::string& problem)
{
    Answered(CMD_SET_PROVIDER);
    m_tab->AccountPage()->ShowSaveResult(ok, QString::fromStdString(problem));
    if (ok)
        RequestAccount();
}

void CMorvaneMainDlg::OnProviderTest(bool ok, const std::string& words)
{
    Answered(CMD_TEST_PROVIDER);
    m_tab->AccountPage()->ShowTestResult(ok, QString::fromStdString(words));
}

void CMorvaneMainDlg::ShowAccountPage()
{
    m_logon->hide();
    m_tab->setGeometry(rect());
    m_tab->show();
    m_tab->TabBar()->setCurrentIndex(CTabCrtlEx::kAccountPage);
    m_tab->OnSelChange(CTabCrtlEx::kAccountPage);
    RequestAccount();
}

void CMorvaneMainDlg::ShowPages()
{
    if (!LoggedIn())
        return;
    m_logon->SetMode(CMorvaneMainLogOnDlg::kLoggedIn);
    m_logon->hide();
    m_tab->setGeometry(rect());
    m_tab->show();
}

void CMorvaneMainDlg::OnLogOut()
{
    const QString question = gui::Sentence(
        QT_TRANSLATE_NOOP("Morvane", "退出登录%1吗?服务程序会忘记这个账户,不再更新它的域名;服务商那里的地址保持不变。"),
        {QString::fromStdString(UserName())});
    if (gui::AskQuestion(question, {gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "退出登录")),
                                    gui::Sentence(QT_TRANSLATE_NOOP("Morvane", "取消"))}) != 0)
        return;
    SendLogOut();
    Expect(CMD_LOG_OUT, Text(gui::IDS_NO_ANSWER), CTabCrtlEx::kDomainOutput, {});
}

void CMorvaneMainDlg::OnDomainStatus(const std::vector<HostStatus>& list)
{
    CDomainListEx* domains = m_tab->DomainPage()->List();
    for (uint32_t hostid : domains->SetStatus(list))
        for (const HostStatus& s : list)
            if (s.hostid == hostid)
                Report(gui::lines::DomainFailing(domains->NameOf(hostid), QString::fromStdString(s.reason)),
                       CTabCrtlEx::kDomainOutput, true);
}

void CMorvaneMainDlg::OnMapPortList(const std::vector<PortMapEntry>& entries)
{
    CMapPortList* list = m_tab->PortPage()->List();
    // Only the byte 1 means mapped; any other value shows as not mapped. Sent again after the service
    // mapped the ports anew (the address changed): a row whose mapping the router lost says so.
    for (const PortMapEntry& e : entries) {
        const uint8_t op = e.op == 1 ? 1 : 0;
        const int row = list->FindRow(e.port, e.type);
        if (row < 0) {
            list->AddPortRow(e.port, e.type, op, e.allow != 0 ? 1 : 0);
            continue;
        }
        const bool lost = list->Entry(row)->op == 1 && op == 0;
        list->UpdatePortRow(e.port, op, e.type, e.allow != 0 ? 1 : 0, true);
        if (lost)
            Report(gui::lines::PortLost(e.port, e.type), CTabCrtlEx::kPortOutput, true);
    }
}

void CMorvaneMainDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    m_tab->setGeometry(rect());
    if (m_logon)
        m_logon->setGeometry(rect());
}

void CMorvaneMainDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_fitted)
        return;
    m_fitted = true;
    // The first time it shows, the window fits the screen's free area, frame included.
    const QScreen* where = screen();
    if (!where)
        return;
    const QRect free = where->availableGeometry();
    const QSize frame = frameGeometry().size() - geometry().size();
    const QSize room(free.width() - frame.width(), free.height() - std::max(frame.height(), 30));
    if (room.width() < width() || room.height() < height()) {
        resize(std::max(std::min(width(), room.width()), minimumWidth()),
               std::max(std::min(height(), room.height()), minimumHeight()));
        move(free.left() + std::max(0, (free.width() - frameGeometry().width()) / 2), free.top());
    }
}

void CMorvaneMainDlg::keyPressEvent(QKeyEvent* event)
{
    // Escape never closes the main window.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CMorvaneMainDlg::closeEvent(QCloseEvent* event)
{
    // Logged in with a tray to go to, the program stays there; otherwise closing ends the window's
    // loop whether it is shown or still hidden behind the login dialog.
    if (!m_quitting && LoggedIn() && m_tray->Shown()) {
        event->ignore();
        hide();
        m_tray->NotifyOnce(QStringLiteral("still-running"),
                           tr("Morvane 在系统托盘里继续运行。要退出,请在托盘图标的菜单里选择“退出”。"));
        return;
    }
    event->accept();
    done(QDialog::Rejected);
}
