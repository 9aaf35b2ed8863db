// Service used by the service-control tests. It behaves like the real service host: reports start
// pending then running, runs a worker until the stop control, and reports stopped from the
// handler. Every report and every control it sees is appended to a record file, so a test can
// assert the exact sequence.
//
// Start arguments (after the service name): record=<path>, idle (no worker: ServiceMain returns
// right after reporting running), no-handler (ServiceMain returns without registering),
// register-delay=<ms>, stop-delay=<ms> (the stop handler dawdles), double-stop (reports stopped
// twice), exhaust-fds (once running, opens descriptors until none are left). The service name is $SCM_TEST_SERVICE_NAME, default "ScmTestSvc".

#include "platform/scm.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string g_name = "ScmTestSvc";
std::string g_record;
bool g_idle = false;
bool g_noHandler = false;
bool g_doubleStop = false;
bool g_exhaustFds = false;
int g_registerDelayMs = 0;
int g_stopDelayMs = 0;

scm::StatusHandle g_handle = nullptr;
std::mutex g_mutex;
std::condition_variable g_cv;
bool g_stop = false;
bool g_workerDone = false;
bool g_workerStarted = false;
std::vector<int> g_hoarded;  // exhaust-fds
std::thread g_worker;
// Held across a report and its record line, so the record keeps the order others observe.
std::mutex g_recordMutex;

void Record(const std::string& line)
{
    if (g_record.empty())
        return;
    int fd = ::open(g_record.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string text = line + "\n";
    (void)!::write(fd, text.data(), text.size());
    ::close(fd);
}

bool Report(uint32_t state)
{
    std::lock_guard<std::mutex> lock(g_recordMutex);
    scm::Status status;
    status.state = state;
    bool ok = scm::SetStatus(g_handle, status);
    Record("report " + std::to_string(state) + (ok ? " ok" : " fail"));
    return ok;
}

void Handler(uint32_t control)
{
    {
        std::lock_guard<std::mutex> lock(g_recordMutex);
        Record("control " + std::to_string(control));
    }
    if (control != scm::kStop)
        return;  // pause, continue, interrogate: nothing changes, nothing is reported
    if (g_stopDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(g_stopDelayMs));
    // The control got through with none left; the rest of the stop may have them back (the
    // sanitizers need some when a thread ends).
    for (int fd : g_hoarded)
        ::close(fd);
    g_hoarded.clear();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stop = true;
    }
    g_cv.notify_all();
    if (g_worker.joinable())
        g_worker.join();
    Report(scm::kStopped);
    if (g_doubleStop)
        Report(scm::kStopped);
}

void ServiceMain(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("record=", 0) == 0)
            g_record = arg.substr(7);
        else if (arg == "idle")
            g_idle = true;
        else if (arg == "no-handler")
            g_noHandler = true;
        else if (arg == "double-stop")
            g_doubleStop = true;
        else if (arg == "exhaust-fds")
            g_exhaustFds = true;
        else if (arg.rfind("register-delay=", 0) == 0)
            g_registerDelayMs = std::atoi(arg.c_str() + 15);
        else if (arg.rfind("stop-delay=", 0) == 0)
            g_stopDelayMs = std::atoi(arg.c_str() + 11);
    }
    Record("main " + std::string(argv[0]) + " argc=" + std::to_string(argc));
    for (int i = 1; i < argc; ++i)
        Record("arg " + std::string(argv[i]));
    const char* inherited = std::getenv("MORVANE_SCM_SERVICE");
    Record(std::string("env ") + (inherited ? inherited : "-"));
    if (g_noHandler)
        return;
    if (g_registerDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(g_registerDelayMs));
    g_handle = scm::RegisterCtrlHandler(g_name, Handler);
    if (!g_handle)
        return;
    Report(scm::kStartPending);
    if (!Report(scm::kRunning) || g_idle)
        return;
    g_worker = std::thread([] {
        std::unique_lock<std::mutex> lock(g_mutex);
        g_workerStarted = true;
        g_cv.notify_all();
        g_cv.wait(lock, [] { return g_stop; });
        g_workerDone = true;
        g_cv.notify_all();
    });
    // Once the worker runs, nothing here needs a descriptor any more (the sanitizers' checks of a
    // thread's start do).
    if (g_exhaustFds) {
        {
            std::unique_lock<std::mutex> started(g_mutex);
            g_cv.wait(started, [] { return g_workerStarted; });
        }
        Record("exhausting descriptors");
        // A low limit first: quick to reach, whatever the system's default.
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            g_hoarded.push_back(fd);
    }
    std::unique_lock<std::mutex> lock(g_mutex);
    g_cv.wait(lock, [] { return g_workerDone; });
}

}  // namespace

int main()
{
    if (const char* name = std::getenv("SCM_TEST_SERVICE_NAME"))
        g_name = name;
    if (!scm::RunDispatcher(g_name, ServiceMain))
        return 2;
    Record("dispatcher returned");
    return 0;
}
