#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

#include "platform/win32/compat/win32.h"

#include <tlhelp32.h>

#include "platform/win32/text.h"

namespace platform {
namespace {

using win32::Utf8;
using win32::Wide;

// One argument as the C runtime splits a command line: quoted when it has blanks or quotes,
// backslashes doubled only before a quote.
void AppendArgument(std::wstring& line, const std::wstring& arg)
{
    if (!line.empty())
        line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') {
            ++i;
            ++backslashes;
        }
        if (i == arg.size()) {
            line.append(backslashes * 2, L'\\');
            break;
        }
        if (arg[i] == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
            line += L'"';
        } else {
            line.append(backslashes, L'\\');
            line += arg[i];
        }
    }
    line += L'"';
}

HANDLE HandleOf(int value)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

void (*g_stopHandler)(int) = nullptr;

BOOL WINAPI ConsoleStop(DWORD event)
{
    if (g_stopHandler && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT)) {
        g_stopHandler(event == CTRL_CLOSE_EVENT ? SIGTERM : SIGINT);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

std::vector<int> EnumProcesses()
{
    std::vector<int> pids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        if (entry.th32ProcessID != 0)
            pids.push_back(static_cast<int>(entry.th32ProcessID));
    CloseHandle(snapshot);
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool ProcessImagePath(int pid, std::string& path)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    wchar_t buffer[32768];
    DWORD size = static_cast<DWORD>(std::size(buffer));
    bool ok = QueryFullProcessImageNameW(process, 0, buffer, &size);
    CloseHandle(process);
    if (ok)
        path = Utf8(buffer, static_cast<int>(size));
    return ok;
}

bool ProcessBaseName(int pid, std::string& name)
{
    std::string path;
    if (!ProcessImagePath(pid, path))
        return false;
    size_t slash = path.find_last_of("\\/");
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

bool ReadProcStat(int pid, char& state, uint64_t& startTime)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return false;
    FILETIME created, exited, kernel, user;
    DWORD code = 0;
    bool ok = GetProcessTimes(process, &created, &exited, &kernel, &user) && GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (!ok)
        return false;
    state = code == STILL_ACTIVE ? 'R' : 'Z';
    startTime = (uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime;
    return true;
}

bool ProcessAlive(int pid)
{
    char state = 0;
    uint64_t start = 0;
    return pid > 0 && ReadProcStat(pid, state, start) && state != 'Z';
}

bool ProcessAlive(uint32_t pid, uint64_t startTime)
{
    char state = 0;
    uint64_t start = 0;
    return ReadProcStat(static_cast<int>(pid), state, start) && state != 'Z' && (startTime == 0 || start == startTime);
}

int StartDetached(const DetachedProgram& program, const std::function<bool(int pid)>& beforeRun, int* execError)
{
    if (execError)
        *execError = 0;
    std::wstring line;
    AppendArgument(line, Wide(program.path));
    for (const std::string& arg : program.args)
        AppendArgument(line, Wide(arg));
    std::wstring environment;
    if (program.environment) {
        for (const std::string& entry : *program.environment)
            environment += Wide(entry) + L'\0';
        environment += L'\0';
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = INVALID_HANDLE_VALUE;
    HANDLE input =
        CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    if (!program.outputPath.empty())
        output = CreateFileW(Wide(program.outputPath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    else
        output =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION info{};
    // Suspended until the caller has seen its id; no console, no window, its own process group.
    DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP | CREATE_UNICODE_ENVIRONMENT;
    std::wstring workDir = Wide(program.workDir);
    BOOL created = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, flags,
                                  program.environment ? environment.data() : nullptr,
                                  workDir.empty() ? nullptr : workDir.c_str(), &startup, &info);
    DWORD error = GetLastError();
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (!created) {
        if (execError)
            *execError = win32::ErrnoOf(error);
        return 0;
    }
    const int pid = static_cast<int>(info.dwProcessId);
    if (beforeRun && !beforeRun(pid)) {
        TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        return 0;
    }
    if (program.timeoutMs >= 0) {
        // The program and everything it starts live in a job that ends when the time is up.
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        if (job && AssignProcessToJobObject(job, info.hProcess)) {
            std::thread([job, process = info.hProcess, timeout = program.timeoutMs] {
                if (WaitForSingleObject(process, static_cast<DWORD>(timeout)) == WAIT_TIMEOUT)
                    TerminateJobObject(job, 1);
                CloseHandle(process);
                CloseHandle(job);
            }).detach();
            info.hProcess = nullptr;
        } else if (job) {
            CloseHandle(job);
        }
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    if (info.hProcess)
        CloseHandle(info.hProcess);
    return pid;
}

int StartProgramHidden(const std::string& path, const std::vector<std::string>& args)
{
    DetachedProgram program;
    program.path = path;
    program.args = args;
    return StartDetached(program);
}

void IgnoreBrokenPipe()
{
    // Windows has no signal for a write to a closed connection: the write fails.
}

void OnStopRequest(void (*handler)(int))
{
    g_stopHandler = handler;
    SetConsoleCtrlHandler(&ConsoleStop, TRUE);
}

CProcessHandle::~CProcessHandle()
{
    Close();
}

bool CProcessHandle::Open(int pid)
{
    Close();
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                 static_cast<DWORD>(pid));
    if (!process)
        return false;
    if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
        CloseHandle(process);
        return false;
    }
    m_pid = pid;
    m_pidfd = static_cast<int>(reinterpret_cast<intptr_t>(process));
    return true;
}

void CProcessHandle::Close()
{
    if (m_pidfd != -1 && m_pid > 0)
        CloseHandle(HandleOf(m_pidfd));
    m_pid = 0;
    m_pidfd = -1;
}

bool CProcessHandle::Wait(int timeoutMs)
{
    if (m_pid <= 0)
        return true;
    return WaitForSingleObject(HandleOf(m_pidfd), timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) ==
           WAIT_OBJECT_0;
}

bool CProcessHandle::Terminate()
{
    if (m_pid <= 0)
        return true;
    return TerminateProcess(HandleOf(m_pidfd), 1) || WaitForSingleObject(HandleOf(m_pidfd), 0) == WAIT_OBJECT_0;
}

}  // namespace platform
