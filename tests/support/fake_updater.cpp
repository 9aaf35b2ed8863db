// Stand-in for the provider's updater in tests. Copied into a program directory as "SkelvarCore".
//
// Behaviour from MORVANE_FAKE_UPDATER (comma-separated words), then the same words as arguments:
//   visible | hidden      its window (default visible)
//   accept | refuse | hang  answer to WM_QUERYENDSESSION: 1, 0, or never (messages are not read)
//   ignoreclose           stays running after WM_CLOSE
// Other arguments (the service passes "-d <path>") are written to the log.
// MORVANE_FAKE_UPDATER_LOG names a file that gets one line per argument, then one per message.
// It exits on WM_CLOSE, and in any case after 60 s so a failed test leaves nothing behind.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/window.h"

namespace {

std::mutex g_logLock;
std::string g_logPath;

void Log(const std::string& line)
{
    if (g_logPath.empty())
        return;
    std::lock_guard<std::mutex> lock(g_logLock);
    if (FILE* f = std::fopen(g_logPath.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    bool visible = true;
    bool hang = false;
    bool ignoreClose = false;
    intptr_t answer = 1;
    auto apply = [&](const std::string& w) {
        if (w == "visible")
            visible = true;
        else if (w == "hidden")
            visible = false;
        else if (w == "accept")
            answer = 1;
        else if (w == "refuse")
            answer = 0;
        else if (w == "hang")
            hang = true;
        else if (w == "ignoreclose")
            ignoreClose = true;
        else
            return false;
        return true;
    };
    if (const char* log = std::getenv("MORVANE_FAKE_UPDATER_LOG"))
        g_logPath = log;
    if (const char* env = std::getenv("MORVANE_FAKE_UPDATER")) {
        std::stringstream ss(env);
        std::string w;
        while (std::getline(ss, w, ','))
            apply(w);
    }
    for (int i = 1; i < argc; ++i) {
        if (!apply(argv[i]))
            Log(std::string("arg ") + argv[i]);
    }

    std::atomic<bool> quit{false};
    platform::CWindowEndpoint window;
    const bool created = window.Create("SKELVARCOREWND", visible, [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == platform::WM_QUERYENDSESSION) {
            Log("queryendsession");
            return answer;
        }
        if (msg == platform::WM_CLOSE) {
            Log("close");
            if (!ignoreClose)
                quit = true;
            return 0;
        }
        Log("message " + std::to_string(msg));
        return 0;
    });
    if (!created)
        return 2;
    Log("ready");

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!quit && std::chrono::steady_clock::now() < end) {
        if (hang)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        else
            window.Pump(100);
    }
    return 0;
}
