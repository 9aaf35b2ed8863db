#pragma once
// The directory backend of service control: a database of services in a directory, where a
// started service is a detached process that runs the dispatcher. Its records and control socket
// are shared with the dispatcher (scm_dispatcher.cpp). Internal to the platform layer.

#include "platform/posix/scm_backend.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace scm::directory {

// How the starter tells the service program who it is and where its database lives.
constexpr const char* kEnvService = "MORVANE_SCM_SERVICE";
constexpr const char* kEnvDir = "MORVANE_SCM_DIR";
constexpr const char* kEnvArgs = "MORVANE_SCM_ARGS";

// Control requests and replies on a service's control socket.
constexpr uint32_t kMagic = 0x314D5343;

struct Request {
    uint32_t magic;
    uint32_t control;
};

struct Reply {
    uint32_t magic;
    uint32_t error;
    uint32_t status[8];
};

bool ValidName(const std::string& name);
// Service names compare without regard to ASCII case; files use the lower-case form.
std::string Stem(const std::string& name);
bool SameName(const std::string& a, const std::string& b);

// Start arguments as one environment value, and back.
std::string EncodeArgs(const std::vector<std::string>& args);
bool DecodeArgs(const char* text, std::vector<std::string>& args);

struct Registration {
    Config config;
    bool deletePending = false;
};

std::string FormatRegistration(const Registration& reg);
bool ReadRegistration(const std::string& path, Registration& reg);

struct StatusRecord {
    Status status;
    uint32_t pid = 0;
    uint64_t startTime = 0;  // of the process `pid`, to tell it from a later process with that id
};

std::string FormatStatus(const StatusRecord& rec);
bool ReadStatus(const std::string& path, StatusRecord& rec);

// Address of a service's control socket. False when it cannot be expressed.
bool ControlAddress(const std::string& dir, int dirFd, const std::string& stem, sockaddr_un& addr, socklen_t& length);

struct Database {
    std::string dir;
    int fd = -1;

    ~Database()
    {
        if (fd >= 0)
            ::close(fd);
    }
    std::string Path(const std::string& stem, const char* suffix) const { return dir + "/" + stem + suffix; }
};

// Serialises check-and-change sequences between threads (mutex) and processes (flock).
class DatabaseLock {
public:
    explicit DatabaseLock(int fd);
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

private:
    std::lock_guard<std::mutex> m_guard;
    int m_fd;
};

// Status as a caller should see it: a process that died without reporting kStopped is stopped.
Status EffectiveStatus(const std::string& dir, const std::string& stem);

void RemoveServiceFiles(const std::string& dir, const std::string& stem);

// Finishes a deletion that waited for the service to stop. Caller holds the database lock.
// True when the registration is gone.
bool ReapIfDeleted(const std::string& dir, const std::string& stem);

// The database in DatabaseDirectory(); null (kAccessDenied) when it cannot be reached.
std::unique_ptr<detail::ManagerBackend> OpenManager();

}  // namespace scm::directory
