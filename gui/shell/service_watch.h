#pragma once
// Noticing at once that the service's process has ended: a process descriptor of it (pidfd) in the
// event loop becomes readable when it exits. Nothing polls; a service whose process cannot be
// watched (none registered, not running, another kernel) is found lost by its unanswered requests
// instead.

#include <QObject>

#include <functional>
#include <string>

class QSocketNotifier;

class CServiceWatch : public QObject {
    Q_OBJECT
public:
    explicit CServiceWatch(std::string serviceName, QObject* parent = nullptr);
    ~CServiceWatch() override;

    // Watches the process the service manager reports for the service; true when it is watched now.
    // A watch already armed for the same process stays as it is.
    bool Arm();
    void Disarm();
    bool Armed() const { return m_fd >= 0; }
    int Pid() const { return m_pid; }

    // Where the service's process id comes from; tests name a process of their own. An empty
    // function restores the service manager.
    static void SetPidSource(std::function<int()> source);

signals:
    // The watched process has ended; the watch is disarmed.
    void ended();

private:
    int ServicePid() const;

    std::string m_name;
    int m_fd = -1;
    int m_pid = 0;
    QSocketNotifier* m_notifier = nullptr;
};
