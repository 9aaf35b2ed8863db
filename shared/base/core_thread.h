#pragma once
// CoreThreadHandle: base of an object that owns exactly one thread.
//
// The owner asks its thread to end by setting the stop flag; the thread body (Run) polls it.
// A derived class must stop and wait for its thread in its own destructor: once the derived part
// is gone, Run can no longer be called safely.

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

class CoreThreadHandle {
public:
    CoreThreadHandle() = default;
    CoreThreadHandle(const CoreThreadHandle&) = delete;
    CoreThreadHandle& operator=(const CoreThreadHandle&) = delete;
    virtual ~CoreThreadHandle();

    // The thread body; called once on the new thread with argument 0.
    virtual void Run(int arg) = 0;

    // Starts the thread. False when a thread was already started or could not be created.
    bool StartThread();

    // Waits for the thread to finish, at most `timeout` (negative = without limit). True when it
    // finished (it is then joined); false when it is still running or was never started.
    bool WaitThread(std::chrono::milliseconds timeout = std::chrono::milliseconds(-1));

    bool ThreadStarted() const { return m_started; }
    // True from StartThread until the body has returned.
    bool ThreadRunning();

    // 0 while running; set to 1 to ask the thread to end.
    std::atomic<uint8_t> m_stop{0};

private:
    static void* ThreadMain(void* self);

    pthread_t m_thread{};
    bool m_started = false;
    bool m_joined = false;
    std::mutex m_doneLock;
    std::condition_variable m_doneSignal;
    bool m_done = false;
};
