// The POSIX calls of compat/ that are more than a name, over Win32.
#include <fcntl.h>
#include <ifaddrs.h>
#include <io.h>
#include <iphlpapi.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/win32/text.h"

using platform::win32::ErrnoOf;

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeoutMs)
{
    if (count > 64) {
        errno = EINVAL;
        return -1;
    }
    WSAPOLLFD copy[64];
    for (nfds_t i = 0; i < count; ++i)
        copy[i] = WSAPOLLFD{static_cast<SOCKET>(fds[i].fd), fds[i].events, 0};
    int n = WSAPoll(copy, count, timeoutMs);
    if (n < 0) {
        errno = WSAGetLastError() == WSAEINTR ? EINTR : EIO;
        return -1;
    }
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = copy[i].revents;
    return n;
}

extern "C" int fcntl(int, int command, ...)
{
    if (command == F_GETFL || command == F_SETFL)
        return 0;
    errno = EINVAL;
    return -1;
}

extern "C" int fchmod(int, mode_t)
{
    return 0;
}

extern "C" int chown(const char*, uid_t, gid_t)
{
    return 0;
}

extern "C" int flock(int fd, int operation)
{
    HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (file == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED whole{};
    if (operation & LOCK_UN) {
        if (UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole))
            return 0;
        errno = ErrnoOf(GetLastError());
        return -1;
    }
    DWORD flags = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (operation & LOCK_NB)
        flags |= LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(file, flags, 0, MAXDWORD, MAXDWORD, &whole))
        return 0;
    DWORD error = GetLastError();
    errno = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? EWOULDBLOCK : ErrnoOf(error);
    return -1;
}

extern "C" int tcgetattr(int fd, struct termios* t)
{
    DWORD mode = 0;
    if (!GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode)) {
        errno = ENOTTY;
        return -1;
    }
    t->c_lflag = (mode & ENABLE_ECHO_INPUT) ? ECHO : 0;
    return 0;
}

extern "C" int tcsetattr(int fd, int, const struct termios* t)
{
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) {
        errno = ENOTTY;
        return -1;
    }
    mode = (t->c_lflag & ECHO) ? (mode | ENABLE_ECHO_INPUT) : (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    return SetConsoleMode(console, mode) ? 0 : -1;
}

extern "C" int kill(pid_t pid, int signal)
{
    if (signal != 0 || pid <= 0) {
        errno = EINVAL;
        return -1;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process) {
        errno = GetLastError() == ERROR_ACCESS_DENIED ? EPERM : ESRCH;
        return -1;
    }
    DWORD code = 0;
    bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    if (running)
        return 0;
    errno = ESRCH;
    return -1;
}

namespace {

struct AddressEntry {
    ifaddrs entry;
    sockaddr_in address;
    std::string name;
};

}  // namespace

extern "C" int getifaddrs(struct ifaddrs** list)
{
    *list = nullptr;
    ULONG size = 16384;
    std::vector<BYTE> buffer;
    ULONG rc;
    do {
        buffer.resize(size);
        rc = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    } while (rc == ERROR_BUFFER_OVERFLOW && size < (1u << 22));
    if (rc != NO_ERROR && rc != ERROR_NO_DATA) {
        errno = ErrnoOf(rc);
        return -1;
    }
    ifaddrs** tail = list;
    if (rc == NO_ERROR)
        for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next)
            for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
                if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET)
                    continue;
                auto* e = new AddressEntry();
                e->name = platform::win32::Utf8(a->FriendlyName);
                std::memcpy(&e->address, u->Address.lpSockaddr, sizeof e->address);
                e->entry.ifa_name = e->name.data();
                e->entry.ifa_addr = reinterpret_cast<sockaddr*>(&e->address);
                *tail = &e->entry;
                tail = &e->entry.ifa_next;
            }
    return 0;
}

extern "C" void freeifaddrs(struct ifaddrs* list)
{
    while (list) {
        ifaddrs* next = list->ifa_next;
        // ifa is the first member of its entry
        delete reinterpret_cast<AddressEntry*>(list);
        list = next;
    }
}

extern "C" locale_t newlocale(int, const char*, locale_t)
{
    static int one;
    return reinterpret_cast<locale_t>(&one);
}

extern "C" void freelocale(locale_t) {}

extern "C" const char* nl_langinfo_l(int item, locale_t)
{
    static char codeset[16];
    if (item != CODESET)
        return "";
    std::snprintf(codeset, sizeof codeset, "CP%u", GetACP());
    return codeset;
}
