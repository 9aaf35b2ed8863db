#pragma once
// CSender: the client socket of the control channel and the thread that receives on it.

#include <cstdint>
#include <string>

#include "platform/socket_owner.h"
#include "shared/base/core_thread.h"
#include "shared/packet/packet.h"

class CDnsListener;

class CSender : public CoreThreadHandle {
public:
    // Binds 127.0.0.1 on the first free port of ten from `firstPort` and starts the receive thread.
    CSender(CDnsListener* listener, uint16_t firstPort);
    // Stops the receive thread (waits at most a second), then closes the socket.
    ~CSender() override;

    bool Bound() const { return m_socket >= 0; }
    uint16_t Port() const { return m_port; }

    // Sends the packet to 127.0.0.1:`port`. False when nothing left.
    bool SendTo(const OutPacket& packet, uint16_t port) const;

    // Whether the socket a datagram to 127.0.0.1:`port` would reach belongs to root or to the owner
    // of `dataDirectory` (the service's user). `owner` is its owner; `nobody` when no socket is there.
    bool PeerTrusted(uint16_t port, const std::string& dataDirectory, uint32_t& owner, bool& nobody);

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

    CDnsListener* m_listener;
    std::string m_dataDirectory;
    platform::CSocketOwnerLookup m_sendLookup;     // the owner's thread
    platform::CSocketOwnerLookup m_receiveLookup;  // the receive thread
    int m_socket = -1;
    int m_wakeFd = -1;
    uint16_t m_port = 0;
};
