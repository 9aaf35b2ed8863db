#pragma once
// A one-connection-at-a-time HTTP peer for the client tests: records each request as received and
// answers with a scripted reply (or misbehaves on purpose).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CRawServer {
public:
    enum class Mode { Reply, CloseAtOnce, NeverAnswer, Drip };  // Drip: one byte of the reply every 400 ms

    CRawServer()
    {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(m_listen, 8);
        socklen_t len = sizeof a;
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] { Loop(); });
    }
    ~CRawServer()
    {
        m_stop = true;
        m_thread.join();
        close(m_listen);
    }

    uint16_t Port() const { return m_port; }
    std::string Endpoint() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/"; }

    // The reply for the following connections; raw bytes, sent as given.
    void SetReply(const std::string& raw, Mode mode = Mode::Reply)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_reply = raw;
        m_mode = mode;
    }
    // A 200 answer carrying `body` with a correct Content-Length.
    void SetHttpOk(const std::string& body, const char* type = "text/xml; charset=utf-8")
    {
        SetReply(HttpReply("200 OK", body, type));
    }
    static std::string HttpReply(const char* status, const std::string& body,
                                 const char* type = "text/xml; charset=utf-8")
    {
        return std::string("HTTP/1.1 ") + status + "\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }
    // A SOAP response envelope around the element `inner` in urn:dynamic.
    static std::string Envelope(const std::string& inner)
    {
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
               "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
               "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
               "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns=\"urn:dynamic\">"
               "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">" +
               inner + "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    }

    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }

private:
    void Loop()
    {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int c = accept(m_listen, nullptr, nullptr);
            if (c < 0)
                continue;
            std::string reply;
            Mode mode;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                reply = m_reply;
                mode = m_mode;
            }
            if (mode == Mode::CloseAtOnce) {
                close(c);
                continue;
            }
            std::string request = ReadRequest(c);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_requests.push_back(request);
            }
            if (mode == Mode::NeverAnswer) {
                // Hold the connection open without a byte until the client gives up or we stop.
                char b;
                while (!m_stop) {
                    pollfd q{c, POLLIN, 0};
                    if (poll(&q, 1, 50) > 0 && recv(c, &b, 1, 0) <= 0)
                        break;
                }
            } else if (mode == Mode::Drip) {
                for (size_t i = 0; i < reply.size() && !m_stop; ++i) {
                    if (send(c, reply.data() + i, 1, MSG_NOSIGNAL) != 1)
                        break;
                    for (int t = 0; t < 8 && !m_stop; ++t)
                        std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            } else {
                send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
            }
            close(c);
        }
    }

    std::string ReadRequest(int c)
    {
        std::string data;
        size_t need = std::string::npos;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            size_t end = data.find("\r\n\r\n");
            if (end != std::string::npos && need == std::string::npos) {
                size_t at = data.find("Content-Length: ");
                size_t length = at != std::string::npos && at < end ? std::stoul(data.substr(at + 16)) : 0;
                need = end + 4 + length;
            }
            if (need != std::string::npos && data.size() >= need)
                break;
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            char buf[4096];
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            data.append(buf, static_cast<size_t>(n));
        }
        return data;
    }

    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::mutex m_mutex;
    std::string m_reply;
    Mode m_mode = Mode::Reply;
    std::vector<std::string> m_requests;
};
