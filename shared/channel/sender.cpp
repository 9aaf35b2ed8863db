#include "shared/channel/sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/local_socket.h"
#include "shared/base/files.h"
#include "shared/base/udp.h"

namespace {

sockaddr_in Loopback(uint16_t portNetworkOrder)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = portNetworkOrder;
    return a;
}

}  // namespace

CSender::CSender(CDnsListener* listener, const ChannelOptions& options)
    : m_listener(listener), m_udp(options.udp), m_dataDirectory(files::DirName(options.userFile)),
      m_socketPath(platform::ChannelSocketPath(m_dataDirectory))
{
    if (m_udp && (m_socket = BindLoopbackUdp(options.firstPort, kClientPortTries, m_port)) < 0)
        return;
    if (m_wake.Open())
        StartThread();
}

CSender::~CSender()
{
    m_stop = 1;
    Wake();
    bool finished = !ThreadStarted() || WaitThread(std::chrono::milliseconds(1000));
    // A thread that did not finish still polls these descriptors: leave them to the process's end
    // rather than let it read a reused number.
    if (finished) {
        if (m_socket >= 0)
            platform::CloseSocket(m_socket);
        m_wake.Close();
        if (m_connection >= 0)
            ::close(m_connection);
        for (int fd : m_retired)
            ::close(fd);
    } else {
        m_wake.Abandon();
    }
}

void CSender::Wake()
{
    m_wake.Signal();
}

bool CSender::SendTo(const OutPacket& packet, uint16_t port) const
{
    if (m_socket < 0 || port == 0)
        return false;
    return packet.SendTo(m_socket, htonl(INADDR_LOOPBACK), htons(port)) == packet.Size();
}

bool CSender::TrustedOwner(uid_t owner, const std::string& dataDirectory)
{
    if (owner == 0)
        return true;
    uid_t directoryOwner = 0;
    return platform::PathOwner(dataDirectory, directoryOwner) && directoryOwner == owner;
}

bool CSender::PeerTrusted(uint16_t port, uint32_t& owner, bool& nobody)
{
    owner = 0;
    nobody = false;
    if (m_socket < 0)
        return false;
    sockaddr_in from = Loopback(htons(m_port));
    sockaddr_in to = Loopback(htons(port));
    uid_t uid = 0;
    if (!m_sendLookup.UdpReceiverOwner(reinterpret_cast<sockaddr*>(&from), reinterpret_cast<sockaddr*>(&to), uid)) {
        nobody = errno == ENOENT;
        return false;  // unknown is not trusted
    }
    owner = uid;
    return TrustedOwner(uid, m_dataDirectory);
}

void CSender::Retire()
{
    m_retired.push_back(m_connection);
    m_connection = -1;
    Wake();
}

bool CSender::SendLocal(const OutPacket& packet, std::optional<CDnsListener::SendRefusal>& refusal)
{
    refusal.reset();
    std::lock_guard<std::mutex> guard(m_connectionLock);
    // A connection the service has closed since (a restart) shows at the first send: one more try
    // on a fresh one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (m_connection < 0) {
            CDnsListener::SendRefusal why;
            why.path = m_socketPath;
            int fd = platform::ConnectLocal(m_socketPath);
            if (fd < 0) {
                why.nobody = errno == ENOENT || errno == ECONNREFUSED || errno == ENOTDIR;
                why.denied = errno == EACCES || errno == EPERM;
                if (why.nobody || why.denied)
                    refusal = why;
                return false;
            }
            // Whoever may create the socket while the service is down must not get the login: the
            // listening end must be root's or the service's user's before anything is sent.
            uid_t uid = 0;
            if (!platform::LocalPeer(fd, uid) || !TrustedOwner(uid, m_dataDirectory)) {
                ::close(fd);
                why.owner = uid;
                refusal = why;
                return false;
            }
            m_connection = fd;
            Wake();
        }
        ssize_t sent =
            ::send(m_connection, packet.Data(), static_cast<size_t>(packet.Size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == packet.Size())
            return true;
        if (sent >= 0 || (errno != EPIPE && errno != ECONNRESET && errno != ENOTCONN))
            return false;  // the service does not keep up (EAGAIN): this request is lost, not the connection
        Retire();
    }
    return false;
}

void CSender::Run(int)
{
    if (m_udp)
        RunUdp();
    else
        RunLocal();
}

void CSender::RunLocal()
{
    while (!m_stop) {
        int fd;
        {
            std::lock_guard<std::mutex> guard(m_connectionLock);
            for (int old : m_retired)
                ::close(old);
            m_retired.clear();
            fd = m_connection;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};  // poll skips a negative descriptor
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (m_stop)
            break;
        if (fds[1].revents & POLLIN)
            m_wake.Drain();
        if (fd < 0 || !fds[0].revents)
            continue;
        UdpInPacketPtr packet(UdpInPacket::Create());
        if (!packet) {
            char scrap[1];
            ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);  // no storage: drop it
            continue;
        }
        int got = packet->Receive(fd);
        if (got > 0) {
            m_listener->Enqueue(std::move(packet));
            continue;
        }
        bool gone = got == 0 ? (fds[0].revents & POLLHUP) != 0 : errno != EAGAIN && errno != EINTR && errno != EMSGSIZE;
        if (!gone)
            continue;
        // The service closed the connection (a stop, a restart): the next request makes a new one.
        std::lock_guard<std::mutex> guard(m_connectionLock);
        if (m_connection == fd) {
            ::close(fd);
            m_connection = -1;
        }
    }
}

void CSender::RunUdp()
{
    pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake.Fd(), POLLIN, 0}};
    while (!m_stop) {
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
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
            char scrap[1];
            ::recv(m_socket, scrap, sizeof scrap, MSG_DONTWAIT);  // no storage: drop it
            continue;
        }
        if (packet->Receive(m_socket) <= 0)
            continue;
        // Only the service (root's or the data directory owner's socket) is listened to.
        sockaddr_in self = Loopback(htons(m_port));
        sockaddr_in sender = Loopback(packet->SenderPort());
        sender.sin_addr.s_addr = packet->SenderAddress();
        uid_t owner = 0;
        if (!m_receiveLookup.UdpReceiverOwner(reinterpret_cast<sockaddr*>(&self), reinterpret_cast<sockaddr*>(&sender),
                                              owner) ||
            !TrustedOwner(owner, m_dataDirectory))
            continue;
        m_listener->Enqueue(std::move(packet));
    }
}
