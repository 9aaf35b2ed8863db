#include "shared/channel/sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>

#include "shared/channel/dns_listener.h"
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

CSender::CSender(CDnsListener* listener, uint16_t firstPort)
    : m_listener(listener), m_dataDirectory(files::DirName(listener->m_options.userFile))
{
    m_socket = BindLoopbackUdp(firstPort, kClientPortTries, m_port);
    if (m_socket >= 0) {
        m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        StartThread();
    }
}

CSender::~CSender()
{
    m_stop = 1;
    if (m_wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t n = ::write(m_wakeFd, &one, sizeof one);
        (void)n;
    }
    bool finished = !ThreadStarted() || WaitThread(std::chrono::milliseconds(1000));
    // A thread that did not finish still polls these descriptors: leave them to the process's end
    // rather than let it read a reused number.
    if (finished) {
        if (m_socket >= 0)
            ::close(m_socket);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
    }
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
    struct stat st;
    return ::stat(dataDirectory.c_str(), &st) == 0 && st.st_uid == owner;
}

bool CSender::PeerTrusted(uint16_t port, const std::string& dataDirectory, uint32_t& owner, bool& nobody)
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
    return TrustedOwner(uid, dataDirectory);
}

void CSender::Run(int)
{
    pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
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
