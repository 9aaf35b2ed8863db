#include "tests/gui_pages/gui_test_support.h"

#include <QDesktopServices>
#include <QDir>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>

#include "gui/controls/hyperlink2.h"
#include "tests/support/netns.h"

namespace {
CUrlRecorder* g_urls = nullptr;
std::string g_root;
int g_dirs = 0;
}  // namespace

CUrlRecorder& Urls()
{
    return *g_urls;
}

QStringList& Messages()
{
    static QStringList messages;
    return messages;
}

std::string MakeTempDir()
{
    const std::string dir = g_root + "/d" + std::to_string(++g_dirs);
    mkdir(dir.c_str(), 0700);
    return dir;
}

int GuiTestMain(int argc, char** argv, bool privateNetwork)
{
    if (privateNetwork) {
        std::string why;
        if (!EnterPrivateNetwork(why)) {
            std::fprintf(stderr, "%s\n", why.c_str());
            return 1;
        }
    }
    char pattern[] = "/tmp/morvane-gui-pages-XXXXXX";
    if (!mkdtemp(pattern))
        return 1;
    g_root = pattern;
    const std::string runtime = g_root + "/runtime";
    mkdir(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The default browser is looked up here, never in the real home.
    setenv("HOME", g_root.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (g_root + "/config").c_str(), 1);
    setenv("XDG_DATA_HOME", (g_root + "/data").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (g_root + "/etc-xdg").c_str(), 1);
    setenv("XDG_DATA_DIRS", (g_root + "/share").c_str(), 1);
    setenv("PATH", "/usr/bin:/bin", 1);

    QApplication app(argc, argv);
    CUrlRecorder urls;
    g_urls = &urls;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &urls, "Open");
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &urls, "Open");
    CHyperLink2::SetMessageBoxHook([](const QString& text) { Messages() << text; });

    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();

    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDir(QString::fromStdString(g_root)).removeRecursively();
    return rc;
}
