#pragma once
// Who may use the service's channel: the user owning the sending socket, as the kernel knows it, must
// be root, the service's own user, or a member of the group owning the data directory. Everything
// else is dropped unanswered and never becomes the client notifications go to.

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/socket_owner.h"

class CChannelGuard {
public:
    // `dataDirectory` decides the group; read again when it cannot be read now.
    explicit CChannelGuard(std::string dataDirectory) : m_dataDirectory(std::move(dataDirectory)) {}

    // The datagram from `senderAddress`:`senderPort` (network order) reached our socket on
    // 127.0.0.1:`localPort` (host order). Refusals are logged once per user.
    bool Admit(uint32_t senderAddress, uint16_t senderPort, uint16_t localPort);

private:
    bool Allowed(uid_t uid);

    std::string m_dataDirectory;
    platform::CSocketOwnerLookup m_owners;
    platform::CGroupMembershipCache m_groups;
    std::set<uid_t> m_refused;
    bool m_lookupFailureLogged = false;
};
