#include "tests/support/gui_env.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QThread>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "gui/controls/hyperlink2.h"
#include "gui/shell/message_box.h"
#include "tests/support/netns.h"

namespace {

bool g_networkOk = false;
std::string g_networkWhy = "no private network requested";
std::string g_runtimeDir;
QApplication* g_app = nullptr;
CUrlRecorder* g_urls = nullptr;
QStringList g_messages;

}  // namespace

void CGuiEnvironment::SetUp()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    g_runtimeDir = MakeTempDirectory("morvane-gui-runtime");
    chmod(g_runtimeDir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", g_runtimeDir.c_str(), 1);
    // Before the first thread: threads started later inherit the namespace.
    if (m_privateNetwork)
        g_networkOk = EnterPrivateNetwork(g_networkWhy);

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
    RemoveTree(g_runtimeDir);
}

bool CGuiEnvironment::NetworkOk()
{
    return g_networkOk;
}

const std::string& CGuiEnvironment::NetworkWhy()
{
    return g_networkWhy;
}

QStringList& CGuiEnvironment::Urls()
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

bool ProcessEventsUntil(const std::function<bool()>& condition, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return condition();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

std::string MakeTempDirectory(const char* tag)
{
    std::string pattern = std::string("/tmp/") + tag + "-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

void RemoveTree(const std::string& dir)
{
    if (dir.empty())
        return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
