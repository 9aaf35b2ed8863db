#include "shared/base/core_thread.h"

CoreThreadHandle::~CoreThreadHandle()
{
    m_stop = 1;
    bool joined;
    {
        std::lock_guard<std::mutex> guard(m_doneLock);
        joined = m_joined;
    }
    if (m_started && !joined) {
        // The derived destructor should already have waited; never block forever here.
        if (!WaitThread(std::chrono::milliseconds(1000)))
            pthread_detach(m_thread);
    }
}

void* CoreThreadHandle::ThreadMain(void* arg)
{
    auto* self = static_cast<CoreThreadHandle*>(arg);
    self->Run(0);
    std::lock_guard<std::mutex> guard(self->m_doneLock);
    self->m_done = true;
    self->m_doneSignal.notify_all();
    return nullptr;
}

bool CoreThreadHandle::StartThread()
{
    if (m_started)
        return false;
    m_done = false;
    if (pthread_create(&m_thread, nullptr, &CoreThreadHandle::ThreadMain, this) != 0)
        return false;
    m_started = true;
    return true;
}

bool CoreThreadHandle::WaitThread(std::chrono::milliseconds timeout)
{
    if (!m_started)
        return false;
    if (pthread_equal(m_thread, pthread_self()))
        return false;
    std::unique_lock<std::mutex> lock(m_doneLock);
    if (timeout.count() < 0)
        m_doneSignal.wait(lock, [this] { return m_done; });
    else if (!m_doneSignal.wait_for(lock, timeout, [this] { return m_done; }))
        return false;
    // Several threads may wait for the same thread (the service's main function and its stop
    // handler do); only the first joins. The body has finished, so the join is immediate.
    if (!m_joined) {
        pthread_join(m_thread, nullptr);
        m_joined = true;
    }
    return true;
}

bool CoreThreadHandle::ThreadRunning()
{
    std::lock_guard<std::mutex> guard(m_doneLock);
    return m_started && !m_done;
}
