#pragma once
// Offscreen Qt for the GUI's tests. Register CGuiEnvironment once per test binary; before any test
// runs it selects the offscreen platform, gives the process a private runtime directory (0700),
// optionally a private network (the channel's fixed ports), creates the QApplication, and records
// every URL opened and every message box instead of showing anything.

#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <string>

class CUrlRecorder : public QObject {
    Q_OBJECT
public slots:
    void Open(const QUrl& url) { urls << url.toString(QUrl::FullyEncoded); }

public:
    QStringList urls;
};

class CGuiEnvironment : public ::testing::Environment {
public:
    explicit CGuiEnvironment(bool privateNetwork) : m_privateNetwork(privateNetwork) {}
    void SetUp() override;
    void TearDown() override;

    // Whether the private network could be made (it needs root); why not.
    static bool NetworkOk();
    static const std::string& NetworkWhy();
    static QStringList& Urls();
    static QStringList& Messages();
    static const std::string& RuntimeDir();

private:
    bool m_privateNetwork;
};

#define REQUIRE_GUI_NETWORK()                                                   \
    do {                                                                        \
        if (!CGuiEnvironment::NetworkOk())                                      \
            GTEST_SKIP() << CGuiEnvironment::NetworkWhy() << " (needs root)";   \
    } while (0)

// Runs the event loop until `condition` holds or `ms` have passed; returns the condition.
bool ProcessEventsUntil(const std::function<bool()>& condition, int ms = 5000);

// A fresh directory under /tmp; removed by RemoveTree.
std::string MakeTempDirectory(const char* tag);
void RemoveTree(const std::string& dir);
