#pragma once
// Who may use the service's channel: the user at the other end, as the kernel knows it, must be root,
// the service's own user, or a member of the group owning the data directory. On the local socket
// that user is the one who connected (the kernel records it at connect); on the loopback UDP channel
// it is the owner of the sending port. Everything else is dropped unanswered and never receives
// notifications.

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/socket_owner.h"

class CChannelGuard {
public:
    // `dataDirectory` decides the group; read again when it cannot be read now.
    explicit CChannelGuard(std::string dataDirectory) : m_dataDirectory(std::move(dataDirectory)) {}

    // A connection on the local socket from `uid`. Refusals are logged once per user.
    bool AdmitPeer(uid_t uid);
    // The datagram from `senderAddress`:`senderPort` (network order) reached our socket on
    // 127.0.0.1:`localPort` (host order); `owner` is the sending socket's owner. Refusals are
    // logged once per user.
    bool Admit(uint32_t senderAddress, uint16_t senderPort, uint16_t localPort, uid_t& owner);
    // Whether a datagram from 127.0.0.1:`localPort` to `address`:`port` (network order) would
    // still reach a socket of `uid`: a client that exited leaves its port to whoever binds it next.
    bool StillOwnedBy(uint32_t address, uint16_t port, uint16_t localPort, uid_t uid);

private:
    bool Allowed(uid_t uid);
    void NoteRefused(uid_t uid, const std::string& where);

    std::string m_dataDirectory;
    platform::CSocketOwnerLookup m_owners;
    platform::CGroupMembershipCache m_groups;
    std::set<uid_t> m_refused;
    bool m_lookupFailureLogged = false;
};

// Requests dropped for what they are (junk, too many), counted and reported at most once a minute,
// so that a flood of junk does not flood the journal.
class CDropNotes {
public:
    void Note(const char* why, uint32_t nowMs);

private:
    uint32_t m_dropped = 0;
    uint32_t m_lastReport = 0;
    bool m_reported = false;
};
