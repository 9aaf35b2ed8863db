#include "tests/support/gui_env.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "gui/controls/hyperlink2.h"
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
    QDesktopServices::setUrlHandler(QStringLiteral("http"), g_urls, "Open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), g_urls, "Open");
    gui::SetMessageBoxHook([](const QString& text) { g_messages << text; });
    CHyperLink2::SetMessageBoxHook([](const QString& text) { g_messages << text; });
}

void CGuiEnvironment::TearDown()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    delete g_urls;
    g_urls = nullptr;
    delete g_app;
    g_app = nullptr;
    g_root.reset();
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
