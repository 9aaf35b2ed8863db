#include "gui/shell/service_watch.h"

#include <QSocketNotifier>

#include <sys/syscall.h>
#include <unistd.h>

#include <utility>

#include "platform/scm.h"

namespace {

std::function<int()>& PidSource()
{
    static std::function<int()> source;
    return source;
}

int OpenProcessDescriptor(int pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

}  // namespace

CServiceWatch::CServiceWatch(std::string serviceName, QObject* parent) : QObject(parent), m_name(std::move(serviceName))
{}

CServiceWatch::~CServiceWatch()
{
    Disarm();
}

void CServiceWatch::SetPidSource(std::function<int()> source)
{
    PidSource() = std::move(source);
}

int CServiceWatch::ServicePid() const
{
    if (PidSource())
        return PidSource()();
    auto manager = scm::OpenManager(scm::kManagerConnect);
    auto service = manager ? manager->Open(m_name, scm::kQueryStatus) : nullptr;
    scm::Status status;
    if (!service || !service->Query(status) || status.state == scm::kStopped)
        return 0;
    return static_cast<int>(status.processId);
}

bool CServiceWatch::Arm()
{
    const int pid = ServicePid();
    if (pid <= 0) {
        Disarm();
        return false;
    }
    if (Armed() && pid == m_pid)
        return true;
    Disarm();
    const int fd = OpenProcessDescriptor(pid);
    if (fd < 0)
        return false;
    m_fd = fd;
    m_pid = pid;
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        Disarm();
        emit ended();
    });
    return true;
}

void CServiceWatch::Disarm()
{
    if (m_notifier) {
        m_notifier->setEnabled(false);
        m_notifier->deleteLater();
        m_notifier = nullptr;
    }
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pid = 0;
}
