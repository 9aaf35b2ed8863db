// Who owns a loopback socket on Windows: the owning process from the UDP or TCP table
// (GetExtendedUdpTable, GetExtendedTcpTable), then the user of that process's token. Like the lookup
// by socket diagnostics elsewhere, it names whoever holds the port at the moment of asking.
//
// Under Wine the tables carry no owning process for sockets of Linux processes (and of its own
// services): there the host's own tables are read instead (/proc/net), and a socket is the Wine user's
// when the host says it belongs to the Linux user this process runs as, root's when to root, and
// nobody's we know otherwise. Every program of one Wine prefix runs as that one Linux user, so this
// cannot tell its Windows users apart: the limit of such a setup, not of the check.
#include "platform/socket_owner.h"

#include "platform/win32/compat/win32.h"

#include <iphlpapi.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/win32/identity.h"
#include "shared/base/names.h"

namespace platform {
namespace {

// A user of the host Wine runs on who is neither root nor the Wine user: trusted by nobody.
constexpr uid_t kForeignUser = static_cast<uid_t>(-2);

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

bool ProcessOwner(DWORD pid, uid_t& owner)
{
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

// A table from iphlpapi, grown until it fits.
template <class Get>
bool ReadTable(std::vector<BYTE>& buffer, Get get)
{
    ULONG size = 16384;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    for (int i = 0; i < 4 && rc == ERROR_INSUFFICIENT_BUFFER; ++i) {
        buffer.resize(size);
        rc = get(buffer.data(), &size);
    }
    if (rc != NO_ERROR) {
        errno = EIO;
        return false;
    }
    return true;
}

// ---- Wine ----

using DosFileName = WCHAR*(CDECL*)(const char*);

DosFileName WineDosFileName()
{
    static const DosFileName get = reinterpret_cast<DosFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    return get;
}

// A file of the host, read whole (they are small); false when not under Wine or unreadable.
bool ReadHostFile(const char* unixPath, std::string& text)
{
    DosFileName get = WineDosFileName();
    WCHAR* dos = get ? get(unixPath) : nullptr;
    if (!dos)
        return false;
    HANDLE file =
        CreateFileW(dos, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HeapFree(GetProcessHeap(), 0, dos);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    text.clear();
    char chunk[8192];
    DWORD got = 0;
    // Bounded: a busy host's table is a few thousand lines.
    while (text.size() < (8u << 20) && ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    return true;
}

// The Linux user this process runs as, from the host's /proc.
bool HostUid(unsigned long& uid)
{
    static long cached = -1;
    if (cached < 0) {
        std::string status;
        if (!ReadHostFile("/proc/self/status", status))
            return false;
        size_t at = status.find("\nUid:");
        unsigned long real = 0, effective = 0;
        if (at == std::string::npos || std::sscanf(status.c_str() + at + 5, "%lu %lu", &real, &effective) != 2)
            return false;
        cached = static_cast<long>(effective);
    }
    uid = static_cast<unsigned long>(cached);
    return true;
}

struct HostRow {
    uint32_t localAddress = 0;  // IPv4 in network order; 0 for the wildcard (and any IPv6 address)
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    unsigned state = 0;
    unsigned long uid = 0;
};

// The rows of /proc/net/<name> (udp, udp6, tcp, tcp6), at most `limit` of them.
std::vector<HostRow> HostTable(const char* name, size_t limit = 65536)
{
    std::vector<HostRow> rows;
    std::string text;
    if (!ReadHostFile((std::string("/proc/net/") + name).c_str(), text))
        return rows;
    size_t line = text.find('\n');
    while (line != std::string::npos && rows.size() < limit) {
        const char* p = text.c_str() + line + 1;
        line = text.find('\n', line + 1);
        char local[40] = "", remote[40] = "";
        unsigned localPort = 0, remotePort = 0, state = 0;
        unsigned long uid = 0;
        // "sl: local:port remote:port st tx:rx tr:when retrnsmt uid ..."
        if (std::sscanf(p, " %*u: %39[0-9A-Fa-f]:%x %39[0-9A-Fa-f]:%x %x %*x:%*x %*x:%*x %*x %lu", local, &localPort,
                        remote, &remotePort, &state, &uid) != 6)
            continue;
        HostRow row;
        // The address as the kernel holds it in memory, printed as one word: network order as read.
        if (std::strlen(local) == 8)
            row.localAddress = static_cast<uint32_t>(std::strtoul(local, nullptr, 16));
        else if (std::strlen(local) == 32 && std::strncmp(local, "0000000000000000FFFF0000", 24) == 0)
            row.localAddress = static_cast<uint32_t>(std::strtoul(local + 24, nullptr, 16));  // IPv4-mapped
        row.localPort = static_cast<uint16_t>(localPort);
        row.remotePort = static_cast<uint16_t>(remotePort);
        row.state = state;
        row.uid = uid;
        rows.push_back(row);
    }
    return rows;
}

bool HostOwner(unsigned long hostUid, uid_t& owner)
{
    unsigned long self = 0;
    if (!HostUid(self)) {
        errno = EACCES;
        return false;
    }
    owner = hostUid == self ? ::geteuid() : hostUid == 0 ? 0 : kForeignUser;
    return true;
}

// The owner of the UDP socket bound to `address`:`port` (network order), or to the wildcard.
bool WineUdpOwner(uint32_t address, uint16_t port, uid_t& owner)
{
    for (const char* name : {"udp", "udp6"}) {
        std::vector<HostRow> rows = HostTable(name);
        for (const HostRow& row : rows)
            if (row.localPort == ntohs(port) && (row.localAddress == address || row.localAddress == 0))
                return HostOwner(row.uid, owner);
    }
    errno = ENOENT;
    return false;
}

constexpr unsigned kHostTcpListen = 0x0A;

// The owner of the far end of a loopback connection from our `localPort` to `remotePort`: the
// socket that accepted it, else the listener on `remotePort`.
bool WineTcpPeerOwner(uint16_t localPort, uint16_t remotePort, uid_t& owner)
{
    std::vector<HostRow> rows = HostTable("tcp");
    std::vector<HostRow> rows6 = HostTable("tcp6");
    rows.insert(rows.end(), rows6.begin(), rows6.end());
    for (const HostRow& row : rows)
        if (row.localPort == ntohs(remotePort) && row.remotePort == ntohs(localPort))
            return HostOwner(row.uid, owner);
    for (const HostRow& row : rows)
        if (row.localPort == ntohs(remotePort) && row.state == kHostTcpListen)
            return HostOwner(row.uid, owner);
    errno = ENOENT;
    return false;
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
    std::vector<BYTE> buffer;
    if (!ReadTable(buffer, [](BYTE* data, ULONG* size) {
            return GetExtendedUdpTable(data, size, FALSE, AF_INET, UDP_TABLE_OWNER_PID, 0);
        }))
        return false;
    // The exact address before the wildcard, as the stack delivers.
    const auto* table = reinterpret_cast<const MIB_UDPTABLE_OWNER_PID*>(buffer.data());
    DWORD pid = 0;
    bool exact = false, seen = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_UDPROW_OWNER_PID& row = table->table[i];
        if (static_cast<uint16_t>(row.dwLocalPort) != target->sin_port)
            continue;
        if (row.dwLocalAddr == target->sin_addr.s_addr) {
            pid = row.dwOwningPid;
            exact = seen = true;
        } else if (row.dwLocalAddr == htonl(INADDR_ANY) && !exact) {
            pid = row.dwOwningPid;
            seen = true;
        }
    }
    if (pid != 0)
        return ProcessOwner(pid, owner);
    if (seen && WineDosFileName())
        return WineUdpOwner(target->sin_addr.s_addr, target->sin_port, owner);
    errno = ENOENT;
    return false;
}

bool CSocketOwnerLookup::TcpPeerOwner(const sockaddr* local, const sockaddr* remote, uid_t& owner)
{
    if (!local || !remote || local->sa_family != AF_INET || remote->sa_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return false;
    }
    const auto* mine = reinterpret_cast<const sockaddr_in*>(local);
    const auto* theirs = reinterpret_cast<const sockaddr_in*>(remote);
    std::vector<BYTE> buffer;
    if (!ReadTable(buffer, [](BYTE* data, ULONG* size) {
            return GetExtendedTcpTable(data, size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        }))
        return false;
    // The connection's far end once accepted; until then the listener holding it.
    const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    DWORD connection = 0, listener = 0;
    bool seen = false;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table->table[i];
        if (static_cast<uint16_t>(row.dwLocalPort) != theirs->sin_port)
            continue;
        if (row.dwLocalAddr == theirs->sin_addr.s_addr && row.dwRemoteAddr == mine->sin_addr.s_addr &&
            static_cast<uint16_t>(row.dwRemotePort) == mine->sin_port) {
            connection = row.dwOwningPid;
            seen = true;
        } else if (row.dwState == MIB_TCP_STATE_LISTEN &&
                   (row.dwLocalAddr == theirs->sin_addr.s_addr || row.dwLocalAddr == htonl(INADDR_ANY))) {
            listener = row.dwOwningPid;
            seen = true;
        }
    }
    if (connection != 0 || listener != 0)
        return ProcessOwner(connection ? connection : listener, owner);
    // The host's own listeners (a Linux provider) are not in Wine's table at all.
    if (WineDosFileName())
        return WineTcpPeerOwner(mine->sin_port, theirs->sin_port, owner);
    errno = seen ? EACCES : ENOENT;
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
