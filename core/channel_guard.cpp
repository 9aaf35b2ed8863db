#include "core/channel_guard.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"

namespace {

sockaddr_in Loopback(uint32_t address, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = port;
    return a;
}

}  // namespace

bool CChannelGuard::Allowed(uid_t uid)
{
    if (uid == 0 || uid == ::geteuid())
        return true;
    struct stat st;
    if (::stat(m_dataDirectory.c_str(), &st) != 0)
        return false;
    return m_groups.IsMember(uid, st.st_gid);
}

void CChannelGuard::NoteRefused(uid_t uid, const std::string& where)
{
    if (!m_refused.insert(uid).second)
        return;
    struct stat st;
    const group* g = ::stat(m_dataDirectory.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
    JournalPrint(kJournalWarning,
                 "channel: refused %s from uid %u: not root, the service's user or a member of group %s", where.c_str(),
                 static_cast<unsigned>(uid), g ? g->gr_name : "?");
}

bool CChannelGuard::AdmitPeer(uid_t uid)
{
    if (Allowed(uid))
        return true;
    NoteRefused(uid, "a connection");
    return false;
}

bool CChannelGuard::Admit(uint32_t senderAddress, uint16_t senderPort, uint16_t localPort, uid_t& owner)
{
    sockaddr_in local = Loopback(htonl(INADDR_LOOPBACK), htons(localPort));
    sockaddr_in sender = Loopback(senderAddress, senderPort);
    // The socket our answer would reach is the one that sent: its owner is the sender.
    owner = 0;
    if (!m_owners.UdpReceiverOwner(reinterpret_cast<sockaddr*>(&local), reinterpret_cast<sockaddr*>(&sender), owner)) {
        // Not knowing who sent it is no reason to obey it.
        if (!m_lookupFailureLogged)
            JournalPrint(kJournalWarning, "channel: cannot tell who sent a datagram (%s); dropped",
                         std::strerror(errno));
        m_lookupFailureLogged = true;
        return false;
    }
    if (Allowed(owner))
        return true;
    char address[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
    NoteRefused(owner, std::string("a datagram (") + address + ":" + std::to_string(ntohs(senderPort)) + ")");
    return false;
}

bool CChannelGuard::StillOwnedBy(uint32_t address, uint16_t port, uint16_t localPort, uid_t uid)
{
    sockaddr_in local = Loopback(htonl(INADDR_LOOPBACK), htons(localPort));
    sockaddr_in client = Loopback(address, port);
    uid_t owner = 0;
    return m_owners.UdpReceiverOwner(reinterpret_cast<sockaddr*>(&local), reinterpret_cast<sockaddr*>(&client),
                                     owner) &&
           owner == uid;
}

void CDropNotes::Note(const char* why, uint32_t nowMs)
{
    ++m_dropped;
    if (m_reported && uint32_t(nowMs - m_lastReport) < 60000)
        return;
    JournalPrint(kJournalNotice, "channel: dropped %u request(s) (last: %s)", m_dropped, why);
    m_dropped = 0;
    m_reported = true;
    m_lastReport = nowMs;
}
