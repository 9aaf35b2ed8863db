#include "tests/support/gui_env.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QAbstractButton>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTranslator>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "gui/controls/hyperlink2.h"
#include "gui/controls/link_open.h"
#include "gui/shell/message_box.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

namespace {

bool g_networkOk = false;
std::string g_networkWhy = "no private network requested";
std::unique_ptr<CTempDir> g_root;
std::string g_runtimeDir;
int g_scratchDirs = 0;
QApplication* g_app = nullptr;
CUrlRecorder* g_urls = nullptr;
QStringList g_messages;
QStringList g_questions;
int g_answer = 0;
bool g_siteReachable = true;
bool g_displayOk = false;
std::string g_displayWhy = "no real display requested";
std::vector<pid_t> g_children;

// Starts a program of the display in the background, its output in the private root's log.
pid_t Spawn(const std::vector<std::string>& argv, int keepFd = -1)
{
    const std::string log = g_root->Path() + "/display.log";
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(out, 1);
    dup2(out, 2);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (keepFd >= 0)
        fcntl(keepFd, F_SETFD, 0);
    setenv("HOME", g_root->Path().c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Xvfb on the first free display, openbox managing it and trayer offering a system tray.
bool StartDisplay(std::string& why)
{
    for (const char* tool : {"Xvfb", "openbox", "trayer"}) {
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty()) {
            why = std::string("no ") + tool + " (bash scripts/setup-deps.sh installs it)";
            return false;
        }
    }
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        why = "pipe failed";
        return false;
    }
    g_children.push_back(Spawn({"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0", "1280x1024x24",
                                "-nolisten", "tcp", "-noreset"},
                               ready[1]));
    close(ready[1]);
    std::string number;
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    while (number.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 && read(ready[0], &c, 1) == 1)
        number += c;
    close(ready[0]);
    if (number.empty() || number.back() != '\n') {
        why = "Xvfb did not start";
        return false;
    }
    setenv("DISPLAY", (":" + number.substr(0, number.size() - 1)).c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");  // the tray is the X one, not a bus service
    // The tray is waited for once the application is up; the window manager is not needed before.
    g_children.push_back(Spawn({"openbox", "--sm-disable"}));
    g_children.push_back(Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
                                "24", "--SetDockType", "true"}));
    return true;
}

void StopDisplay()
{
    // Newest first: the tray, the window manager, the server.
    for (auto it = g_children.rbegin(); it != g_children.rend(); ++it) {
        kill(*it, SIGTERM);
        if (!WaitUntil([pid = *it] { return waitpid(pid, nullptr, WNOHANG) == pid; }, std::chrono::seconds(5)))
            kill(*it, SIGKILL), waitpid(*it, nullptr, 0);
    }
    g_children.clear();
}

}  // namespace

void CGuiEnvironment::SetUp()
{
    // Before the first thread: threads started later inherit the namespace.
    if (m_options.privateNetwork) {
        g_networkOk = EnterPrivateNetwork(g_networkWhy);
        if (!g_networkOk && m_options.networkRequired)
            ADD_FAILURE() << g_networkWhy;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_root = std::make_unique<CTempDir>("morvane-gui");
    const std::string root = g_root->Path();
    g_runtimeDir = root + "/runtime";
    mkdir(g_runtimeDir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", g_runtimeDir.c_str(), 1);
    // An empty service database: a window never watches a service of the machine's own.
    setenv("MORVANE_SCM_DIR", (root + "/services").c_str(), 1);
    if (m_options.realDisplay) {
        g_displayOk = StartDisplay(g_displayWhy);
        if (g_displayOk)
            setenv("QT_QPA_PLATFORM", "xcb", 1);
        else
            StopDisplay();
    }
    if (m_options.privateDesktop) {
        setenv("HOME", root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (root + "/etc-xdg").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root + "/share").c_str(), 1);
        setenv("PATH", "/usr/bin:/bin", 1);
    }

    static int argc = 1;
    static char name[] = "morvane-gui-test";
    static char* argv[] = {name, nullptr};
    g_app = new QApplication(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    g_urls = new CUrlRecorder;
    for (const char* scheme : {"http", "https", "file"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), g_urls, "Open");
    gui::SetMessageBoxHook([](const QString& text) { g_messages << text; });
    gui::SetQuestionHook([](const QString& text, const QStringList&) {
        g_questions << text;
        return g_answer;
    });
    CHyperLink2::SetMessageBoxHook([](const QString& text) { g_messages << text; });
    gui::SetSiteProbe([](const QUrl&) { return g_siteReachable; });
    if (g_displayOk && !ProcessEventsUntil([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)) {
        g_displayOk = false;
        g_displayWhy = "trayer offered no system tray";
    }
}

void CGuiEnvironment::TearDown()
{
    for (const char* scheme : {"http", "https", "file"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    delete g_urls;
    g_urls = nullptr;
    delete g_app;
    g_app = nullptr;
    StopDisplay();
    g_root.reset();
}

QStringList& CGuiEnvironment::Questions()
{
    return g_questions;
}

int& CGuiEnvironment::Answer()
{
    return g_answer;
}

bool& CGuiEnvironment::SiteReachable()
{
    return g_siteReachable;
}

bool CGuiEnvironment::DisplayOk()
{
    return g_displayOk;
}

const std::string& CGuiEnvironment::DisplayWhy()
{
    return g_displayWhy;
}

bool CGuiEnvironment::NetworkOk()
{
    return g_networkOk;
}

const std::string& CGuiEnvironment::NetworkWhy()
{
    return g_networkWhy;
}

QList<QUrl>& CGuiEnvironment::Urls()
{
    return g_urls->urls;
}

QStringList& CGuiEnvironment::Messages()
{
    return g_messages;
}

const std::string& CGuiEnvironment::RuntimeDir()
{
    return g_runtimeDir;
}

std::string CGuiEnvironment::ScratchDir()
{
    const std::string dir = g_root->Path() + "/d" + std::to_string(++g_scratchDirs);
    mkdir(dir.c_str(), 0700);
    return dir;
}

bool ProcessEventsUntil(const std::function<bool()>& condition, int ms)
{
    return WaitUntil(
        [&] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            return condition();
        },
        std::chrono::milliseconds(ms), std::chrono::milliseconds(2));
}

void Pump(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

QStringList ClippedTexts(QWidget* root)
{
    QStringList clipped;
    QList<QWidget*> all = root->findChildren<QWidget*>();
    all.prepend(root);
    for (QWidget* w : all) {
        QList<std::pair<QString, int>> texts;  // each text with the room it has
        if (!w->isVisible())
            continue;
        if (auto* l = qobject_cast<QLabel*>(w); l && !l->wordWrap() && !Qt::mightBeRichText(l->text()))
            texts << std::pair(l->text(), l->contentsRect().width());
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            texts << std::pair(b->text(), b->width() - 8);
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            texts << std::pair(g->title(), g->width() - 16);
        else if (auto* t = qobject_cast<QTabBar*>(w))
            for (int i = 0; i < t->count(); ++i)
                texts << std::pair(t->tabText(i), t->tabRect(i).width() - 8);
        else if (auto* h = qobject_cast<QHeaderView*>(w); h && h->orientation() == Qt::Horizontal && h->model())
            for (int i = 0; i < h->count(); ++i)
                texts << std::pair(h->model()->headerData(i, Qt::Horizontal).toString(), h->sectionSize(i) - 8);
        for (const auto& [text, room] : texts)
            if (room < w->fontMetrics().horizontalAdvance(text))
                clipped << QStringLiteral("%1 \"%2\" in %3 px")
                               .arg(QLatin1String(w->metaObject()->className()), text)
                               .arg(room);
    }
    return clipped;
}

bool UseEnglish(bool english)
{
    static QTranslator translator;
    if (!english)
        return QCoreApplication::removeTranslator(&translator);
    return translator.load(QStringLiteral("morvane_en"), QStringLiteral(MORVANE_BIN_DIR "/translations")) &&
           QCoreApplication::installTranslator(&translator);
}
