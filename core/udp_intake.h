#pragma once
// The receiving end of the loopback UDP channel, kept for clients that speak it (the service opens it
// only with MORVANE_UDP_CHANNEL=1). The kernel cannot say who sent a datagram, only who owns the
// sending port now; asked when the worker gets round to a datagram (after a slow provider call, say),
// the answer would name whoever holds the port by then. So a thread of its own takes each datagram as
// it arrives and asks at once; the worker gets the admitted ones only, each with its owner. One that
// could not be asked about soon after its arrival (by the kernel's stamp) is dropped: the port may
// have changed hands by then.

#include <netinet/in.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "core/channel_guard.h"
#include "platform/socket.h"
#include "shared/base/core_thread.h"
#include "shared/packet/packet.h"

// Admitted datagrams waiting for the worker; more are dropped.
inline constexpr size_t kMaxUdpArrivals = 64;
// How long after a datagram's arrival its sender may be asked about. The thread asks within
// microseconds unless the machine is starved; the bound keeps a starved machine from widening the gap.
inline constexpr int64_t kMaxOwnerDelayMs = 500;

class CUdpIntake : public CoreThreadHandle {
public:
    struct Arrival {
        UdpInPacketPtr packet;
        uid_t owner = 0;
        uint32_t address = 0;  // the sender, network order
        uint16_t port = 0;
    };

    // `socket` is the channel's socket, bound to 127.0.0.1:`port`; it stays the caller's.
    CUdpIntake(int socket, uint16_t port, const std::string& dataDirectory);
    ~CUdpIntake() override;

    bool Start();
    // Readable while admitted datagrams wait.
    int ReadyFd() const { return m_ready.Fd(); }
    // The oldest waiting datagram; false when none waits.
    bool Take(Arrival& arrival);

    void Run(int arg) override;

private:
    void Drop(const char* why);

    int m_socket;
    uint16_t m_port;
    platform::CWakeEvent m_ready;  // signalled while the queue holds a datagram
    platform::CWakeEvent m_wake;   // stop
    CChannelGuard m_guard;
    CDropNotes m_drops;
    std::mutex m_lock;
    std::deque<Arrival> m_queue;
};
