#include "tools/provider/secret_input.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace provider {

namespace {

constexpr size_t kMaxPassword = 1024;

termios g_saved{};

// A signal while echo is off must not leave the terminal silent.
void RestoreAndDie(int sig)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    signal(sig, SIG_DFL);
    raise(sig);
}

// One line from standard input without its line end. Longer lines than a password may be are refused.
bool ReadLine(std::string& line, std::string& why)
{
    line.clear();
    char c;
    for (;;) {
        ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (n == 0 || c == '\n')
            break;
        if (line.size() == kMaxPassword) {
            why = "a password longer than " + std::to_string(kMaxPassword) + " bytes";
            return false;
        }
        line += c;
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// Asks on standard error and reads the answer from the terminal without echo.
bool AskQuietly(const std::string& prompt, std::string& answer, std::string& why)
{
    std::fprintf(stderr, "%s", prompt.c_str());
    std::fflush(stderr);
    termios quiet{};
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) {
        why = std::string("cannot use the terminal: ") + std::strerror(errno);
        return false;
    }
    quiet = g_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    struct sigaction restore {
    }, old[3];
    restore.sa_handler = RestoreAndDie;
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i)
        sigaction(signals[i], &restore, &old[i]);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    bool ok = ReadLine(answer, why);
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
    for (int i = 0; i < 3; ++i)
        sigaction(signals[i], &old[i], nullptr);
    return ok;
}

}  // namespace

bool ReadPassword(const std::string& prompt, bool confirm, std::string& password, std::string& why)
{
    if (!isatty(STDIN_FILENO)) {
        if (!ReadLine(password, why))
            return false;
    } else {
        std::string again;
        if (!AskQuietly(prompt, password, why) || (confirm && !AskQuietly("Again: ", again, why)))
            return false;
        if (confirm && again != password) {
            why = "the two passwords differ";
            return false;
        }
    }
    if (password.empty()) {
        why = "the password must not be empty";
        return false;
    }
    return true;
}

}  // namespace provider
