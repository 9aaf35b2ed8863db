#pragma once
// Qt for every GUI test (shell, pages, end to end). Register one CGuiEnvironment per test binary;
// before any test runs it selects the offscreen platform (or, on request, a real X server of its own
// with a window manager and a system tray), gives the process a private root with its runtime
// directory (0700) and an empty service database, optionally a private network (the channel's fixed
// ports) and private desktop settings, creates the QApplication, and records every URL opened, every
// message box and every question (answered with its first button unless a test says otherwise)
// instead of showing anything. The provider's web site counts as answering unless a test says not.

#include <gtest/gtest.h>

#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <string>

class CUrlRecorder : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

struct GuiEnvOptions {
    // A network namespace of its own, entered before the first thread starts; needs root.
    bool privateNetwork = false;
    // When the private network cannot be made: true fails the run, false lets the tests that
    // call REQUIRE_GUI_NETWORK skip.
    bool networkRequired = false;
    // HOME, the XDG directories and PATH inside the private root, so that desktop settings (the
    // default browser) are the test's own and never the real home's.
    bool privateDesktop = false;
    // Xvfb with openbox and trayer's system tray, before the QApplication; offscreen without them.
    bool realDisplay = false;
};

class CGuiEnvironment : public ::testing::Environment {
public:
    explicit CGuiEnvironment(GuiEnvOptions options) : m_options(options) {}
    void SetUp() override;
    void TearDown() override;

    // Whether the private network could be made (it needs root); why not.
    static bool NetworkOk();
    static const std::string& NetworkWhy();
    static QList<QUrl>& Urls();
    static QStringList& Messages();
    static QStringList& Questions();
    static int& Answer();  // the button the next questions are answered with
    static bool& SiteReachable();
    static bool DisplayOk();  // the real display is up; if not, why
    static const std::string& DisplayWhy();
    static const std::string& RuntimeDir();
    // A fresh directory under the private root, removed with it after the last test.
    static std::string ScratchDir();

private:
    GuiEnvOptions m_options;
};

#define REQUIRE_GUI_NETWORK()                                                                                          \
    do {                                                                                                               \
        if (!CGuiEnvironment::NetworkOk())                                                                             \
            GTEST_SKIP() << CGuiEnvironment::NetworkWhy() << " (needs root)";                                          \
    } while (0)

#define REQUIRE_GUI_DISPLAY()                                                                                          \
    do {                                                                                                               \
        if (!CGuiEnvironment::DisplayOk())                                                                             \
            GTEST_SKIP() << CGuiEnvironment::DisplayWhy();                                                             \
    } while (0)

// The texts under `root` (labels, buttons, group titles, tabs, list headers) cut by their controls.
QStringList ClippedTexts(QWidget* root);
// Installs the English translation built beside the tests, or removes it.
bool UseEnglish(bool english);

// Runs the event loop until `condition` holds or `ms` have passed; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition, int ms = 5000);
// Runs the event loop for `ms` milliseconds.
void Pump(int ms);
