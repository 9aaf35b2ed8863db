#include "gui/shell/main_dlg.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>
#include <QSocketNotifier>
#include <QStyleOptionTabWidgetFrame>
#include <QStylePainter>
#include <QTabBar>

#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/shell/crash_handler.h"
#include "gui/shell/logon.h"
#include "gui/shell/resources.h"
#include "gui/strings.h"
#include "platform/window.h"
#include "shared/packet/records.h"
#include "shared/xml/data_files.h"

namespace {

QString Text(int id)
{
    return QString::fromUtf8(gui::LoadStringText(id));
}

std::function<int(CMorvaneLogon&)>& LogonRunner()
{
    static std::function<int(CMorvaneLogon&)> runner;
    return runner;
}

// Offsets of the pages below the top of the tab control.
constexpr int kPageTop = 25;
constexpr int kPortPageTop = 30;

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
                if (m_dialog)
                    m_dialog->DispatchOne();
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
    m_domainPage = new CDomainlstSheet(channel, this);
    m_aboutPage = new CMorvaneAbout(this);
    m_portPage = new CMorvaneMapportDlg(channel, this);
    m_domainPage->hide();
    m_aboutPage->hide();
    m_portPage->hide();
    connect(m_bar, &QTabBar::currentChanged, this, [this](int index) { OnSelChange(index); });
}

CTabCrtlEx::~CTabCrtlEx()
{
    // Port page first, then about page, then domain page.
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
        m_bar->setCurrentIndex(0);
    }
    PlacePages();
    m_domainPage->show();
    m_aboutPage->hide();
    m_portPage->hide();
}

void CTabCrtlEx::PlacePages()
{
    const QRect r = rect();
    m_bar->setGeometry(0, 0, r.width(), kPageTop);
    m_domainPage->setGeometry(r.left(), r.top() + kPageTop, r.width(), std::max(0, r.height() - kPageTop));
    m_aboutPage->setGeometry(r.left(), r.top() + kPageTop, r.width(), std::max(0, r.height() - kPageTop));
    m_portPage->setGeometry(r.left(), r.top() + kPortPageTop, r.width(), std::max(0, r.height() - kPortPageTop));
}

void CTabCrtlEx::OnSelChange(int index)
{
    if (index < 0 || index > 2)
        return;
    m_domainPage->setVisible(index == kDomainPage);
    m_portPage->setVisible(index == kPortPage);
    m_aboutPage->setVisible(index == kAboutPage);
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
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(kWidth, kHeight);
    m_relay = new CArrivalRelay(this);
    m_tab = new CTabCrtlEx(this, this);
    m_tab->setGeometry(0, 0, kWidth, kHeight);
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
    if (m_endpoint->Create(kWindowClass, true, [this](uint32_t msg, uintptr_t, intptr_t) { return OnWindowMessage(msg); })) {
        m_notifier = new QSocketNotifier(m_endpoint->Fd(), QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { m_endpoint->Pump(0); });
    } else {
        m_endpoint.reset();
    }

    m_logon = new CMorvaneMainLogOnDlg(m_userFile, this);
    m_logon->hide();
    QMetaObject::invokeMethod(this, [this] { OnLogonRequest(); }, Qt::QueuedConnection);
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
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    return 0;  // 0xBD1 and everything else
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
}

void CMorvaneMainDlg::ShowLoginPage(int mode)
{
    show();
    m_logon->SetMode(mode);
    m_logon->setGeometry(rect());
    m_logon->show();
    m_logon->raise();
    m_tab->hide();
}

void CMorvaneMainDlg::AppendOutput(const QString& text, int pageIndex)
{
    m_tab->AppendOutput(text, pageIndex);
}

QString CMorvaneMainDlg::MapResultLine(const PortMapEntry& entry, bool ok)
{
    QString kind;
    if (entry.op == 1)
        kind = Text(gui::IDS_PORT_MAPPING);
    else if (entry.op == 0)
        kind = Text(gui::IDS_REMOVE_PORT_MAPPING);
    return kind + QString::asprintf("-%u-(%s)", static_cast<unsigned>(entry.port), entry.type != kProtocolTcp ? "UDP" : "TCP") +
           Text(ok ? gui::IDS_SUCCEEDED : gui::IDS_FAILED);
}

void CMorvaneMainDlg::OnNetInfo(const NetInfo& info)
{
    m_tab->DomainPage()->SetNetType(info.nettype);
    m_tab->DomainPage()->SetPublicIp(static_cast<uint32_t>(info.dyip));
}

void CMorvaneMainDlg::OnDomainFlags(const std::map<uint32_t, uint8_t>& flags, uint8_t ok)
{
    CDomainListEx* list = m_tab->DomainPage()->List();
    const QString line = Text(gui::IDS_DOMAIN_OPERATION) + Text(ok ? gui::IDS_SUCCEEDED : gui::IDS_FAILED);
    for (const auto& [hostid, flag] : flags) {
        // A failure undoes what the click already showed.
        list->SetDomainState(hostid, ok ? flag : static_cast<uint8_t>(!flag));
        AppendOutput(line, CTabCrtlEx::kDomainOutput);
    }
}

void CMorvaneMainDlg::OnMapResult(const std::vector<PortMapEntry>& entries, bool ok)
{
    CMapPortList* list = m_tab->PortPage()->List();
    for (const PortMapEntry& e : entries) {
        list->UpdatePortRow(e.port, e.op, e.type, e.allow, ok);
        AppendOutput(MapResultLine(e, ok), CTabCrtlEx::kPortOutput);
    }
}

void CMorvaneMainDlg::OnDomainList(const std::vector<DomainRecord>* records, bool ok)
{
    if (!ok) {
        AppendOutput(Text(gui::IDS_UPDATE_DOMAIN_LIST) + Text(gui::IDS_FAILED), CTabCrtlEx::kDomainOutput);
        return;
    }
    if (!records)
        return;
    m_tab->FillDomainList(records);
    AppendOutput(Text(gui::IDS_UPDATE_DOMAIN_LIST) + Text(gui::IDS_SUCCEEDED), CTabCrtlEx::kDomainOutput);
}

void CMorvaneMainDlg::OnLogin(const std::vector<DomainRecord>* records, bool ok)
{
    if (!ok) {
        ShowLoginPage(CMorvaneMainLogOnDlg::kFailed);
        return;
    }
    datafile::WriteLogin(m_userFile, UserName(), PasswordDigest());
    show();
    m_logon->SetMode(CMorvaneMainLogOnDlg::kLoggedIn);
    m_logon->hide();
    m_tab->setGeometry(rect());
    m_tab->show();
    m_tab->DomainPage()->show();
    m_tab->AboutPage()->hide();
    m_tab->PortPage()->hide();
    m_tab->FillDomainList(records);
    gui::SetCrashAccount(UserName());
}

void CMorvaneMainDlg::OnIpChanged(uint32_t address)
{
    m_tab->DomainPage()->SetPublicIp(address);
    AppendOutput(Text(gui::IDS_IP_CHANGED), CTabCrtlEx::kDomainOutput);
}

void CMorvaneMainDlg::OnMapPortList(const std::vector<PortMapEntry>& entries)
{
    CMapPortList* list = m_tab->PortPage()->List();
    // Only the byte 1 means mapped; any other value shows as not mapped.
    for (const PortMapEntry& e : entries)
        list->AddPortRow(e.port, e.type, e.op == 1 ? 1 : 0, e.allow != 0 ? 1 : 0);
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
    // Closing ends the window's loop whether it is shown or still hidden behind the login dialog.
    event->accept();
    done(QDialog::Rejected);
}
