// The login dialog, the login page and the main window, offscreen. The main window binds the
// channel's fixed client ports, so the binary runs in a network namespace of its own.

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QSystemTrayIcon>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "gui/controls/hyperlink2.h"
#include "gui/controls/output_ctrl.h"
#include "gui/controls/static_ex.h"
#include "gui/pages/domain_page.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/shell/crash_handler.h"
#include "gui/shell/logon.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/service_watch.h"
#include "gui/shell/tray.h"
#include "gui/strings.h"
#include "platform/window.h"
#include "shared/base/files.h"
#include "shared/packet/commands.h"
#include "shared/xml/data_files.h"
#include "tests/support/gui_env.h"
#include "tests/support/temp_dir.h"

static ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new CGuiEnvironment({.privateNetwork = true, .privateDesktop = true}));

namespace {

const char* kDemoDigest = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"

QString U(const char* text)
{
    return QString::fromUtf8(text);
}

class ShellWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = m_tmp.Path();
        m_userFile = m_dir + "/user.xml";
        CGuiEnvironment::Urls().clear();
        CGuiEnvironment::Messages().clear();
    }
    void TearDown() override
    {
        CMorvaneMainDlg::SetLogonRunner({});
        m_tmp.Remove();
    }
    void Remember(const std::string& user, const std::string& digest)
    {
        ASSERT_TRUE(datafile::WriteLogin(m_userFile, user, digest));
    }
    CTempDir m_tmp{"morvane-windows"};
    std::string m_dir;
    std::string m_userFile;
};

// ---------------------------------------------------------------- login dialog

TEST_F(ShellWindows, DialogRememberedCredentialsAndDigestRules)
{
    Remember("demo", kDemoDigest);
    {
        CMorvaneLogon dialog(m_userFile);
        EXPECT_EQ(dialog.windowTitle(), U("登录"));
        EXPECT_EQ(dialog.AccountBox()->currentText(), "demo");
        EXPECT_EQ(dialog.AccountBox()->count(), 0);  // only the edit text
        EXPECT_EQ(dialog.PasswordEdit()->text(), "***");
        EXPECT_TRUE(dialog.OnOK());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(dialog.Account(), "demo");
        EXPECT_EQ(dialog.Digest(), kDemoDigest);  // the stored digest, unchanged
    }
    {
        // Another account with "***": that is its password.
        CMorvaneLogon dialog(m_userFile);
        dialog.AccountBox()->setEditText("other");
        EXPECT_TRUE(dialog.OnOK());
        EXPECT_EQ(dialog.Account(), "other");
        EXPECT_EQ(dialog.Digest(), gui::PasswordDigest("***"));
    }
    {
        CMorvaneLogon dialog(m_userFile);
        dialog.PasswordEdit()->setText(U("密码"));
        EXPECT_TRUE(dialog.OnOK());
        EXPECT_EQ(dialog.Digest(), gui::PasswordDigest(U("密码")));
    }
}

TEST_F(ShellWindows, DialogRefusesEmptyFieldsAndHasNoHiddenEffects)
{
    CMorvaneLogon dialog(m_userFile + ".missing");  // unreadable file: fields start empty
    dialog.show();
    EXPECT_TRUE(dialog.AccountBox()->currentText().isEmpty());
    EXPECT_TRUE(dialog.PasswordEdit()->text().isEmpty());
    EXPECT_FALSE(dialog.ErrorLabel()->isVisible());
    dialog.AccountBox()->setEditText("demo");
    EXPECT_FALSE(dialog.OnOK());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.ErrorLabel()->isVisible());
    EXPECT_EQ(dialog.ErrorLabel()->text(), U("用户名和密码不能为空"));
    EXPECT_EQ(dialog.ErrorLabel()->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_FALSE(dialog.RememberBox()->isVisible());
    EXPECT_FALSE(dialog.AutoLoginBox()->isVisible());
    dialog.RememberBox()->setChecked(true);
    dialog.PasswordEdit()->setText("demo");
    EXPECT_TRUE(dialog.OnOK());
    EXPECT_FALSE(files::Exists(m_userFile + ".missing"));  // nothing written by the dialog
}

TEST_F(ShellWindows, DialogLinks)
{
    CMorvaneLogon dialog(m_userFile);
    EXPECT_EQ(dialog.RegisterLink()->text(), U("注册新用户"));
    EXPECT_EQ(dialog.RegisterLink()->URL(), "http://127.0.0.1/index.php?action=reg");
    EXPECT_EQ(dialog.RecoverText()->text(), U("找回密码"));
    dialog.AccountBox()->setEditText(U("李 四&x=1"));
    emit dialog.RecoverText()->clicked();
    ASSERT_EQ(CGuiEnvironment::Urls().size(), 1);
    EXPECT_EQ(CGuiEnvironment::Urls()[0].toString(QUrl::FullyEncoded),
              "http://127.0.0.1/index.php?action=takeback&username=%E6%9D%8E%20%E5%9B%9B%26x%3D1");
}

// ---------------------------------------------------------------- main window and login page

// Records on which thread the listener calls arrive.
class CRecordingMainDlg : public CMorvaneMainDlg {
public:
    using CMorvaneMainDlg::CMorvaneMainDlg;
    void OnLogin(const std::vector<DomainRecord>* records, bool ok) override
    {
        ++logins;
        onUiThread = onUiThread && QThread::currentThread() == qApp->thread();
        SetLoggedIn(ok);  // as the channel does before it calls the window, for the tests that call it directly
        CMorvaneMainDlg::OnLogin(records, ok);
    }
    int logins = 0;
    bool onUiThread = true;
};

class ShellMainWindow : public ShellWindows {
protected:
    void SetUp() override
    {
        ShellWindows::SetUp();
        REQUIRE_GUI_NETWORK();
        setenv("MORVANE_UDP_CHANNEL", "1", 1);  // the stand-ins below are UDP sockets
    }
    void TearDown() override
    {
        unsetenv("MORVANE_UDP_CHANNEL");
        ShellWindows::TearDown();
    }
    // The main window through the login dialog, filled in with `account` / `password`.
    std::unique_ptr<CRecordingMainDlg> Open(const QString& account = "demo", const QString& password = "demo")
    {
        CMorvaneMainDlg::SetLogonRunner([=](CMorvaneLogon& dialog) {
            dialog.AccountBox()->setEditText(account);
            dialog.PasswordEdit()->setText(password);
            dialog.OnOK();
            return dialog.result();
        });
        auto window = std::make_unique<CRecordingMainDlg>(m_userFile);
        EXPECT_FALSE(window->isVisible());  // hidden until the login dialog is done
        ProcessEventsUntil([&] { return window->isVisible(); }, 2000);
        return window;
    }
    static std::vector<DomainRecord> Records()
    {
        std::vector<DomainRecord> r(2);
        r[0].domain = "demo1.example.net";
        r[0].hostid = 1;
        r[0].enabled = 1;
        r[1].domain = "demo2.example.net";
        r[1].hostid = 2;
        return r;
    }
    static QStringList DomainLines(CMorvaneMainDlg& w) { return w.Tab()->DomainPage()->Output()->Lines(); }
    static QStringList PortLines(CMorvaneMainDlg& w) { return w.Tab()->PortPage()->Output()->Lines(); }
};

TEST_F(ShellMainWindow, LoginWaitsThenFailureThenSuccess)
{
    // A second account stays as it is through the login.
    {
        std::ofstream(m_userFile) << "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<User>\r\n<UserInfo>\r\n"
                                     "<UserID>old</UserID>\r\n<PWD>x</PWD>\r\n</UserInfo>\r\n<UserInfo>\r\n"
                                     "<UserID>second</UserID>\r\n<PWD>y</PWD>\r\n</UserInfo>\r\n<PORT>10000</PORT>\r\n"
                                     "</User>\r\n";
    }
    auto w = Open();
    ASSERT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle(), "Morvane");
    EXPECT_EQ(w->size(), QSize(CMorvaneMainDlg::kWidth, CMorvaneMainDlg::kHeight));
    EXPECT_EQ(w->UserName(), "demo");
    EXPECT_EQ(w->PasswordDigest(), kDemoDigest);
    CMorvaneMainLogOnDlg* page = w->LoginPage();
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kWaiting);
    EXPECT_TRUE(page->isVisible());
    EXPECT_EQ(page->geometry(), w->rect());
    EXPECT_TRUE(page->ProgressButton()->isVisible());
    EXPECT_EQ(page->ProgressButton()->text(), U("正在登录..."));
    EXPECT_FALSE(page->Group()->isVisible());
    EXPECT_FALSE(page->OkButton()->isVisible());
    EXPECT_FALSE(w->Tab()->isVisible());

    w->OnLogin(nullptr, false);
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kFailed);
    EXPECT_TRUE(page->Group()->isVisible());
    EXPECT_EQ(page->Group()->title(), U("用户名和密码出错"));
    EXPECT_FALSE(page->ProgressButton()->isVisible());
    // The group sits in the middle; the fields keep their places relative to it.
    EXPECT_LE((page->Group()->geometry().center() - page->rect().center()).manhattanLength(), 2);
    EXPECT_TRUE(page->Group()->geometry().contains(page->AccountBox()->geometry()));
    EXPECT_FALSE(w->Tab()->isVisible());
    std::string user, digest;
    ASSERT_TRUE(datafile::ReadLogin(m_userFile, user, digest));
    EXPECT_EQ(user, "old");  // nothing written on failure

    auto records = Records();
    w->OnLogin(&records, true);
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kLoggedIn);
    EXPECT_FALSE(page->isVisible());
    EXPECT_TRUE(w->Tab()->isVisible());
    EXPECT_EQ(w->Tab()->geometry(), w->rect());
    EXPECT_TRUE(w->Tab()->DomainPage()->isVisible());
    EXPECT_FALSE(w->Tab()->PortPage()->isVisible());
    EXPECT_FALSE(w->Tab()->AboutPage()->isVisible());
    EXPECT_EQ(w->Tab()->TabBar()->currentIndex(), 0);
    EXPECT_EQ(w->Tab()->TabBar()->tabText(0), U("动态域名管理"));
    EXPECT_EQ(w->Tab()->TabBar()->tabText(1), U("高级选项"));
    EXPECT_EQ(w->Tab()->TabBar()->tabText(2), U("关于Morvane"));
    EXPECT_EQ(w->Tab()->DomainPage()->List()->RowCount(), 2);
    ASSERT_TRUE(datafile::ReadLogin(m_userFile, user, digest));
    EXPECT_EQ(user, "demo");
    EXPECT_EQ(digest, kDemoDigest);
    std::string text;
    ASSERT_TRUE(files::ReadAll(m_userFile, text));
    EXPECT_NE(text.find("<UserID>second</UserID>"), std::string::npos);
    EXPECT_NE(text.find("<PWD>y</PWD>"), std::string::npos);
    EXPECT_EQ(gui::CrashAccount(), "demo");

    // Tabs switch pages.
    w->Tab()->TabBar()->setCurrentIndex(1);
    EXPECT_TRUE(w->Tab()->PortPage()->isVisible());
    EXPECT_FALSE(w->Tab()->DomainPage()->isVisible());
    w->Tab()->TabBar()->setCurrentIndex(2);
    EXPECT_TRUE(w->Tab()->AboutPage()->isVisible());
    EXPECT_FALSE(w->Tab()->PortPage()->isVisible());
}

TEST_F(ShellMainWindow, LoginPageRetryDigestRules)
{
    Remember("demo", kDemoDigest);
    auto w = Open("demo", "***");
    EXPECT_EQ(w->PasswordDigest(), kDemoDigest);
    w->OnLogin(nullptr, false);
    CMorvaneMainLogOnDlg* page = w->LoginPage();
    EXPECT_EQ(page->AccountBox()->currentText(), "demo");
    EXPECT_EQ(page->PasswordEdit()->text(), "***");

    // "***" stands for the remembered digest of that account only: another name sends what it says,
    // never the remembered account's digest.
    page->AccountBox()->setEditText("demo2");
    EXPECT_TRUE(page->OnOK());
    EXPECT_EQ(w->UserName(), "demo2");
    EXPECT_EQ(w->PasswordDigest(), gui::PasswordDigest("***"));
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kWaiting);
    EXPECT_TRUE(page->ProgressButton()->isVisible());

    w->OnLogin(nullptr, false);
    page->PasswordEdit()->clear();
    EXPECT_FALSE(page->OnOK());
    EXPECT_EQ(page->Group()->title(), U("用户名和密码不能为空"));
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kFailed);

    page->PasswordEdit()->setText("secret");
    EXPECT_TRUE(page->OnOK());
    EXPECT_EQ(w->PasswordDigest(), gui::PasswordDigest("secret"));
}

TEST_F(ShellMainWindow, LoginPageWithoutRememberedDigestTakesStarsAsPassword)
{
    // The page names the account that was refused, never the remembered one, and wants its password.
    Remember("demo", kDemoDigest);
    auto w = Open("someone", "pw");
    w->OnLogin(nullptr, false);
    CMorvaneMainLogOnDlg* page = w->LoginPage();
    EXPECT_EQ(page->AccountBox()->currentText(), "someone");
    EXPECT_FALSE(page->OnOK());
    page->AccountBox()->setEditText("someone");
    page->PasswordEdit()->setText("***");
    EXPECT_TRUE(page->OnOK());
    EXPECT_EQ(w->PasswordDigest(), gui::PasswordDigest("***"));  // never an empty digest
}

TEST_F(ShellMainWindow, CancelledDialogAndPageCancelEndTheWindow)
{
    CMorvaneMainDlg::SetLogonRunner([](CMorvaneLogon&) { return int(QDialog::Rejected); });
    CMorvaneMainDlg w(m_userFile);
    bool finished = false;
    QObject::connect(&w, &QDialog::finished, [&] { finished = true; });
    EXPECT_TRUE(ProcessEventsUntil([&] { return finished; }, 2000));
    EXPECT_FALSE(w.isVisible());

    auto w2 = Open();
    finished = false;
    QObject::connect(w2.get(), &QDialog::finished, [&] { finished = true; });
    w2->OnLogin(nullptr, false);
    w2->LoginPage()->OnCancel();
    EXPECT_TRUE(ProcessEventsUntil([&] { return finished; }, 2000));
}

TEST_F(ShellMainWindow, EscapeNeverCloses)
{
    auto w = Open();
    auto records = Records();
    w->OnLogin(&records, true);
    bool finished = false;
    QObject::connect(w.get(), &QDialog::finished, [&] { finished = true; });
    QWidget* targets[] = {w.get(),       w->Tab(), w->Tab()->DomainPage(), w->Tab()->PortPage(), w->Tab()->AboutPage(),
                          w->LoginPage()};
    for (QWidget* target : targets) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(target, &press);
    }
    QApplication::processEvents();
    EXPECT_FALSE(finished);
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(w->Tab()->isVisible());
}

TEST_F(ShellMainWindow, OutputLinesCharacterForCharacter)
{
    auto w = Open();
    auto records = Records();
    w->OnLogin(&records, true);
    CDomainListEx* domains = w->Tab()->DomainPage()->List();

    w->OnDomainFlags({{1, 0}, {2, 1}}, 1);
    EXPECT_EQ(DomainLines(*w), QStringList({U("域名操作成功"), U("域名操作成功")}));
    EXPECT_EQ(domains->Row(0)->enabled, 0);
    EXPECT_EQ(domains->Row(1)->enabled, 1);
    // A failure puts each domain back to the opposite of the flag in the reply.
    w->OnDomainFlags({{1, 1}, {2, 0}}, 0);
    EXPECT_EQ(DomainLines(*w).mid(2), QStringList({U("域名操作失败"), U("域名操作失败")}));
    EXPECT_EQ(domains->Row(0)->enabled, 0);
    EXPECT_EQ(domains->Row(1)->enabled, 1);

    w->OnDomainList(nullptr, false);
    EXPECT_EQ(DomainLines(*w).last(), U("更新域名列表失败"));
    EXPECT_EQ(domains->RowCount(), 2);  // the list keeps its rows
    w->OnDomainList(nullptr, true);
    EXPECT_EQ(DomainLines(*w).size(), 5);  // no records, no line
    records.resize(1);
    w->OnDomainList(&records, true);
    EXPECT_EQ(DomainLines(*w).last(), U("更新域名列表成功"));
    EXPECT_EQ(domains->RowCount(), 1);

    w->OnIpChanged(0xCB007107);
    EXPECT_EQ(DomainLines(*w).last(), U("本地动态IP发生了变化"));
    EXPECT_EQ(w->Tab()->DomainPage()->IpLabel()->text(), "203.0.113.7");
    w->OnNetInfo(NetInfo{static_cast<int32_t>(0x01020304), 1, "x"});
    EXPECT_EQ(w->Tab()->DomainPage()->IpLabel()->text(), "1.2.3.4");
    EXPECT_EQ(DomainLines(*w).size(), 7);  // net info writes no line

    w->OnMapPortList({{8080, 1, 1, 1}, {80, 0, 0, 0}, {90, 2, 0, 5}});
    EXPECT_EQ(w->Tab()->PortPage()->List()->RowCount(), 3);
    // An op byte of 2 is listed as not mapped; any allow byte but 0 is "enabled".
    EXPECT_EQ(w->Tab()->PortPage()->List()->item(2, 3)->text(), U("TCP没有映射"));
    EXPECT_EQ(w->Tab()->PortPage()->List()->item(2, 0)->checkState(), Qt::Checked);
    w->OnMapResult({{8080, 1, 1, 1}, {80, 0, 0, 0}, {81, 7, 1, 0}}, true);
    w->OnMapResult({{80, 1, 0, 0}}, false);
    EXPECT_EQ(PortLines(*w), QStringList({U("端口映射-8080-(UDP)成功"), U("删除端口映射-80-(TCP)成功"),
                                          U("-81-(UDP)成功"), U("端口映射-80-(TCP)失败")}));
    EXPECT_TRUE(PortLines(*w).size() == 4 && DomainLines(*w).size() == 7);

    // Page index 1 names no list: the line goes nowhere.
    w->AppendOutput("dropped", 1);
    w->AppendOutput("dropped", 3);
    EXPECT_EQ(PortLines(*w).size(), 4);
    EXPECT_EQ(DomainLines(*w).size(), 7);
}

// A datagram from the service reaches the listener on the UI thread, through the receive thread.
TEST_F(ShellMainWindow, ArrivalsBecomeCallsOnTheUiThread)
{
    auto w = Open();
    ASSERT_TRUE(w->HasSender());
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(w->LocalPort());
    // Header: reserved, session, command 0, sequence, marker; then ok = 1, no records.
    uint8_t reply[23] = {};
    reply[18] = 0x01;  // marker 0x0100 (its position does not matter to the decoder)
    reply[20] = 1;
    std::thread sender([&] { sendto(s, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&to), sizeof to); });
    sender.join();
    EXPECT_TRUE(ProcessEventsUntil([&] { return w->logins > 0; }, 3000));
    close(s);
    EXPECT_TRUE(w->onUiThread);
    EXPECT_TRUE(w->LoggedIn());
    EXPECT_TRUE(w->Tab()->isVisible());
}

// A stand-in for the service on a port of its own: what the window sends, and replies to it.
class CStandInService {
public:
    CStandInService()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
        socklen_t len = sizeof at;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&at), &len);
        port = ntohs(at.sin_port);
    }
    ~CStandInService() { close(m_fd); }
    // Waits (running the event loop) for a request with `command`; others are dropped.
    bool Expect(uint16_t command, int ms = 3000)
    {
        return ProcessEventsUntil(
            [&] {
                uint8_t buf[2048];
                ssize_t n;
                while ((n = recv(m_fd, buf, sizeof buf, MSG_DONTWAIT)) >= 20)
                    if ((buf[14] << 8 | buf[15]) == command)
                        return true;
                return false;
            },
            ms);
    }
    void Reply(uint16_t to, uint16_t command, std::vector<uint8_t> body)
    {
        std::vector<uint8_t> d(20, 0);
        d[14] = static_cast<uint8_t>(command >> 8);
        d[15] = static_cast<uint8_t>(command);
        d.insert(d.end(), body.begin(), body.end());
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dst.sin_port = htons(to);
        sendto(m_fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof dst);
    }
    uint16_t port = 0;

private:
    int m_fd = -1;
};

// Requests nobody answers are undone and reported; the service's state shows beside the tabs and a
// lost service is looked for until it answers. Failures say why; Return retries on the login page.
TEST_F(ShellMainWindow, UnansweredRequestsLostServiceAndFailureReasons)
{
    CStandInService service;
    std::ofstream(m_userFile) << "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n<User>\r\n<PORT>" << service.port
                              << "</PORT>\r\n</User>\r\n";
    CMorvaneMainDlg::SetTimeouts(300, 200);
    auto w = Open();
    CMorvaneMainLogOnDlg* page = w->LoginPage();
    ASSERT_TRUE(service.Expect(0));
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->Mode() == CMorvaneMainLogOnDlg::kFailed; }, 3000));
    EXPECT_EQ(page->Group()->title(), U("服务程序没有响应,请重试"));

    auto pressReturn = [&] {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(page->PasswordEdit(), &key);
    };
    page->AccountBox()->setEditText("demo");
    page->PasswordEdit()->setText("demo");
    pressReturn();
    EXPECT_EQ(page->Mode(), CMorvaneMainLogOnDlg::kWaiting);
    ASSERT_TRUE(service.Expect(0));
    service.Reply(w->LocalPort(), 0, {0, 2});  // provider unreachable
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->Mode() == CMorvaneMainLogOnDlg::kFailed; }, 3000));
    EXPECT_EQ(page->Group()->title(), U("无法连接域名服务商"));
    // A dyndns2 account takes only its own name: the page says which.
    pressReturn();
    ASSERT_TRUE(service.Expect(0));
    service.Reply(w->LocalPort(), 0, {0, 4, 0, 6, 'a', 'l', 'i', 'c', 'e', 0});
    ASSERT_TRUE(ProcessEventsUntil([&] { return page->Mode() == CMorvaneMainLogOnDlg::kFailed; }, 3000));
    EXPECT_EQ(page->Group()->title(), U("这台电脑的服务商设置的账户是alice,请用它登录"));
    page->PasswordEdit()->setText("demo");
    pressReturn();
    ASSERT_TRUE(service.Expect(0));
    service.Reply(w->LocalPort(), 0, {0});  // an older service says no more than "refused"
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->logins == 3; }, 3000));
    EXPECT_EQ(page->Group()->title(), U("用户名和密码出错"));
    // A refused password is typed again; the account tried stays.
    EXPECT_EQ(page->AccountBox()->currentText(), "demo");
    EXPECT_TRUE(page->PasswordEdit()->text().isEmpty());
    page->PasswordEdit()->setText("demo");
    pressReturn();
    ASSERT_TRUE(service.Expect(0));
    service.Reply(w->LocalPort(), 0, {1, 0, 0});
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->Tab()->isVisible(); }, 3000));
    EXPECT_TRUE(w->ServiceReachable());
    EXPECT_TRUE(w->Tab()->ServiceState()->property("reachable").toBool());
    auto records = Records();
    w->Tab()->FillDomainList(&records);
    // Every address the service reports shows, with no domain switched on too.
    service.Reply(w->LocalPort(), CMD_NET_INFO, {0xCB, 0, 0x71, 0x07, 0, 0, 0, 1, 0, 1, 0});
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->Tab()->DomainPage()->IpLabel()->text() == "203.0.113.7"; }, 3000));
    EXPECT_EQ(w->Tab()->DomainPage()->NetTypeLabel()->text(), U("动态"));

    // The service stops answering: the switch and the new port are turned back.
    CDomainListEx* domains = w->Tab()->DomainPage()->List();
    domains->OnClick(1, CDomainListEx::kColumnSwitch);
    EXPECT_EQ(domains->Row(1)->enabled, 1);
    CMorvaneMapportDlg* ports = w->Tab()->PortPage();
    ports->PortEdit()->setText("9000");
    ports->OnAddPort();
    EXPECT_EQ(ports->List()->RowCount(), 1);
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->PendingRequests() == 0; }, 3000));
    EXPECT_EQ(domains->Row(1)->enabled, 0);
    EXPECT_EQ(DomainLines(*w).back(), U("域名操作失败(服务程序没有响应)"));
    EXPECT_EQ(ports->List()->RowCount(), 0);
    EXPECT_EQ(PortLines(*w).back(), U("端口映射-9000-(TCP)失败(服务程序没有响应)"));
    EXPECT_FALSE(w->ServiceReachable());
    EXPECT_FALSE(w->Tab()->ServiceState()->property("reachable").toBool());

    // It is looked for by logging in again, and found.
    ASSERT_TRUE(service.Expect(0));
    service.Reply(w->LocalPort(), 0, {1, 0, 0});
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->ServiceReachable(); }, 3000));
    EXPECT_EQ(DomainLines(*w).back(), U("服务程序恢复响应"));
    EXPECT_TRUE(w->Tab()->isVisible());

    // Mapping failures carry the reason; removing a port never mapped is no failure.
    qsizetype lines = PortLines(*w).size();
    service.Reply(w->LocalPort(), CMD_MAP_PORTS, {0, 0, 1, 0x23, 0x28, 0, 1, 1, 1});
    ASSERT_TRUE(ProcessEventsUntil([&] { return PortLines(*w).size() > lines; }, 3000));
    EXPECT_EQ(PortLines(*w).back(), U("端口映射-9000-(TCP)失败(找不到路由器)"));
    service.Reply(w->LocalPort(), CMD_MAP_PORTS, {0, 0, 1, 0x23, 0x28, 0, 1, 1, 2, 0x02, 0xCE});
    ASSERT_TRUE(ProcessEventsUntil([&] { return PortLines(*w).size() > lines + 1; }, 3000));
    EXPECT_EQ(PortLines(*w).back(), U("端口映射-9000-(TCP)失败(路由器拒绝,错误码718)"));
    w->OnMapPortList({{7000, 0, 0, 0}});
    ports->List()->selectRow(0);
    ports->List()->OnMenuCommand(CMapPortList::kDelete);
    ASSERT_TRUE(service.Expect(CMD_MAP_PORTS));
    service.Reply(w->LocalPort(), CMD_MAP_PORTS, {0, 0, 1, 0x1B, 0x58, 0, 0, 0, 1});
    ASSERT_TRUE(ProcessEventsUntil([&] { return PortLines(*w).back().endsWith(U("成功")); }, 3000));
    EXPECT_EQ(PortLines(*w).back(), U("删除端口映射-7000-(TCP)成功"));
    EXPECT_EQ(w->PendingRequests(), 0);
    CMorvaneMainDlg::SetTimeouts(0, 0);
}

// Other programs find the main window by its class; it answers 0xBD1 with 0.
TEST_F(ShellMainWindow, WindowClassAnswersPing)
{
    auto w = Open();
    ASSERT_TRUE(w->EndpointRegistered());
    platform::WindowRef ref;
    ASSERT_TRUE(platform::FindWindow(CMorvaneMainDlg::kWindowClass, ref));
    EXPECT_EQ(ref.pid, getpid());
    std::atomic<bool> answered{false};
    intptr_t result = -1;
    std::thread asker([&] { answered = platform::SendMessageTimeout(ref, 0xBD1, 0, 0, 3000, &result); });
    ProcessEventsUntil([&] { return answered.load(); }, 3000);
    asker.join();
    EXPECT_TRUE(answered);
    EXPECT_EQ(result, 0);

    // A second start asks the running window to come to the front, restored.
    w->showMinimized();
    ASSERT_TRUE(ProcessEventsUntil([&] { return w->isMinimized(); }, 2000));
    ASSERT_TRUE(platform::PostMessage(ref, CMorvaneMainDlg::kActivateMessage));
    EXPECT_TRUE(ProcessEventsUntil([&] { return !w->isMinimized(); }, 3000));
    w.reset();
    EXPECT_FALSE(platform::FindWindow(CMorvaneMainDlg::kWindowClass, ref));
}

// The failed login names the account that was tried: a refused other account never turns into the
// remembered one by pressing OK.
// Keys: Ctrl+Tab and Ctrl+Shift+Tab go round the pages from anywhere in the window; Tab reaches the
// buttons, the list, the output and the link; Space switches the current domain; Return in the port
// field adds the port, Delete removes the selected row after asking.
TEST_F(ShellMainWindow, KeyboardOnly)
{
    auto w = Open();
    auto records = Records();
    w->OnLogin(&records, true);
    QApplication::setActiveWindow(w.get());
    ASSERT_TRUE(ProcessEventsUntil([&] { return QApplication::activeWindow() == w.get(); }, 2000));
    QTabBar* tabs = w->Tab()->TabBar();
    CDomainlstSheet* domains = w->Tab()->DomainPage();
    domains->AddButton()->setFocus();
    for (int expected : {1, 2, 3, 0}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
        EXPECT_EQ(tabs->currentIndex(), expected);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(tabs->currentIndex(), 3);
    tabs->setCurrentIndex(0);
    domains->AddButton()->setFocus();
    for (QWidget* next : {static_cast<QWidget*>(domains->UpdateButton()), static_cast<QWidget*>(domains->List()),
                          static_cast<QWidget*>(domains->Output()), static_cast<QWidget*>(domains->HelpLink())}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next);
    }
    domains->List()->setFocus();
    domains->List()->setCurrentCell(1, 0);
    QTest::keyClick(domains->List(), Qt::Key_Space);
    EXPECT_EQ(domains->List()->Row(1)->enabled, 1);
    QTest::keyClick(domains->List(), Qt::Key_Return);
    EXPECT_EQ(domains->List()->Row(1)->enabled, 0);
    EXPECT_EQ(DomainLines(*w).size(), 2);

    tabs->setCurrentIndex(1);
    CMorvaneMapportDlg* ports = w->Tab()->PortPage();
    ports->PortEdit()->setFocus();
    QTest::keyClicks(ports->PortEdit(), QStringLiteral("8ab+0"));
    EXPECT_EQ(PortLines(*w), QStringList({U("端口只能是数字")}));  // one line, however many keys
    QTest::keyClick(ports->PortEdit(), Qt::Key_Return);
    ASSERT_EQ(ports->List()->RowCount(), 1);
    EXPECT_EQ(ports->List()->Entry(0)->port, 80);
    ports->List()->selectRow(0);
    CGuiEnvironment::Questions().clear();
    for (int answer : {1, 0}) {  // "取消", then "删除"
        CGuiEnvironment::Answer() = answer;
        QTest::keyClick(ports->List(), Qt::Key_Delete);
        EXPECT_EQ(ports->List()->RowCount(), answer);
    }
    EXPECT_EQ(CGuiEnvironment::Questions().back(), CMapPortList::DeleteQuestion(80, 0));
}

// In both languages, at the smallest and the usual size, every text of every page is whole, and the
// lists' columns share out the room of a wide window.
TEST_F(ShellMainWindow, TextsFitInBothLanguages)
{
    auto whole = [](QWidget* w, const std::string& where) {
        QApplication::processEvents();
        EXPECT_EQ(ClippedTexts(w).join(QStringLiteral("; ")).toStdString(), "") << where;
    };
    for (bool english : {false, true}) {
        ASSERT_EQ(UseEnglish(english), english);
        const std::string language = english ? "English " : "Chinese ";
        CMorvaneLogon dialog(m_userFile);
        dialog.show();
        whole(&dialog, language + "dialog");
        auto w = Open();
        w->OnLogin(nullptr, false);
        w->LoginPage()->SetMode(CMorvaneMainLogOnDlg::kFailed, gui::Text(gui::IDS_LOGIN_NO_ANSWER));
        w->resize(w->minimumSize());
        whole(w.get(), language + "login page");
        auto records = Records();
        w->OnLogin(&records, true);
        w->OnNetInfo(NetInfo{static_cast<int32_t>(0xCB00710A), 2, "demo network"});
        w->OnMapPortList({{8080, 1, 0, 1}});
        ProviderSettings dyn;
        dyn.kind = "dyndns2";
        dyn.user = "alice";
        w->OnAccount(true, "alice", true, dyn);
        for (QSize size : {w->minimumSize(), QSize(CMorvaneMainDlg::kWidth, CMorvaneMainDlg::kHeight)}) {
            w->resize(size);
            for (int page : {0, 1, 2, 3}) {
                w->Tab()->TabBar()->setCurrentIndex(page);
                whole(w.get(), language + std::to_string(size.width()) + " wide, page " + std::to_string(page));
            }
        }
        // An English user is not told about Chinese carriers when the provider names the network.
        EXPECT_EQ(w->Tab()->DomainPage()->NetTypeLabel()->text(),
                  english ? QStringLiteral("demo network") : U("中国电信, demo network"));
        w->resize(1400, 900);
        w->Tab()->TabBar()->setCurrentIndex(0);
        whole(w.get(), language + "1400 wide");
        EXPECT_GT(w->Tab()->DomainPage()->List()->columnWidth(CDomainListEx::kColumnName), 900);
        CMapPortList* ports = w->Tab()->PortPage()->List();
        w->Tab()->TabBar()->setCurrentIndex(1);
        QApplication::processEvents();
        EXPECT_EQ(ports->horizontalHeader()->length(), ports->viewport()->width());
    }
    UseEnglish(false);
}

// The tray shows the service's state and raises a notification when an update fails or the address
// changes (not when switched off, which is remembered); closing the window keeps the program there,
// and the tray's menu brings it back or ends it. The service's process ending is noticed at once.
TEST_F(ShellMainWindow, TrayStateNotificationsAndTheServiceProcess)
{
    CMorvaneTray::SetAvailability(1);
    const pid_t service = fork();
    if (service == 0) {
        pause();
        _exit(0);
    }
    CServiceWatch::SetPidSource([service] { return static_cast<int>(service); });
    auto w = Open();
    CMorvaneTray* tray = w->Tray();
    ASSERT_TRUE(tray->Shown() && w->ServiceWatch()->Armed());
    EXPECT_EQ(tray->CurrentState(), CMorvaneTray::kAnswering);
    auto records = Records();
    w->OnLogin(&records, true);
    EXPECT_EQ(tray->StateText(), U("已登录: demo"));
    tray->SetNotificationsOn(true);
    qsizetype before = tray->Raised().size();
    w->OnIpChanged(0xCB007107);
    w->OnDomainFlags({{2, 1}}, 0);
    w->OnDomainFlags({{1, 0}}, 1);  // a success is no news
    ASSERT_EQ(tray->Raised().size(), before + 2);
    EXPECT_EQ(tray->Raised()[before], U("本地动态IP发生了变化"));
    EXPECT_EQ(tray->Raised()[before + 1], U("域名操作失败"));
    // The service stored that switch-on and says why it fails: on, failing, and told once.
    w->OnDomainStatus({{2, kHostFailing, 0, "", 0, 1, "provider unreachable or not answering"}});
    EXPECT_EQ(w->Tab()->DomainPage()->List()->Row(1)->enabled, 1);
    ASSERT_EQ(tray->Raised().size(), before + 3);
    EXPECT_EQ(
        tray->Raised()[before + 2],
        U("域名demo2.example.net的更新失败: provider unreachable or not answering。域名保持开启,服务程序会再次尝试。"));
    // Ports mapped anew after an address change: one the router lost reads so, and is told.
    w->OnMapPortList({{8080, 1, 0, 1}});
    w->OnMapPortList({{8080, 0, 0, 1}});
    EXPECT_EQ(w->Tab()->PortPage()->List()->Entry(0)->op, 0);
    EXPECT_EQ(tray->Raised().back(), U("端口8080(TCP)在路由器上的映射已丢失,服务程序没能再次映射它。"));
    before += 2;
    tray->NotifyAction()->trigger();  // off, from the menu
    w->OnIpChanged(0xCB007108);
    EXPECT_EQ(tray->Raised().size(), before + 2);
    EXPECT_FALSE(CMorvaneTray().NotificationsOn());  // remembered for the next start
    tray->SetNotificationsOn(true);

    // Closing hides the window into the tray; "显示" brings it back; "退出" ends it.
    bool finished = false;
    QObject::connect(w.get(), &QDialog::finished, [&] { finished = true; });
    w->close();
    QApplication::processEvents();
    EXPECT_FALSE(w->isVisible() || finished);
    emit tray->showRequested();
    EXPECT_TRUE(w->isVisible());

    // The service's process ends: seen at once, long before any request could time out.
    QElapsedTimer since;
    since.start();
    kill(service, SIGKILL);
    waitpid(service, nullptr, 0);
    ASSERT_TRUE(ProcessEventsUntil([&] { return !w->ServiceReachable(); }, 3000));
    EXPECT_LT(since.elapsed(), 1000);
    EXPECT_EQ(DomainLines(*w).back(), U("服务程序已停止"));
    EXPECT_EQ(tray->Raised().back(), U("服务程序无响应"));
    EXPECT_EQ(tray->CurrentState(), CMorvaneTray::kNotAnswering);
    CServiceWatch::SetPidSource({});

    emit tray->quitRequested();
    EXPECT_TRUE(ProcessEventsUntil([&] { return finished; }, 2000));

    // Without a tray, closing ends the program.
    CMorvaneTray::SetAvailability(0);
    auto plain = Open();
    plain->OnLogin(&records, true);
    bool ended = false;
    QObject::connect(plain.get(), &QDialog::finished, [&] { ended = true; });
    plain->close();
    EXPECT_TRUE(ProcessEventsUntil([&] { return ended; }, 2000));
    CMorvaneTray::SetAvailability(-1);
}

}  // namespace
