// morvane-screenshots <directory> [en]: renders every window of the GUI offscreen, filled with sample
// data (the demo account's domains, ports in each state), into PNG files. With "en" the windows
// speak English (the translation beside the program) and the files end in "-en".

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFont>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QTabBar>
#include <QTranslator>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gui/controls/hyperlink2.h"
#include "gui/messages.h"
#include "gui/pages/pages.h"
#include "gui/pages/port_page.h"
#include "gui/shell/app.h"
#include "gui/shell/logon.h"
#include "gui/shell/main_dlg.h"
#include "gui/shell/tray.h"
#include "gui/strings.h"
#include "platform/scm.h"
#include "shared/xml/data_files.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"

namespace {

QString g_out;
QString g_suffix;

bool Save(QWidget& widget, const char* name)
{
    widget.show();
    QApplication::processEvents();
    const QString path = g_out + "/" + name + g_suffix + ".png";
    bool ok = widget.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toUtf8().constData());
    return ok;
}

// A box as the program shows it: its text and buttons (OK without any).
bool SaveBox(QMessageBox::Icon icon, const QString& text, const QStringList& buttons, const char* name)
{
    QMessageBox box(icon, QStringLiteral("Morvane"), text);
    for (const QString& b : buttons)
        box.addButton(b, b == buttons.front() ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    if (buttons.isEmpty())
        box.addButton(QMessageBox::Ok);
    return Save(box, name);
}

std::vector<DomainRecord> DemoDomains()
{
    std::vector<DomainRecord> records(3);
    const char* names[] = {"demo1.example.net", "demo2.example.net", "demo3.example.net"};
    for (int i = 0; i < 3; ++i) {
        records[i].domain = names[i];
        records[i].hostid = static_cast<uint32_t>(i + 1);
        records[i].enabled = i != 1;
    }
    return records;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "en")) {
        std::fprintf(stderr, "usage: %s <directory> [en]\n", argv[0]);
        return 2;
    }
    // The main window binds the channel's client ports: keep them off the machine's loopback.
    std::string why;
    EnterPrivateNetwork(why);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    CTempDir runtime("morvane-shots");
    if (!runtime.Ok())
        return 1;
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);

    QApplication app(argc, argv);
    QFont font(QStringLiteral("WenQuanYi Micro Hei"));
    font.setPixelSize(12);
    QApplication::setFont(font);
    g_out = QString::fromLocal8Bit(argv[1]);
    QTranslator english;
    if (argc == 3) {
        if (!english.load(QStringLiteral("morvane_en"), QCoreApplication::applicationDirPath() + "/translations") ||
            !QCoreApplication::installTranslator(&english)) {
            std::fprintf(stderr, "no English translation beside the program\n");
            return 1;
        }
        g_suffix = QStringLiteral("-en");
    }
    QDir().mkpath(g_out);
    const std::string userFile = runtime / "user.xml";
    datafile::WriteLogin(userFile, "demo", "fe01ce2a7fbac8fafaed7c982a04e229");

    bool ok = true;
    {
        CMorvaneLogon dialog(userFile);
        ok &= Save(dialog, "login-dialog");
        dialog.PasswordEdit()->clear();
        dialog.OnOK();
        ok &= Save(dialog, "login-dialog-empty-fields");
    }

    CMorvaneMainDlg::SetLogonRunner([](CMorvaneLogon& dialog) {
        dialog.OnOK();
        return dialog.result();
    });
    CMorvaneMainDlg window(userFile);
    QApplication::processEvents();
    ok &= Save(window, "main-logging-in");
    window.OnLogin(nullptr, false);
    ok &= Save(window, "main-login-failed");
    // A dyndns2 account refuses other names; the page says which one is set up.
    {
        UdpInPacket reply;
        const uint8_t bytes[] = {0, 0, 0,   0,   0,   0,   0,   0, 0, 0, 0,
                                 0, 0, 0,   0,   0,   0,   0,   0, 0, 0, kLoginOtherAccount,
                                 0, 6, 'a', 'l', 'i', 'c', 'e', 0};
        reply.SetData(bytes, sizeof bytes);
        window.Decode(reply);
        ok &= Save(window, "main-login-other-account");
    }

    auto domains = DemoDomains();
    window.OnLogin(&domains, true);
    window.OnNetInfo(NetInfo{static_cast<int32_t>(0xCB007107), 2, "demo network"});
    window.AppendOutput(gui::lines::ListRequest(), 0);
    window.OnDomainList(&domains, true);
    window.AppendOutput(gui::lines::DomainRequest(QStringLiteral("demo2.example.net"), false), 0);
    window.OnDomainFlags({{2, 0}}, 1);
    window.OnIpChanged(0xCB007107);
    // What the service knows of each domain: current, off, and on but failing.
    const uint32_t now = static_cast<uint32_t>(QDateTime::currentSecsSinceEpoch());
    window.OnDomainStatus({{1, kHostCurrent, 0xCB007107, "", now - 300, now - 300, ""},
                           {2, kHostOff, 0xCB007106, "", now - 86400, now - 86400, ""},
                           {3, kHostFailing, 0xCB007106, "", now - 86400, now - 60,
                            "provider unreachable or not answering: connect failed"}});
    ok &= Save(window, "main-domains");
    window.resize(window.minimumSize());
    ok &= Save(window, "main-domains-smallest");
    window.resize(CMorvaneMainDlg::kWidth, CMorvaneMainDlg::kHeight);

    window.OnMapPortList({{8080, 1, 0, 1}, {80, 1, 1, 1}, {21, 0, 0, 0}, {3389, 0, 0, 1}, {5060, 1, 1, 0}});
    window.AppendOutput(gui::lines::PortRequest(8080, 0, 1, false), 2);
    window.OnMapResult({{8080, 1, 0, 1}}, true);
    window.AppendOutput(gui::lines::PortRequest(21, 0, 0, false), 2);
    window.OnMapResult({{21, 0, 0, 0}}, true);
    window.AppendOutput(gui::lines::PortRequest(3389, 0, 1, false), 2);
    window.OnMapResult({{3389, 1, 0, 1}}, false);
    window.Tab()->TabBar()->setCurrentIndex(1);
    ok &= Save(window, "main-ports");
    window.Tab()->TabBar()->setCurrentIndex(2);
    ok &= Save(window, "main-about");
    ProviderSettings dyn;
    dyn.kind = "dyndns2";
    dyn.server = "https://dyndns.example.net/nic/update";
    dyn.user = "alice";
    dyn.passwordStored = true;
    dyn.hosts = {"home.example.net", "nas.example.net"};
    dyn.checkIp = {"https://checkip.example.net/"};
    window.Tab()->TabBar()->setCurrentIndex(3);
    window.OnAccount(true, "alice", true, dyn);
    window.OnProviderTest(true,
                          "address 203.0.113.7 (https://checkip.example.net/); the account 'alice' has 2 name(s)");
    ok &= Save(window, "main-account");

    CMorvaneTray& tray = *window.Tray();
    tray.SetState(CMorvaneTray::kLoggedIn, QStringLiteral("demo"));
    tray.Menu()->adjustSize();
    ok &= Save(*tray.Menu(), "tray-menu");

    ok &= SaveBox(
        QMessageBox::Question,
        CMorvaneApp::ServiceFailureText(
            ServiceFailure{ServiceFailure::kStart, scm::kAccessDenied, "/usr/lib/morvane/MorvaneCore"}),
        {QCoreApplication::translate("CMorvaneApp", "重试"), QCoreApplication::translate("CMorvaneApp", "退出")},
        "service-start-failed");
    ok &= SaveBox(
        QMessageBox::Question, CMapPortList::DeleteQuestion(3389, 0),
        {QCoreApplication::translate("CMapPortList", "删除"), QCoreApplication::translate("CMapPortList", "取消")},
        "port-remove-question");
    ok &= SaveBox(QMessageBox::Warning,
                  CHyperLink2::ErrorText(CHyperLink2::kNoAssociation, gui::SitePage(gui::kSitePortHelp)), {},
                  "link-cannot-open");
    ok &= SaveBox(QMessageBox::NoIcon, CMorvaneAbout::NoUpdaterText(), {}, "no-updater");

    return ok ? 0 : 1;
}
