#include "core/provider/https.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

extern char** environ;

namespace {

std::mutex g_helperLock;
std::string g_helper;  // empty: requests run here

// Fields as "<length>:<bytes>", one after the other: any byte may be in a password.
void Put(std::string& out, std::string_view field)
{
    out += std::to_string(field.size()) + ":";
    out += field;
}

bool Take(std::string_view& in, std::string& field)
{
    size_t colon = in.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 6)
        return false;
    size_t n = 0;
    for (char c : in.substr(0, colon)) {
        if (c < '0' || c > '9')
            return false;
        n = n * 10 + size_t(c - '0');
    }
    if (in.size() - colon - 1 < n)
        return false;
    field.assign(in.substr(colon + 1, n));
    in.remove_prefix(colon + 1 + n);
    return true;
}

bool TakeLong(std::string_view& in, long& value)
{
    std::string text;
    if (!Take(in, text) || text.empty() || text.size() > 12)
        return false;
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0';
}

constexpr size_t kMaxMessage = 320 * 1024;  // an API answer of up to 256 KiB and its framing

bool WriteAll(int fd, const std::string& data)
{
    for (size_t at = 0; at < data.size();) {
        ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += size_t(n);
    }
    return true;
}

}  // namespace

void UseHttpsHelper(const std::string& program)
{
    std::lock_guard<std::mutex> lock(g_helperLock);
    g_helper = program;
}

bool HttpsGet(const HttpsRequest& request, HttpsAnswer& answer)
{
    std::string program;
    {
        std::lock_guard<std::mutex> lock(g_helperLock);
        program = g_helper;
    }
    if (program.empty())
        return HttpsGetHere(request, answer);
    answer = HttpsAnswer{};
    if (request.cancel && request.cancel->load()) {
        answer.error = "cancelled";
        return false;
    }
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        answer.error = std::string("cannot start the HTTPS helper: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        answer.error = std::string("cannot start the HTTPS helper: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {program.data(), const_cast<char*>(kHttpsHelperArgument), nullptr};
    pid_t pid = 0;
    int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        answer.error = "cannot start the HTTPS helper " + program + ": " + std::strerror(rc);
        return false;
    }
    std::string message;
    Put(message, request.url);
    Put(message, request.user);
    Put(message, request.password);
    Put(message, request.caFile);
    Put(message, std::to_string(request.timeoutMs));
    Put(message, std::to_string(request.connectTimeoutMs));
    Put(message, std::to_string(request.ipVersion));
    Put(message, request.method);
    std::string headers;
    for (const std::string& h : request.headers)
        headers += h + "\n";
    Put(message, headers);
    Put(message, request.body);
    Put(message, std::to_string(request.maxBody));
    // Far below a pipe's buffer: written whole before the child reads.
    bool sent = message.size() < kMaxMessage && WriteAll(in[1], message);
    close(in[1]);

    // libcurl keeps to the request's times; the child gets a few seconds more to start and end.
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(std::max(request.timeoutMs, request.connectTimeoutMs) + 5000);
    std::string reply;
    bool ended = false, killed = false;
    while (sent && !ended) {
        if ((request.cancel && request.cancel->load()) || std::chrono::steady_clock::now() > deadline) {
            killed = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0)
            continue;
        char buffer[4096];
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || reply.size() + size_t(n) > kMaxMessage)
            ended = true;
        else
            reply.append(buffer, size_t(n));
    }
    close(out[0]);
    if (!ended)
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string_view view = reply;
    std::string ok;
    if (!killed && Take(view, ok) && TakeLong(view, answer.status) && Take(view, answer.body) &&
        Take(view, answer.error) && TakeLong(view, answer.retryAfter) && view.empty())
        return ok == "1";
    answer = HttpsAnswer{};
    if (!killed)
        answer.error = "the HTTPS helper ended without an answer";
    else if (request.cancel && request.cancel->load())
        answer.error = "cancelled";
    else
        answer.error = "the HTTPS helper overran the request's time";
    return false;
}

int HttpsHelperMain()
{
    std::string message;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        message.append(buffer, size_t(n));
        if (message.size() > kMaxMessage)
            return 2;
    }
    std::string_view view = message;
    HttpsRequest request;
    long ipVersion = 0, maxBody = 0;
    std::string headers;
    if (!Take(view, request.url) || !Take(view, request.user) || !Take(view, request.password) ||
        !Take(view, request.caFile) || !TakeLong(view, request.timeoutMs) ||
        !TakeLong(view, request.connectTimeoutMs) || !TakeLong(view, ipVersion) || !Take(view, request.method) ||
        !Take(view, headers) || !Take(view, request.body) || !TakeLong(view, maxBody) || maxBody < 0 ||
        maxBody > 256 * 1024 || !view.empty())
        return 2;
    request.ipVersion = int(ipVersion);
    request.maxBody = size_t(maxBody);
    for (size_t at = 0, end; (end = headers.find('\n', at)) != std::string::npos; at = end + 1)
        request.headers.push_back(headers.substr(at, end - at));
    HttpsAnswer answer;
    bool ok = HttpsGetHere(request, answer);
    std::string reply;
    Put(reply, ok ? "1" : "0");
    Put(reply, std::to_string(answer.status));
    Put(reply, answer.body);
    Put(reply, answer.error);
    Put(reply, std::to_string(answer.retryAfter));
    return WriteAll(1, reply) ? 0 : 1;
}
