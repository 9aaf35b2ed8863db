#pragma once
// Puts the calling process into a network namespace of its own with only a loopback interface, so
// that tests using the fixed channel ports (10000-10009, 6666-6675) never meet another test's
// sockets. Call it before any thread is started: threads created later inherit the namespace.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

inline bool EnterPrivateNetwork(std::string& why)
{
    if (unshare(CLONE_NEWNET) != 0) {
        why = std::string("cannot create a network namespace: ") + std::strerror(errno);
        return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    if (s >= 0)
        close(s);
    if (!up)
        why = std::string("cannot bring up loopback: ") + std::strerror(errno);
    return up;
}
