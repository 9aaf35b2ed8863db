// Service control: the backend choice and the rights every handle is checked against, in one
// place for both backends (scm_directory.cpp, scm_systemd.cpp); the service side is in
// scm_dispatcher.cpp.

#include "platform/scm.h"

#include "platform/posix/scm_directory.h"
#include "platform/posix/scm_systemd.h"

#include <cstdlib>
#include <cstring>

namespace scm {

namespace {

using detail::Fail;

thread_local Error t_lastError = kOk;

constexpr const char* kEnvBackend = "MORVANE_SCM_BACKEND";

// The right a handle needs to deliver `code`; kOk, or kInvalidParameter for a code no service can
// take (user-defined controls are 128..255).
Error ControlRight(uint32_t code, uint32_t& needed)
{
    switch (code) {
    case kStop: needed = kStopAccess; return kOk;
    case kPause:
    case kContinue: needed = kPauseContinue; return kOk;
    case kInterrogate: needed = kInterrogateAccess; return kOk;
    default: needed = kUserDefinedControl; return code >= 128 && code <= 255 ? kOk : kInvalidParameter;
    }
}

// A service handle: the rights it was opened with, checked before the backend is asked.
class CServiceHandle final : public Service {
public:
    CServiceHandle(std::unique_ptr<detail::ServiceBackend> backend, uint32_t access)
        : m_backend(std::move(backend)), m_access(access)
    {}

    const std::string& Name() const override { return m_backend->Name(); }

    bool Start(const std::vector<std::string>& args) override { return Allowed(kStart) && m_backend->Start(args); }

    bool Control(uint32_t code, Status& status) override
    {
        uint32_t needed = 0;
        if (Error invalid = ControlRight(code, needed); invalid != kOk)
            return Fail(invalid);
        return Allowed(needed) && m_backend->Control(code, status);
    }

    bool Query(Status& status) override { return Allowed(kQueryStatus) && m_backend->Query(status); }

    bool QueryConfig(Config& config) override
    {
        if (!Allowed(kQueryConfig) || !m_backend->QueryConfig(config))
            return false;
        config.access = m_access;
        return true;
    }

    bool Delete() override { return Allowed(kDelete) && m_backend->Delete(); }

    void SetControlTimeout(int milliseconds) override { m_backend->SetControlTimeout(milliseconds); }

private:
    bool Allowed(uint32_t right) const { return (m_access & right) != 0 || Fail(kAccessDenied); }

    std::unique_ptr<detail::ServiceBackend> m_backend;
    uint32_t m_access;
};

// The manager handle: the same for the manager's own rights.
class CManagerHandle final : public Manager {
public:
    CManagerHandle(std::unique_ptr<detail::ManagerBackend> backend, uint32_t access)
        : m_backend(std::move(backend)), m_access(access)
    {}

    std::unique_ptr<Service> Open(const std::string& name, uint32_t access) override
    {
        if (!Allowed(kManagerConnect))
            return nullptr;
        return Wrap(m_backend->Open(name), access);
    }

    std::unique_ptr<Service> Create(const Config& config) override
    {
        if (!Allowed(kManagerCreateService))
            return nullptr;
        return Wrap(m_backend->Create(config), config.access);
    }

    std::string Location() const override { return m_backend->Location(); }

private:
    bool Allowed(uint32_t right) const { return (m_access & right) != 0 || Fail(kAccessDenied); }

    static std::unique_ptr<Service> Wrap(std::unique_ptr<detail::ServiceBackend> backend, uint32_t access)
    {
        if (!backend)
            return nullptr;
        return std::make_unique<CServiceHandle>(std::move(backend), access);
    }

    std::unique_ptr<detail::ManagerBackend> m_backend;
    uint32_t m_access;
};

}  // namespace

namespace detail {

bool SetLastError(Error error)
{
    t_lastError = error;
    return error == kOk;
}

// The backend in use, chosen here and nowhere else: a database directory named in the environment
// always wins (the tests rely on it); then an explicit choice; then systemd when it runs as init.
Backend ActiveBackend()
{
    const char* dir = std::getenv(directory::kEnvDir);
    if (dir && *dir)
        return Backend::kDirectory;
    const char* chosen = std::getenv(kEnvBackend);
    if (chosen && std::strcmp(chosen, "systemd") == 0)
        return Backend::kSystemd;
    if (chosen && std::strcmp(chosen, "directory") == 0)
        return Backend::kDirectory;
    return systemd::Booted() ? Backend::kSystemd : Backend::kDirectory;
}

}  // namespace detail

Error LastError()
{
    return t_lastError;
}

std::unique_ptr<Manager> OpenManager(uint32_t access)
{
    std::unique_ptr<detail::ManagerBackend> backend =
        detail::ActiveBackend() == detail::Backend::kSystemd ? systemd::OpenManager() : directory::OpenManager();
    if (!backend)
        return nullptr;
    return std::make_unique<CManagerHandle>(std::move(backend), access);
}

}  // namespace scm
