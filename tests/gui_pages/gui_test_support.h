#pragma once
// What every page test needs: an offscreen QApplication in a private runtime directory, URLs
// recorded instead of opened, message boxes recorded instead of shown, and event pumping.

#include <QApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <string>
#include <vector>

class CUrlRecorder : public QObject {
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls.push_back(url); }
};

// Set up by GuiTestMain before the tests run.
CUrlRecorder& Urls();
QStringList& Messages();
// A fresh directory under the test's private temporary root.
std::string MakeTempDir();

// Runs the event loop for `ms` milliseconds.
inline void Pump(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Creates the application and runs the tests; `privateNetwork` first moves the process into a
// network namespace of its own (before any thread starts).
int GuiTestMain(int argc, char** argv, bool privateNetwork);
