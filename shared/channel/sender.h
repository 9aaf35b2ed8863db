#pragma once
// CSender: the client socket of the control channel and the thread that receives on it. On the local
// socket it is one connection to the service, made at the first request and made again after the
// service went away; on the loopback UDP channel, a socket bound to one of the client ports.

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/socket_owner.h"
#include "shared/base/core_thread.h"
#include "shared/channel/dns_listener.h"
#include "shared/packet/packet.h"

class CSender : public CoreThreadHandle {
public:
    // UDP: binds 127.0.0.1 on the first free port of ten from the options' first port. Both: starts
    // the receive thread.
    CSender(CDnsListener* listener, const ChannelOptions& options);
    // Stops the receive thread (waits at most a second), then closes the sockets.
    ~CSender() override;

    bool Bound() const { return m_udp ? m_socket >= 0 : m_wake.Fd() >= 0; }
    uint16_t Port() const { return m_port; }
    const std::string& SocketPath() const { return m_socketPath; }

    // UDP: sends the packet to 127.0.0.1:`port`. False when nothing left.
    bool SendTo(const OutPacket& packet, uint16_t port) const;
    // UDP: whether the socket a datagram to 127.0.0.1:`port` would reach belongs to root or to the
    // owner of the data directory (the service's user). `owner` is its owner; `nobody` when no
    // socket is there.
    bool PeerTrusted(uint16_t port, uint32_t& owner, bool& nobody);

    // Local socket: sends the packet on the connection, connecting first when there is none. A new
    // connection is used only when the kernel says the listening end is root's or the data
    // directory owner's; `refusal` says why nothing left when it was not, or nobody listens, or this
    // user may not connect. False when nothing left.
    bool SendLocal(const OutPacket& packet, std::optional<CDnsListener::SendRefusal>& refusal);

    void Run(int arg) override;

    uint16_t Sequence() const { return m_sequence; }
    uint32_t Session() const { return m_session; }
    // A fresh session for a new login; the next request carries `sequence` + 1.
    void StartSession(uint32_t session, uint16_t sequence)
    {
        m_session = session;
        m_sequence = sequence;
    }
    uint16_t NextSequence() { return ++m_sequence; }

private:
    uint16_t m_sequence = 0;
    uint32_t m_session = 0;
    // Whether `owner` may be talked to: root or the data directory's owner.
    static bool TrustedOwner(uid_t owner, const std::string& dataDirectory);
    void RunUdp();
    void RunLocal();
    void Wake();
    // The connection is done with; the receive thread closes it (it may be polling it right now).
    void Retire();

    CDnsListener* m_listener;
    bool m_udp;
    std::string m_dataDirectory;
    std::string m_socketPath;
    platform::CSocketOwnerLookup m_sendLookup;     // the owner's thread
    platform::CSocketOwnerLookup m_receiveLookup;  // the receive thread
    int m_socket = -1;                             // UDP
    platform::CWakeEvent m_wake;
    uint16_t m_port = 0;
    std::mutex m_connectionLock;  // guards the two below
    int m_connection = -1;
    std::vector<int> m_retired;
};
