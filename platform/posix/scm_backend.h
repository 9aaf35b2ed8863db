#pragma once
// What a service-control backend provides. The front end (scm.cpp) chooses the backend, checks
// the rights of every handle and then calls the backend, so no backend checks rights itself.
// Internal to the platform layer.

#include "platform/scm.h"

#include <memory>
#include <string>
#include <vector>

namespace scm::detail {

// Records the outcome of a call for LastError(); returns false for errors, true for kOk.
bool SetLastError(Error error);

inline bool Fail(Error error)
{
    return SetLastError(error);
}

inline bool Succeed()
{
    return SetLastError(kOk);
}

// A registered service; the caller has checked that its handle holds the right for the call.
class ServiceBackend {
public:
    virtual ~ServiceBackend() = default;
    virtual const std::string& Name() const = 0;
    virtual bool Start(const std::vector<std::string>& args) = 0;
    // `code` is one a service can take (the front end rejects others).
    virtual bool Control(uint32_t code, Status& status) = 0;
    virtual bool Query(Status& status) = 0;
    // Fills everything but `access`, which belongs to the handle.
    virtual bool QueryConfig(Config& config) = 0;
    virtual bool Delete() = 0;
    virtual void SetControlTimeout(int milliseconds) = 0;
};

class ManagerBackend {
public:
    virtual ~ManagerBackend() = default;
    virtual std::unique_ptr<ServiceBackend> Open(const std::string& name) = 0;
    virtual std::unique_ptr<ServiceBackend> Create(const Config& config) = 0;
    virtual std::string Location() const = 0;
};

// The backend in use, chosen in scm.cpp and nowhere else.
enum class Backend { kDirectory, kSystemd };
Backend ActiveBackend();

}  // namespace scm::detail
