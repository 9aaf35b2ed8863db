// Service control over the Windows service control manager. The error numbers of scm.h are
// Windows's own, so LastError passes GetLastError on.
#include "platform/scm.h"

#include <cstdio>
#include <vector>

#include "platform/data_dir.h"
#include "platform/win32/compat/win32.h"
#include "platform/win32/text.h"

namespace scm {
namespace {

using platform::win32::Utf8;
using platform::win32::Wide;

thread_local Error t_lastError = kOk;

bool Record(bool ok)
{
    t_lastError = ok ? kOk : static_cast<Error>(GetLastError());
    return ok;
}

Status FromWindows(const SERVICE_STATUS& s, DWORD pid = 0)
{
    Status status;
    status.type = s.dwServiceType;
    status.state = s.dwCurrentState;
    status.controlsAccepted = s.dwControlsAccepted;
    status.win32ExitCode = s.dwWin32ExitCode;
    status.serviceExitCode = s.dwServiceSpecificExitCode;
    status.checkPoint = s.dwCheckPoint;
    status.waitHint = s.dwWaitHint;
    status.processId = s.dwCurrentState == SERVICE_STOPPED ? 0 : pid;
    return status;
}

class CWindowsService : public Service {
public:
    CWindowsService(SC_HANDLE handle, std::string name) : m_handle(handle), m_name(std::move(name)) {}
    ~CWindowsService() override { CloseServiceHandle(m_handle); }

    const std::string& Name() const override { return m_name; }

    bool Start(const std::vector<std::string>& args) override
    {
        std::vector<std::wstring> wide;
        for (const std::string& a : args)
            wide.push_back(Wide(a));
        std::vector<LPCWSTR> argv;
        for (const std::wstring& a : wide)
            argv.push_back(a.c_str());
        return Record(StartServiceW(m_handle, static_cast<DWORD>(argv.size()), argv.empty() ? nullptr : argv.data()));
    }

    bool Control(uint32_t code, Status& status) override
    {
        // The manager itself waits for the handler (up to 30 s) and reports a slow one.
        SERVICE_STATUS s{};
        bool ok = Record(ControlService(m_handle, code, &s));
        if (ok || t_lastError == kInvalidServiceControl || t_lastError == kServiceCannotAcceptCtrl) {
            Error error = t_lastError;
            Status current;
            status = Query(current) ? current : FromWindows(s);
            t_lastError = error;
        }
        return ok;
    }

    bool Query(Status& status) override
    {
        SERVICE_STATUS_PROCESS s{};
        DWORD needed = 0;
        if (!Record(
                QueryServiceStatusEx(m_handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)))
            return false;
        SERVICE_STATUS plain{
            s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
            s.dwCheckPoint,  s.dwWaitHint};
        status = FromWindows(plain, s.dwProcessId);
        return true;
    }

    bool QueryConfig(Config& config) override
    {
        DWORD needed = 0;
        QueryServiceConfigW(m_handle, nullptr, 0, &needed);
        std::vector<BYTE> buffer(needed ? needed : sizeof(QUERY_SERVICE_CONFIGW));
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        if (!Record(QueryServiceConfigW(m_handle, c, static_cast<DWORD>(buffer.size()), &needed)))
            return false;
        config.name = m_name;
        config.displayName = c->lpDisplayName ? Utf8(c->lpDisplayName) : std::string();
        config.binaryPath = c->lpBinaryPathName ? Utf8(c->lpBinaryPathName) : std::string();
        // Registered quoted (see Create): callers get the path itself back.
        if (config.binaryPath.size() >= 2 && config.binaryPath.front() == '"' && config.binaryPath.back() == '"')
            config.binaryPath = config.binaryPath.substr(1, config.binaryPath.size() - 2);
        config.type = c->dwServiceType;
        config.startType = c->dwStartType;
        config.errorControl = c->dwErrorControl;
        return true;
    }

    bool Delete() override { return Record(DeleteService(m_handle)); }

    void SetControlTimeout(int) override {}

private:
    SC_HANDLE m_handle;
    std::string m_name;
};

class CWindowsManager : public Manager {
public:
    explicit CWindowsManager(SC_HANDLE handle) : m_handle(handle) {}
    ~CWindowsManager() override { CloseServiceHandle(m_handle); }

    std::unique_ptr<Service> Open(const std::string& name, uint32_t access) override
    {
        SC_HANDLE service = OpenServiceW(m_handle, Wide(name).c_str(), access);
        if (!Record(service != nullptr))
            return nullptr;
        return std::make_unique<CWindowsService>(service, name);
    }

    std::unique_ptr<Service> Create(const Config& config) override
    {
        // Quoted when it has a blank: unquoted, "C:\Program Files\Morvane\MorvaneCore.exe" would
        // first be tried as "C:\Program.exe", which whoever may write C:\ could plant.
        std::string path = config.binaryPath;
        if (path.find(' ') != std::string::npos && path.front() != '"')
            path = '"' + path + '"';
        const std::string display = config.displayName.empty() ? config.name : config.displayName;
        SC_HANDLE service = CreateServiceW(m_handle, Wide(config.name).c_str(), Wide(display).c_str(), config.access,
                                           config.type, config.startType, config.errorControl, Wide(path).c_str(),
                                           nullptr, nullptr, nullptr, nullptr, nullptr);
        if (!Record(service != nullptr))
            return nullptr;
        return std::make_unique<CWindowsService>(service, config.name);
    }

    std::string Location() const override { return "the Windows service control manager"; }

private:
    SC_HANDLE m_handle;
};

// ---- service side ----

std::wstring g_serviceName;
ServiceMainFn g_serviceMain;
CtrlHandler g_ctrlHandler;

DWORD WINAPI HandlerEx(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_INTERROGATE)
        return NO_ERROR;
    if (g_ctrlHandler)
        g_ctrlHandler(control);
    return NO_ERROR;
}

// A service has no console: its lines (standard error) go to a file in the data directory. Begun
// afresh at a start once past 1 MB, the previous one kept beside it as .old.
void LogToDataDirectory()
{
    const std::string dir = platform::DataDirectory(true);
    if (dir.empty())
        return;
    const std::wstring log = Wide(dir + platform::kServiceLogName);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (GetFileAttributesExW(log.c_str(), GetFileExInfoStandard, &data) &&
        (data.nFileSizeHigh != 0 || data.nFileSizeLow > (1u << 20)))
        MoveFileExW(log.c_str(), (log + L".old").c_str(), MOVEFILE_REPLACE_EXISTING);
    if (_wfreopen(log.c_str(), L"a", stderr))
        std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void WINAPI ServiceMainW(DWORD argc, LPWSTR* argv)
{
    LogToDataDirectory();
    std::vector<std::string> args;
    for (DWORD i = 0; i < argc; ++i)
        args.push_back(Utf8(argv[i]));
    std::vector<char*> pointers;
    for (std::string& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    if (g_serviceMain)
        g_serviceMain(static_cast<int>(args.size()), pointers.data());
}

}  // namespace

Error LastError()
{
    return t_lastError;
}

std::unique_ptr<Manager> OpenManager(uint32_t access)
{
    SC_HANDLE handle = OpenSCManagerW(nullptr, nullptr, access);
    if (!Record(handle != nullptr))
        return nullptr;
    return std::make_unique<CWindowsManager>(handle);
}

std::string DatabaseDirectory()
{
    return {};  // the manager keeps its own, in the registry
}

bool RunDispatcher(const std::string& name, ServiceMainFn serviceMain)
{
    g_serviceName = Wide(name);
    g_serviceMain = std::move(serviceMain);
    SERVICE_TABLE_ENTRYW table[] = {{g_serviceName.data(), &ServiceMainW}, {nullptr, nullptr}};
    return Record(StartServiceCtrlDispatcherW(table));
}

StatusHandle RegisterCtrlHandler(const std::string& name, CtrlHandler handler)
{
    g_ctrlHandler = std::move(handler);
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(Wide(name).c_str(), &HandlerEx, nullptr);
    Record(handle != nullptr);
    return reinterpret_cast<StatusHandle>(handle);
}

bool SetStatus(StatusHandle handle, const Status& status)
{
    if (!handle) {
        t_lastError = kInvalidHandle;
        return false;
    }
    SERVICE_STATUS s{status.type,          status.state,           status.controlsAccepted,
                     status.win32ExitCode, status.serviceExitCode, status.checkPoint,
                     status.waitHint};
    if (status.serviceExitCode != 0 && s.dwWin32ExitCode == 0)
        s.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    return Record(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s));
}

}  // namespace scm
