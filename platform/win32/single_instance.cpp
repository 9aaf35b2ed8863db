// The named mutex: a second copy finds it owned. Windows releases it when its holder ends, however
// it ends.
#include "platform/single_instance.h"

#include "platform/win32/compat/win32.h"
#include "platform/win32/text.h"

namespace platform {

CSingleInstance::~CSingleInstance()
{
    Release();
}

bool CSingleInstance::Acquire(const std::string& name)
{
    Release();
    m_alreadyExists = false;
    // Per session, like the per-user lock elsewhere; not inherited by programs we start.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, win32::Wide("Local\\" + name).c_str());
    if (!mutex)
        return true;  // cannot be made at all: go on unguarded
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        m_alreadyExists = true;
        return false;
    }
    m_fd = static_cast<int>(reinterpret_cast<intptr_t>(mutex));
    return true;
}

void CSingleInstance::Release()
{
    if (m_fd >= 0) {
        HANDLE mutex = reinterpret_cast<HANDLE>(static_cast<intptr_t>(m_fd));
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    m_fd = -1;
}

std::string CSingleInstance::LockPath(const std::string& name)
{
    return "Local\\" + name;
}

}  // namespace platform
