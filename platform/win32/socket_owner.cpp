// Who owns a loopback UDP socket on Windows: the owning process from the UDP table
// (GetExtendedUdpTable), then the user of that process's token. Like the lookup by socket
// diagnostics elsewhere, it names whoever holds the port at the moment of asking.
#include "platform/socket_owner.h"

#include "platform/win32/compat/win32.h"

#include <iphlpapi.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "platform/win32/compat/win32.h"
#include "platform/win32/identity.h"
#include "shared/base/names.h"

namespace platform {
namespace {

// The process the service control manager runs as our service, 0 when none.
DWORD ServiceProcessId()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return 0;
    DWORD pid = 0;
    std::wstring name(kServiceName, kServiceName + std::char_traits<char>::length(kServiceName));
    if (SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS)) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                 &needed) &&
            status.dwCurrentState != SERVICE_STOPPED)
            pid = status.dwProcessId;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

}  // namespace

CSocketOwnerLookup::~CSocketOwnerLookup() = default;

bool CSocketOwnerLookup::Open()
{
    return true;
}

bool CSocketOwnerLookup::UdpReceiverOwner(const sockaddr* from, const sockaddr* to, uid_t& owner)
{
    (void)from;  // unconnected UDP sockets: the receiving end is the one bound to `to`
    if (!to || to->sa_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return false;
    }
    const auto* target = reinterpret_cast<const sockaddr_in*>(to);
    ULONG size = 0;
    std::vector<BYTE> buffer;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    for (int i = 0; i < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++i) {
        buffer.resize(size ? size : 16384);
        size = static_cast<ULONG>(buffer.size());
        rc = GetExtendedUdpTable(buffer.data(), &size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
    }
    if (rc != NO_ERROR) {
        errno = EIO;
        return false;
    }
    // The exact address before the wildcard, as the stack delivers.
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
    DWORD pid = 0;
    bool exact = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_UDPROW_OWNER_PID& row = table->table[i];
        if (static_cast<uint16_t>(row.dwLocalPort) != target->sin_port)
            continue;
        if (row.dwLocalAddr == target->sin_addr.s_addr) {
            pid = row.dwOwningPid;
            exact = true;
        } else if (row.dwLocalAddr == htonl(INADDR_ANY) && !exact) {
            pid = row.dwOwningPid;
        }
    }
    if (pid == 0) {
        errno = ENOENT;
        return false;
    }
    if (pid == GetCurrentProcessId()) {
        owner = ::geteuid();
        return true;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE token = nullptr;
    bool known = process && OpenProcessToken(process, TOKEN_QUERY, &token) && win32::TokenUserId(token, owner);
    if (token)
        CloseHandle(token);
    if (process)
        CloseHandle(process);
    if (known)
        return true;
    // A user may not look into the service's (LocalSystem's) token, but the service control
    // manager says which process the service is.
    if (pid == ServiceProcessId()) {
        owner = 0;
        return true;
    }
    errno = EACCES;
    return false;
}

bool PathOwner(const std::string& path, uid_t& owner)
{
    return win32::OwnerOf(path, owner);
}

bool UserInGroup(uid_t uid, gid_t gid)
{
    return gid == 0 && win32::SeenAsAdministrator(uid);
}

bool CGroupMembershipCache::IsMember(uid_t uid, gid_t gid)
{
    const int64_t nowMs = static_cast<int64_t>(GetTickCount64());
    Entry& entry = m_entries[{uid, gid}];
    if (entry.expiresMs <= nowMs) {
        entry.member = UserInGroup(uid, gid);
        entry.expiresMs = nowMs + m_ttlMs;
    }
    return entry.member;
}

}  // namespace platform
