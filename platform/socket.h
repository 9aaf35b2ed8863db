#pragma once
// Sockets where they differ from other descriptors, and the event that wakes a thread waiting in
// poll() on its sockets. Sockets are ints throughout the programs (on Windows, SOCKET handles, which
// fit); poll() takes sockets only, so a wake event is one too where the system has nothing else.

namespace platform {

// Closes a socket (not a file). 0 on success.
int CloseSocket(int socket);

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

private:
    int m_fd = -1;
};

}  // namespace platform
