#pragma once
// Shared pieces of the service's tests: a private network, the real provider with the demo account,
// a stand-in router, a provider client that can be made to fail, and a raw channel client that sees
// every byte the service sends.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/manager.h"
#include "core/portmap.h"
#include "platform/local_socket.h"
#include "core/webservice/dynamic_service.h"
#include "shared/packet/commands.h"
#include "shared/packet/packet.h"
#include "tests/tools/provider/provider_process.h"
#include "tests/support/netns.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait.h"

// Every test binary that includes this header runs in a network namespace of its own.
class PrivateNetworkEnvironment;
inline const char* kDemoDigest = "fe01ce2a7fbac8fafaed7c982a04e229";  // MD5 of "demo"

// The whole test binary runs in a network namespace of its own (fixed ports, no neighbours).
class PrivateNetworkEnvironment : public ::testing::Environment {
public:
    void SetUp() override { s_ok = EnterPrivateNetwork(s_why); }
    static inline bool s_ok = false;
    static inline std::string s_why;
};

#define REQUIRE_PRIVATE_NETWORK()                                                                                      \
    do {                                                                                                               \
        if (!PrivateNetworkEnvironment::s_ok)                                                                          \
            GTEST_SKIP() << PrivateNetworkEnvironment::s_why << " (needs root)";                                       \
    } while (0)

// A router that answers every call; `failPort` makes mappings of that port fail.
class CTestNat : public INatLibrary {
public:
    int Discover(UpnpController** controller) override
    {
        ++discoveries;
        if (noRouter)
            return 1;
        *controller = reinterpret_cast<UpnpController*>(this);
        return 0;
    }
    int GetPublicIp(UpnpController*, char* buf, int size) override
    {
        std::snprintf(buf, size, "203.0.113.1");
        return 0;
    }
    int SetPortMapping(UpnpController*, const char*, int port, const char*, const char*) override
    {
        if (delayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs.load()));
        ++mappings;
        return port == failPort ? 2 : 0;
    }
    int RemovePortMapping(UpnpController*, int, const char*) override { return 0; }
    int ControllerFree(UpnpController** controller) override
    {
        *controller = nullptr;
        return 0;
    }
    int PrintError(int) override { return 0; }

    std::atomic<int> discoveries{0};
    std::atomic<int> mappings{0};
    std::atomic<bool> noRouter{false};
    std::atomic<int> delayMs{0};  // how long each mapping takes
    int failPort = -1;
};

// The real client, counting calls; updates can be made to fail, and every call can be sent to another
// peer on loopback (a closed port, a server that answers junk) while `detour` is set.
class CCountingService : public CDynamicService {
public:
    using CDynamicService::CDynamicService;
    int GetDynamicIP(NetInfo& info) override
    {
        ++addressCalls;
        if (uint16_t port = detour)
            return CDynamicService("127.0.0.1", port).GetDynamicIP(info);
        return CDynamicService::GetDynamicIP(info);
    }
    int GetDynamic(const std::string& u, const std::string& p, UserInfo& user, std::vector<DomainRecord>& d) override
    {
        ++listCalls;
        if (uint16_t port = detour)
            return CDynamicService("127.0.0.1", port).GetDynamic(u, p, user, d);
        return CDynamicService::GetDynamic(u, p, user, d);
    }
    int UpdateDynamic(const std::string& u, const std::string& p, UpdateResultMap& results) override
    {
        ++updateCalls;
        if (failUpdates)
            return 28;  // as a refused connection would
        if (uint16_t port = detour)
            return CDynamicService("127.0.0.1", port).UpdateDynamic(u, p, results);
        return CDynamicService::UpdateDynamic(u, p, results);
    }
    static inline std::atomic<int> addressCalls{0};
    static inline std::atomic<int> listCalls{0};
    static inline std::atomic<int> updateCalls{0};
    static inline std::atomic<bool> failUpdates{false};
    static inline std::atomic<uint16_t> detour{0};
};

// A loopback TCP port nobody listens on.
inline uint16_t ClosedPort()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// A client that sends hand-made requests and keeps every datagram the service answers with: on the
// loopback UDP channel from `bindPort` (0: any), or connected to the local socket at `path`, where
// the port arguments below mean nothing.
class CRawClient {
public:
    explicit CRawClient(uint16_t bindPort = 0)
    {
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(bindPort);
        bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    }
    explicit CRawClient(const std::string& path) : m_local(true) { m_socket = platform::ConnectLocal(path); }
    ~CRawClient() { close(m_socket); }
    CRawClient(const CRawClient&) = delete;
    CRawClient& operator=(const CRawClient&) = delete;

    bool Connected() const { return m_socket >= 0; }
    // The service closed the connection (seen by the last receive).
    bool Closed() const { return m_closed; }
    // The service has closed the connection, whatever is still unread on it.
    bool HungUp() const
    {
        pollfd pfd{m_socket, 0, 0};
        return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP);
    }
    uint16_t LocalPort() const
    {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&addr), &len);
        return ntohs(addr.sin_port);
    }
    void SendRaw(const void* bytes, size_t size, uint16_t port)
    {
        if (m_local) {
            send(m_socket, bytes, size, MSG_NOSIGNAL);
            return;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sendto(m_socket, bytes, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    void Send(uint16_t port, uint16_t command, const std::function<void(OutPacket&)>& body = {})
    {
        UdpOutPacket out;
        PacketHeader::Request(0x1234, command, ++m_sequence).Write(out);
        if (body)
            body(out);
        SendRaw(out.Data(), static_cast<size_t>(out.Size()), port);
    }
    // The next datagram, or nothing within `ms`.
    std::optional<std::vector<uint8_t>> Receive(int ms = 3000)
    {
        pollfd pfd{m_socket, POLLIN, 0};
        if (poll(&pfd, 1, ms) <= 0)
            return std::nullopt;
        std::vector<uint8_t> bytes(2048);
        ssize_t n = recv(m_socket, bytes.data(), bytes.size(), 0);
        m_closed = m_local && (n == 0 || (n < 0 && errno == ECONNRESET));  // the service closed the connection
        if (n < 0 || m_closed)
            return std::nullopt;
        bytes.resize(static_cast<size_t>(n));
        return bytes;
    }
    // The next datagram carrying `command`, skipping others.
    std::optional<std::vector<uint8_t>> ReceiveCommand(uint16_t command, int ms = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count());
            if (left <= 0)
                return std::nullopt;
            auto bytes = Receive(left);
            if (m_closed)
                return std::nullopt;
            if (bytes && bytes->size() >= 16 && ((*bytes)[14] << 8 | (*bytes)[15]) == command)
                return bytes;
        }
    }
    static void Parse(const std::vector<uint8_t>& bytes, UdpInPacket& in)
    {
        in.SetData(bytes.data(), static_cast<int>(bytes.size()));
    }

private:
    bool m_local = false;
    bool m_closed = false;
    int m_socket = -1;
    uint16_t m_sequence = 0;
};

inline ::testing::Environment* const g_privateNetwork =
    ::testing::AddGlobalTestEnvironment(new PrivateNetworkEnvironment);
