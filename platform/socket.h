#pragma once
// Sockets where they differ from other descriptors, and the event that wakes a thread waiting in
// poll() on its sockets. Sockets are ints throughout the programs (on Windows, SOCKET handles, which
// fit); poll() takes sockets only, so a wake event is one too where the system has nothing else.

#include <netinet/in.h>
#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <cstdint>

namespace platform {

// Closes a socket (not a file). 0 on success.
int CloseSocket(int socket);

// Asks for the arrival time of each datagram on `socket`, where the system records it.
void StampArrivals(int socket);
// Receives one datagram into `bytes` with its sender and its arrival (CLOCK_REALTIME): the system's
// stamp where StampArrivals could ask for one, else the time of this call. Its real size even when
// larger than `size` (then cut short), or -1 (errno).
ssize_t ReceiveStamped(int socket, uint8_t* bytes, size_t size, sockaddr_in& from, timespec& arrived);

// A counter a thread polls beside its sockets: readable once signalled, until drained.
class CWakeEvent {
public:
    CWakeEvent() = default;
    ~CWakeEvent() { Close(); }
    CWakeEvent(const CWakeEvent&) = delete;
    CWakeEvent& operator=(const CWakeEvent&) = delete;

    bool Open();
    void Close();
    // What to poll for POLLIN; -1 when not open.
    int Fd() const { return m_fd; }
    // Safe from any thread; a signal while already signalled is not lost.
    void Signal();
    // Makes it unreadable again.
    void Drain();
    // Forgets the descriptor without closing it: a thread that could not be stopped may still poll it.
    void Abandon() { m_fd = -1; }

private:
    int m_fd = -1;
};

}  // namespace platform
