// The desktop program end to end: the real main window on a real X server of its own (Xvfb, with
// openbox and trayer's system tray; offscreen where they are missing), the real service (in-process
// manager), the real provider with the demo account and, for port mapping, Debian's miniupnpd in
// network namespaces. Everything happens inside namespaces the test makes.

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QApplication>
#include <QSystemTrayIcon>
#include <QTabBar>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/manager.h"
#include "core/portmap.h"
#include "gui/controls/output_ctrl.h"
#include "gui/pages/account_page.h"
#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/shell/logon.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/tray.h"
#include "shared/xml/data_files.h"
#include "tests/libnat/gateway_lab.h"
#include "tests/tools/provider/provider_process.h"
#include "tests/support/gui_env.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_standin.h"

static ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new CGuiEnvironment({.privateNetwork = true, .realDisplay = true}));

namespace {

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

// A router that takes every mapping, for the domain test (no gateway there).
class CAcceptingNat : public INatLibrary {
public:
    int Discover(UpnpController** controller) override
    {
        *controller = reinterpret_cast<UpnpController*>(this);
        return 0;
    }
    int GetPublicIp(UpnpController*, char* buf, int size) override
    {
        std::snprintf(buf, static_cast<size_t>(size), "203.0.113.1");
        return 0;
    }
    int SetPortMapping(UpnpController*, const char*, int, const char*, const char*) override { return 0; }
    int RemovePortMapping(UpnpController*, int, const char*) override { return 0; }
    int ControllerFree(UpnpController** controller) override
    {
        *controller = nullptr;
        return 0;
    }
    int PrintError(int) override { return 0; }
};

bool HasLine(COutPutCtrl* output, const QString& line)
{
    return output->Lines().contains(line);
}

// history rows of the provider: time, hostid, account, address, result.
std::vector<std::vector<std::string>> History(const CProviderProcess& provider)
{
    std::string out;
    provider.Admin({"history"}, &out);
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');)
            fields.push_back(cell);
        if (fields.size() >= 5)
            rows.push_back(fields);
    }
    return rows;
}

bool HistoryHas(const CProviderProcess& provider, uint32_t hostid, const std::string& address)
{
    for (const auto& row : History(provider))
        if (row[1] == std::to_string(hostid) && row[3] == address)
            return true;
    return false;
}

class GuiEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_GUI_NETWORK();
        m_dir = m_tmp.Path();
        ASSERT_FALSE(m_dir.empty());
        setenv("MORVANE_SCM_DIR", (m_dir + "/services").c_str(), 1);
        CMorvaneMainDlg::SetLogonRunner([](CMorvaneLogon& dialog) {
            dialog.AccountBox()->setEditText("demo");
            dialog.PasswordEdit()->setText("demo");
            dialog.OnOK();
            return dialog.result();
        });
    }
    void TearDown() override
    {
        CMorvaneMainDlg::SetLogonRunner({});
        m_window.reset();
        m_manager.reset();
        m_provider.reset();
        m_tmp.Remove();
    }

    // The provider with the demo account, reporting `address`; started in the calling thread's
    // network namespace.
    void StartProvider(const char* address)
    {
        m_provider = std::make_unique<CProviderProcess>();
        ASSERT_TRUE(m_provider->SeedDemo(address));
        ASSERT_TRUE(m_provider->Start());
    }
    // The service on its own data directory; `nat` null = the real NAT library.
    // `webServicePort`: where the web service is looked for (0: the provider's port).
    void StartService(INatLibrary* nat, uint16_t webServicePort = 0)
    {
        ManagerOptions o;
        o.programDir = m_dir;
        o.providerHost = "127.0.0.1";
        o.providerPort = webServicePort ? webServicePort : m_provider->Port();
        o.nat = nat;
        o.superviseUpdater = false;
        o.tick = [this] { return m_tick.load(); };
        m_manager = std::make_unique<CMorvaneManger>(o);
        ASSERT_TRUE(m_manager->StartManager());
    }
    // A fresh main window; it shows the login dialog by itself, which the runner fills in.
    void OpenWindowAndLogIn()
    {
        m_window = std::make_unique<CMorvaneMainDlg>(m_dir + "/user.xml");
        CMorvaneMainLogOnDlg* page = m_window->LoginPage();
        ASSERT_TRUE(ProcessEventsUntil([&] { return page->Mode() == CMorvaneMainLogOnDlg::kLoggedIn; }, 15000))
            << "login page mode " << page->Mode();
        ASSERT_TRUE(ProcessEventsUntil([&] { return Domains()->RowCount() == 3; }, 5000));
    }

    CDomainlstSheet* DomainPage() const { return m_window->Tab()->DomainPage(); }
    CDomainListEx* Domains() const { return DomainPage()->List(); }
    CMorvaneMapportDlg* PortPage() const { return m_window->Tab()->PortPage(); }
    CMapPortList* Ports() const { return PortPage()->List(); }

    int DomainRowOf(const std::string& name) const
    {
        for (int i = 0; i < Domains()->RowCount(); ++i)
            if (Domains()->Row(i)->name == name)
                return i;
        return -1;
    }

    CTempDir m_tmp{"morvane-e2e"};
    std::string m_dir;
    std::atomic<uint32_t> m_tick{1000};
    std::unique_ptr<CProviderProcess> m_provider;
    std::unique_ptr<CMorvaneManger> m_manager;
    std::unique_ptr<CMorvaneMainDlg> m_window;
};

// The service stops mid-session: an unanswered switch is turned back with a line saying so, and the
// service is found again when it comes back. With the provider stopped a login says it is unreachable.
TEST_F(GuiEndToEnd, ServiceAndProviderLostMidSession)
{
    StartProvider("203.0.113.7");
    CAcceptingNat nat;
    StartService(&nat);
    CMorvaneMainDlg::SetTimeouts(1500, 300);
    OpenWindowAndLogIn();
    EXPECT_TRUE(m_window->ServiceReachable());

    m_manager.reset();
    int row = DomainRowOf("demo2.example.net");
    ASSERT_GE(row, 0);
    ASSERT_EQ(Domains()->Row(row)->enabled, 0);
    Domains()->OnClick(row, CDomainListEx::kColumnSwitch);
    EXPECT_EQ(Domains()->Row(row)->enabled, 1);
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return HasLine(DomainPage()->Output(), U("域名操作失败(服务程序没有响应)")); }, 5000));
    EXPECT_EQ(Domains()->Row(DomainRowOf("demo2.example.net"))->enabled, 0);
    EXPECT_FALSE(m_window->ServiceReachable());

    StartService(&nat);
    ASSERT_TRUE(ProcessEventsUntil([&] { return m_window->ServiceReachable(); }, 15000));
    EXPECT_TRUE(HasLine(DomainPage()->Output(), U("服务程序恢复响应")));

    m_provider->Stop();
    m_window = std::make_unique<CMorvaneMainDlg>(m_dir + "/user.xml");
    CMorvaneMainLogOnDlg* page = m_window->LoginPage();
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->Mode() == CMorvaneMainLogOnDlg::kFailed; }, 15000));
    CMorvaneMainDlg::SetTimeouts(0, 0);
    EXPECT_EQ(m_window->LoginFailure(), 2);
    EXPECT_EQ(page->Group()->title(), U("无法连接域名服务商"));
}

// Log in, switch demo1 on and see the provider record it, refresh the list, and follow an address
// change the service notices on its periodic check.
TEST_F(GuiEndToEnd, DomainPageAgainstServiceAndProvider)
{
    StartProvider("203.0.113.7");
    CAcceptingNat nat;
    StartService(&nat);
    OpenWindowAndLogIn();
    EXPECT_TRUE(ProcessEventsUntil([&] { return DomainPage()->IpLabel()->text() == "203.0.113.7"; }));

    const int row = DomainRowOf("demo1.example.net");
    ASSERT_GE(row, 0);
    const uint32_t hostid = Domains()->Row(row)->hostid;
    ASSERT_EQ(Domains()->Row(row)->enabled, 0);
    EXPECT_EQ(Domains()->item(row, CDomainListEx::kColumnSwitch)->text(), U("开始解析"));
    EXPECT_FALSE(HistoryHas(*m_provider, hostid, "203.0.113.7"));

    Domains()->OnClick(row, CDomainListEx::kColumnSwitch);
    EXPECT_EQ(DomainPage()->Output()->Lines().last(), U("请求域名操作请等待..."));
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasLine(DomainPage()->Output(), U("域名操作成功")); }, 10000))
        << DomainPage()->Output()->Lines().join('|').toStdString();
    // The row may have moved only if the list was refilled; look it up again.
    const int after = DomainRowOf("demo1.example.net");
    ASSERT_GE(after, 0);
    EXPECT_EQ(Domains()->Row(after)->enabled, 1);  // drawn as a green circle
    EXPECT_EQ(Domains()->item(after, CDomainListEx::kColumnSwitch)->text(), U("停止解析"));
    EXPECT_TRUE(HistoryHas(*m_provider, hostid, "203.0.113.7"));
    // The switch is kept where the service keeps it.
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", hostid), 1);

    // "更新": the list comes back from the service with demo1 still switched on.
    DomainPage()->UpdateButton()->click();
    EXPECT_EQ(DomainPage()->Output()->Lines().last(), U("请求更新域名列表"));
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasLine(DomainPage()->Output(), U("更新域名列表成功")); }, 10000));
    ASSERT_EQ(Domains()->RowCount(), 3);
    const int refreshed = DomainRowOf("demo1.example.net");
    ASSERT_GE(refreshed, 0);
    EXPECT_EQ(Domains()->Row(refreshed)->enabled, 1);
    EXPECT_EQ(Domains()->item(refreshed, CDomainListEx::kColumnSwitch)->text(), U("停止解析"));

    // The provider now sees another address; the next periodic check finds it and pushes it.
    ASSERT_EQ(m_provider->Admin({"set-address", "198.51.100.23"}), 0);
    m_tick += kAddressCheckIntervalMs + 1;
    m_manager->Wake();
    ASSERT_TRUE(ProcessEventsUntil([&] { return DomainPage()->IpLabel()->text() == "198.51.100.23"; }, 10000))
        << DomainPage()->IpLabel()->text().toStdString();
    EXPECT_TRUE(HasLine(DomainPage()->Output(), U("本地动态IP发生了变化")));
    EXPECT_TRUE(ProcessEventsUntil([&] { return HistoryHas(*m_provider, hostid, "198.51.100.23"); }, 5000));
    // Only the switched-on domain is pushed.
    for (int i = 0; i < Domains()->RowCount(); ++i) {
        if (Domains()->Row(i)->hostid != hostid) {
            EXPECT_FALSE(HistoryHas(*m_provider, Domains()->Row(i)->hostid, "198.51.100.23"));
        }
    }

    // Switching it off again: the provider is not asked, the row shows stopped.
    const int off = DomainRowOf("demo1.example.net");
    Domains()->OnClick(off, CDomainListEx::kColumnSwitch);
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return DomainPage()->Output()->Lines().count(U("域名操作成功")) == 2; }, 10000));
    EXPECT_EQ(Domains()->Row(DomainRowOf("demo1.example.net"))->enabled, 0);
    EXPECT_EQ(datafile::ReadSwitch(m_dir + "/domain.xml", hostid), 0);
    EXPECT_TRUE(CGuiEnvironment::Messages().isEmpty());
}

// On a desktop with a system tray: the icon is there and says who is logged in; with the provider
// stopped, switching a domain on fails and the tray raises a notification saying so.
TEST_F(GuiEndToEnd, TrayIconAndNotificationOnTheDesktop)
{
    REQUIRE_GUI_DISPLAY();
    StartProvider("203.0.113.7");
    CAcceptingNat nat;
    StartService(&nat);
    OpenWindowAndLogIn();
    CMorvaneTray* tray = m_window->Tray();
    // Embedded by trayer: the icon has a place on the screen.
    ASSERT_TRUE(ProcessEventsUntil([&] { return tray->Shown() && tray->Icon()->geometry().width() > 0; }, 5000));
    EXPECT_EQ(tray->Icon()->toolTip(), U("Morvane - 已登录: demo"));

    m_provider->Stop();
    const int row = DomainRowOf("demo2.example.net");
    ASSERT_GE(row, 0);
    Domains()->OnClick(row, CDomainListEx::kColumnSwitch);
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasLine(DomainPage()->Output(), U("域名操作失败")); }, 15000))
        << DomainPage()->Output()->Lines().join('|').toStdString();
    EXPECT_TRUE(tray->Raised().contains(U("域名操作失败")));
    // The notification is on the screen: the tray's balloon, shown by the program.
    EXPECT_TRUE(ProcessEventsUntil(
        [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (QLatin1String(w->metaObject()->className()) == QLatin1String("QBalloonTip") && w->isVisible())
                    return true;
            return false;
        },
        3000));
    // The service kept the switch: on, failing with the reason.
    EXPECT_TRUE(ProcessEventsUntil(
        [&] { return Domains()->Row(DomainRowOf("demo2.example.net"))->status.state == kHostFailing; }, 5000));
    EXPECT_EQ(Domains()->Row(DomainRowOf("demo2.example.net"))->enabled, 1);
}

// A new user with a dyndns2 account and no terminal: the login fails (no account is set up), the
// login page's provider button leads to the settings, which the service checks and stores; the login
// then works, a host switched on shows the address the provider holds and when, and with the provider
// stopped a switch-on shows on, failing, with the reason.
TEST_F(GuiEndToEnd, Dyndns2AccountSetUpFromTheSettings)
{
    TlsFiles tls;
    ASSERT_TRUE(tls.Ok());
    m_provider = std::make_unique<CProviderProcess>();
    ASSERT_EQ(m_provider->Admin({"init"}), 0);
    ASSERT_EQ(m_provider->Admin({"add-account", "alice"}, nullptr, "s3cret pw\n"), 0);
    ASSERT_EQ(m_provider->Admin({"add-host", "alice", "a.example.net"}), 0);
    ASSERT_TRUE(m_provider->Start(tls.Serve("good")));
    CTlsStandIn checkIp;
    std::atomic<int> last{7};  // the public address is 198.51.100.<last>
    ASSERT_TRUE(checkIp.Start(tls.Path("good.pem"), tls.Path("good.key"),
                              [&](const std::string&) { return "198.51.100." + std::to_string(last.load()) + "\n"; }));
    CAcceptingNat nat;
    StartService(&nat, 1);  // no web service anywhere: the first login fails at once
    CMorvaneMainDlg::SetLogonRunner([](CMorvaneLogon& dialog) {
        dialog.AccountBox()->setEditText("alice");
        dialog.PasswordEdit()->setText("s3cret pw");
        dialog.OnOK();
        return dialog.result();
    });
    m_window = std::make_unique<CMorvaneMainDlg>(m_dir + "/user.xml");
    CMorvaneMainLogOnDlg* login = m_window->LoginPage();
    ASSERT_TRUE(ProcessEventsUntil([&] { return login->Mode() == CMorvaneMainLogOnDlg::kFailed; }, 15000));

    login->ProviderButton()->click();
    CAccountPage* page = m_window->Tab()->AccountPage();
    ASSERT_TRUE(page->isVisible());
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return page->AccountLabel()->text() == U("没有登录;服务程序不更新任何域名"); }));
    page->KindCombo()->setCurrentIndex(page->KindCombo()->findData("dyndns2"));
    page->ServerEdit()->setText(QString("https://127.0.0.1:%1").arg(m_provider->Port()));
    page->UserEdit()->setText("alice");
    page->PasswordEdit()->setText("s3cret pw");
    page->HostsEdit()->setText("a.example.net");
    page->CheckIpEdit()->setText(QString::fromStdString(checkIp.Url("/ip")));
    page->RouterBox()->setChecked(false);
    page->CaFileEdit()->setText(QString::fromStdString(tls.Path("ca.pem")));
    page->SaveButton()->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->ResultLabel()->text().startsWith(U("已保存")); }, 10000))
        << page->ResultLabel()->text().toStdString();
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->UserEdit()->text() == "alice"; }));
    EXPECT_TRUE(page->PasswordEdit()->text().isEmpty());
    EXPECT_EQ(page->PasswordEdit()->placeholderText(), U("已保存;留空则不变"));

    page->SwitchButton()->click();  // "登录"
    ASSERT_EQ(login->Mode(), CMorvaneMainLogOnDlg::kFailed);
    login->AccountBox()->setEditText("alice");
    login->PasswordEdit()->setText("s3cret pw");
    ASSERT_TRUE(login->OnOK());
    ASSERT_TRUE(ProcessEventsUntil([&] { return login->Mode() == CMorvaneMainLogOnDlg::kLoggedIn; }, 15000));
    ASSERT_TRUE(ProcessEventsUntil([&] { return Domains()->RowCount() == 1; }, 5000));
    EXPECT_TRUE(ProcessEventsUntil([&] { return page->AccountLabel()->text() == U("已登录: alice"); }, 5000));
    // No network type with a dyndns2 account: the network line names where the address came from.
    EXPECT_TRUE(ProcessEventsUntil([&] { return DomainPage()->NetTypeLabel()->text().contains("127.0.0.1"); }))
        << DomainPage()->NetTypeLabel()->text().toStdString();

    Domains()->OnClick(0, CDomainListEx::kColumnSwitch);
    ASSERT_TRUE(ProcessEventsUntil([&] { return Domains()->Row(0)->status.state == kHostCurrent; }, 15000))
        << DomainPage()->Output()->Lines().join('|').toStdString();
    EXPECT_EQ(Domains()->Row(0)->status.ipv4, 0xC6336407u);  // 198.51.100.7
    EXPECT_TRUE(CDomainListEx::DetailText(*Domains()->Row(0)).startsWith(U("198.51.100.7,更新于")));

    // The provider goes away and the address changes: the next check's update fails, and the window,
    // told by the service, shows the host on and failing with the reason.
    m_provider->Stop();
    last = 8;
    m_tick += kAddressCheckIntervalMs + 1;
    m_manager->Wake();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Domains()->Row(0)->status.state == kHostFailing; }, 20000))
        << DomainPage()->Output()->Lines().join('|').toStdString();
    EXPECT_EQ(Domains()->Row(0)->enabled, 1);
    EXPECT_TRUE(CDomainListEx::DetailText(*Domains()->Row(0)).startsWith(U("更新失败: provider unreachable")))
        << CDomainListEx::DetailText(*Domains()->Row(0)).toStdString();
}

// A port added on the port page is mapped on the real gateway, is listed again for the next
// window, and is removed from the router by the context menu's delete.
TEST_F(GuiEndToEnd, PortPageAgainstTheGateway)
{
    CGatewayLab lab;
    std::string why;
    if (!lab.Create(why))
        GTEST_SKIP() << why;
    ASSERT_TRUE(lab.StartDaemon(true, true, why)) << why;
    // The provider, the service's worker and the window's receive thread all start from here, so
    // they live on the LAN side of the gateway.
    CInNamespace lan(lab.LanNamespace());
    ASSERT_TRUE(lan.Ok());
    unsetenv("MORVANE_UPNP_ROOTDESC_URL");
    unsetenv("MORVANE_NAT_METHOD");
    StartProvider("203.0.113.7");
    StartService(nullptr);
    OpenWindowAndLogIn();

    m_window->Tab()->TabBar()->setCurrentIndex(CTabCrtlEx::kPortPage);
    ASSERT_TRUE(PortPage()->isVisible());
    EXPECT_EQ(Ports()->RowCount(), 0);
    PortPage()->PortEdit()->setText("8080");
    PortPage()->ProtocolCombo()->setCurrentIndex(0);
    PortPage()->AddPortButton()->click();
    ASSERT_EQ(Ports()->RowCount(), 1);
    EXPECT_EQ(PortPage()->Output()->Lines().last(), U("请求-8080(TCP)-端口映射请等待..."));
    ASSERT_TRUE(ProcessEventsUntil([&] { return HasLine(PortPage()->Output(), U("端口映射-8080-(TCP)成功")); }, 20000))
        << PortPage()->Output()->Lines().join('|').toStdString() << lab.DaemonLog();
    int row = Ports()->FindRow(8080, 0);
    ASSERT_GE(row, 0);
    EXPECT_EQ(Ports()->item(row, 3)->text(), U("TCP正在映射"));
    EXPECT_TRUE(Ports()->Checked(row));
    EXPECT_EQ(lab.RuleCount(8080, "tcp"), 1) << lab.Rules();
    EXPECT_EQ(lab.RuleCount(8080, "udp"), 0);
    std::vector<PortMapEntry> stored;
    ASSERT_TRUE(datafile::ReadAllMappings(m_dir + "/mapport.xml", stored));
    EXPECT_EQ(stored, (std::vector<PortMapEntry>{{8080, 1, 0, 1}}));

    // The same port again is refused on the page and nothing changes on the router.
    PortPage()->AddPortButton()->click();
    EXPECT_EQ(PortPage()->Output()->Lines().last(), U("重复数据"));
    EXPECT_EQ(Ports()->RowCount(), 1);

    // A second window (the user closed and reopened the program) lists it as mapped.
    m_window.reset();
    OpenWindowAndLogIn();
    ASSERT_TRUE(ProcessEventsUntil([&] { return Ports()->RowCount() == 1; }, 5000));
    row = Ports()->FindRow(8080, 0);
    ASSERT_GE(row, 0);
    EXPECT_EQ(Ports()->item(row, 3)->text(), U("TCP正在映射"));
    EXPECT_TRUE(Ports()->Checked(row));

    // Delete from the context menu: the row goes at once, the router drops the rule.
    m_window->Tab()->TabBar()->setCurrentIndex(CTabCrtlEx::kPortPage);
    Ports()->selectRow(row);
    ASSERT_EQ(Ports()->SelectedRow(), row);
    Ports()->OnMenuCommand(CMapPortList::kDelete);
    EXPECT_EQ(Ports()->RowCount(), 0);
    EXPECT_EQ(PortPage()->Output()->Lines().last(), U("请求-8080(TCP)-删除端口映射请等待..."));
    ASSERT_TRUE(
        ProcessEventsUntil([&] { return HasLine(PortPage()->Output(), U("删除端口映射-8080-(TCP)成功")); }, 20000))
        << PortPage()->Output()->Lines().join('|').toStdString();
    EXPECT_TRUE(ProcessEventsUntil([&] { return lab.RuleCount(8080, "tcp") == 0; }, 5000)) << lab.Rules();
    EXPECT_TRUE(ProcessEventsUntil(
        [&] {
            stored.clear();
            datafile::ReadAllMappings(m_dir + "/mapport.xml", stored);
            return stored.empty();
        },
        5000));
    EXPECT_TRUE(CGuiEnvironment::Messages().isEmpty());

    // Everything that runs in the LAN namespace ends before the namespace goes away.
    m_window.reset();
    m_manager.reset();
    m_provider.reset();
}

}  // namespace
