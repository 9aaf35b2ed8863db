#include "core/udp_intake.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstring>

namespace {

uint32_t NowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

}  // namespace

CUdpIntake::CUdpIntake(int socket, uint16_t port, const std::string& dataDirectory)
    : m_socket(socket), m_port(port), m_guard(dataDirectory)
{
    // The kernel stamps each datagram with its arrival.
    platform::StampArrivals(m_socket);
    m_ready.Open();
    m_wake.Open();
}

CUdpIntake::~CUdpIntake()
{
    m_stop = 1;
    m_wake.Signal();
    // The thread only waits in poll(): it ends at once. One still running keeps its descriptors.
    if (ThreadStarted() && !WaitThread(std::chrono::milliseconds(2000))) {
        m_ready.Abandon();
        m_wake.Abandon();
    }
}

bool CUdpIntake::Start()
{
    return m_ready.Fd() >= 0 && m_wake.Fd() >= 0 && StartThread();
}

bool CUdpIntake::Take(Arrival& arrival)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_queue.empty())
        return false;
    arrival = std::move(m_queue.front());
    m_queue.pop_front();
    // Readable for as long as anything waits: the worker takes one per wake-up.
    if (m_queue.empty())
        m_ready.Drain();
    return true;
}

void CUdpIntake::Drop(const char* why)
{
    m_drops.Note(why, NowMs());
}

void CUdpIntake::Run(int)
{
    pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
    while (!m_stop) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (m_stop)
            break;
        if (!(fds[0].revents & (POLLIN | POLLERR)))
            continue;
        UdpInPacketPtr packet(UdpInPacket::Create());
        if (!packet) {
            // No storage for a packet: drop the datagram rather than spin on it.
            char scrap[1];
            ::recv(m_socket, scrap, sizeof scrap, MSG_DONTWAIT);
            Drop("no packet buffer free");
            continue;
        }
        uint8_t bytes[kPacketCapacity];
        sockaddr_in from{};
        timespec arrived{};
        ssize_t got = platform::ReceiveStamped(m_socket, bytes, sizeof bytes, from, arrived);
        if (got <= 0 || got > kPacketCapacity) {
            // Empty, oversized, or an error report (ICMP) for an earlier send.
            if (got != -1 || errno != ECONNREFUSED)
                Drop("empty or oversized");
            continue;
        }
        packet->SetData(bytes, static_cast<int>(got));
        // A datagram without the header carries no command: nothing to act on, nobody to ask about.
        if (!packet->HasHeader()) {
            Drop("shorter than a header");
            continue;
        }
        uid_t owner = 0;
        if (!m_guard.Admit(from.sin_addr.s_addr, from.sin_port, m_port, owner))
            continue;
        // The answer names whoever owned the port when it was asked; only close to the arrival is that
        // the sender (this thread may not have been scheduled for a while).
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t lateMs = (int64_t(now.tv_sec) - arrived.tv_sec) * 1000 + (now.tv_nsec - arrived.tv_nsec) / 1000000;
        if (arrived.tv_sec == 0 || lateMs < 0 || lateMs > kMaxOwnerDelayMs) {
            Drop("too late to tell who sent it");
            continue;
        }
        bool queued = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_queue.size() < kMaxUdpArrivals) {
                m_queue.push_back(Arrival{std::move(packet), owner, from.sin_addr.s_addr, from.sin_port});
                m_ready.Signal();  // under the lock: Take cannot drain it after this datagram is queued
                queued = true;
            }
        }
        if (!queued)
            Drop("too many requests waiting");
    }
}
