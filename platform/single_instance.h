#pragma once
// One running copy per user: a named lock that a second copy of a program finds taken.
//
// The lock is an flock on "<runtime dir>/<name>.lock" (runtime dir: $XDG_RUNTIME_DIR, else
// /tmp/morvane-<uid>, private to the user). The kernel drops it when the holder ends, however it
// ends, so a crashed copy never blocks the next start. The descriptor is not inherited by programs
// the holder starts.

#include <string>

namespace platform {

class CSingleInstance {
public:
    CSingleInstance() = default;
    ~CSingleInstance();
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    // Takes the lock `name` (no '/'). False only when another process holds it; when the lock file
    // cannot be made at all the program goes on unguarded, so this returns true then.
    bool Acquire(const std::string& name);
    // Whether the last Acquire found the lock held by someone else.
    bool AlreadyExists() const { return m_alreadyExists; }
    // Whether this object holds the lock.
    bool Held() const { return m_fd >= 0; }
    void Release();

    // Where the lock file of `name` lives; empty when there is no usable runtime directory.
    static std::string LockPath(const std::string& name);

private:
    int m_fd = -1;
    bool m_alreadyExists = false;
};

}  // namespace platform
