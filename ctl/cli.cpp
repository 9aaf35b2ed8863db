// Error output and password input shared by morvanectl's commands.

#include "ctl/cli.h"

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

namespace ctl {

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

int Fail(const Options& opt, int code, const std::string& message)
{
    if (opt.json)
        std::printf("{\"ok\":false,\"code\":%d,\"error\":%s}\n", code, JsonString(message).c_str());
    else
        std::fprintf(stderr, "morvanectl: %s\n", message.c_str());
    return code;
}

std::string ReadPassword()
{
    std::string password;
    if (isatty(STDIN_FILENO)) {
        std::fprintf(stderr, "Password: ");
        termios old{};
        tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
        std::getline(std::cin, password);
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fprintf(stderr, "\n");
    } else {
        std::getline(std::cin, password);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

}  // namespace ctl
