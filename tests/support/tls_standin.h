#pragma once
// A small HTTPS server standing in for a dyndns2 server, an HTTP API or a check-IP service (certificates
// from TlsFiles, tests/tools/provider/provider_process.h): it records every request it reads (head, and
// the body a Content-Length announces) and answers with whatever the test says: a body (status 200), or
// "HTTP/1.1 STATUS ...\r\n[headers]\r\n" followed by the body. Loopback only.

#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CTlsStandIn {
public:
    // The answer body for a request head; kHang keeps the connection open without answering.
    using Answer = std::function<std::string(const std::string& head)>;
    static inline const std::string kHang = "<hang>";

    ~CTlsStandIn() { Stop(); }

    bool Start(const std::string& cert, const std::string& key, Answer answer)
    {
        // A peer that gives up mid-handshake must not end the test process (the service ignores it too).
        signal(SIGPIPE, SIG_IGN);
        m_answer = std::move(answer);
        m_ctx = SSL_CTX_new(TLS_server_method());
        if (!m_ctx || SSL_CTX_use_certificate_chain_file(m_ctx, cert.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(m_ctx, key.c_str(), SSL_FILETYPE_PEM) != 1)
            return false;
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(m_listen, 16) != 0 ||
            getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            return false;
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    void Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_listen >= 0)
            close(m_listen);
        m_listen = -1;
        if (m_ctx)
            SSL_CTX_free(m_ctx);
        m_ctx = nullptr;
    }
    uint16_t Port() const { return m_port; }
    std::string Url(const std::string& path = "/") const
    {
        return "https://127.0.0.1:" + std::to_string(m_port) + path;
    }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    void ClearRequests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.clear();
    }
    // Connections whose handshake failed; connections served to the end, whatever happened.
    int FailedHandshakes() const { return m_failed; }
    int Connections() const { return m_connections; }

private:
    static size_t ContentLength(const std::string& head)
    {
        std::string lower = head.substr(0, head.find("\r\n\r\n"));
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t at = lower.find("\r\ncontent-length:");
        return at == std::string::npos ? 0
                                       : std::min<size_t>(std::strtoul(lower.c_str() + at + 18, nullptr, 10), 1 << 20);
    }
    void Serve()
    {
        while (!m_stop) {
            pollfd pfd{m_listen, POLLIN, 0};
            if (poll(&pfd, 1, 50) <= 0)
                continue;
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            timeval tv{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
            SSL* ssl = SSL_new(m_ctx);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                std::string head;
                char buf[2048];
                int n;
                while (head.find("\r\n\r\n") == std::string::npos && (n = SSL_read(ssl, buf, sizeof buf)) > 0)
                    head.append(buf, static_cast<size_t>(n));
                size_t length = ContentLength(head), end = head.find("\r\n\r\n");
                while (end != std::string::npos && head.size() < end + 4 + length &&
                       (n = SSL_read(ssl, buf, sizeof buf)) > 0)
                    head.append(buf, static_cast<size_t>(n));
                if (!head.empty()) {  // a client that refused the certificate after the handshake sends nothing
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_requests.push_back(head);
                }
                std::string body = m_answer(head);
                if (body == kHang) {
                    // Until the client gives up and closes (or the read times out).
                    while (!m_stop && SSL_read(ssl, buf, sizeof buf) > 0) {
                    }
                } else {
                    std::string status = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n";
                    if (body.rfind("HTTP/1.1 ", 0) == 0 && body.find("\r\n\r\n") != std::string::npos) {
                        status = body.substr(0, body.find("\r\n\r\n") + 2);
                        body = body.substr(body.find("\r\n\r\n") + 4);
                    }
                    std::string reply = status + "Content-Length: " + std::to_string(body.size()) +
                                        "\r\nConnection: close\r\n\r\n" + body;
                    SSL_write(ssl, reply.data(), static_cast<int>(reply.size()));
                    SSL_shutdown(ssl);
                }
            } else {
                ++m_failed;
                ERR_clear_error();
            }
            SSL_free(ssl);
            close(fd);
            ++m_connections;
        }
    }

    SSL_CTX* m_ctx = nullptr;
    int m_listen = -1;
    uint16_t m_port = 0;
    Answer m_answer;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_failed{0};
    std::atomic<int> m_connections{0};
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
};
