#include "core/channel_guard.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"

bool CChannelGuard::Allowed(uid_t uid)
{
    if (uid == 0 || uid == ::geteuid())
        return true;
    struct stat st;
    if (::stat(m_dataDirectory.c_str(), &st) != 0)
        return false;
    return m_groups.IsMember(uid, st.st_gid);
}

bool CChannelGuard::Admit(uint32_t senderAddress, uint16_t senderPort, uint16_t localPort)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(localPort);
    sockaddr_in sender{};
    sender.sin_family = AF_INET;
    sender.sin_addr.s_addr = senderAddress;
    sender.sin_port = senderPort;
    // The socket our answer would reach is the one that sent: its owner is the sender.
    uid_t owner = 0;
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
    if (m_refused.insert(owner).second) {
        char address[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
        struct stat st;
        const group* g = ::stat(m_dataDirectory.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
        JournalPrint(
            kJournalWarning,
            "channel: dropped a datagram from uid %u (%s:%u): not root, the service's user or a member of group %s",
            static_cast<unsigned>(owner), address, ntohs(senderPort), g ? g->gr_name : "?");
    }
    return false;
}
