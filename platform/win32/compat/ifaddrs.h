#pragma once
// The IPv4 addresses of the adapters (GetAdaptersAddresses), named by their friendly names.
#include "net.h"

struct ifaddrs {
    struct ifaddrs* ifa_next;
    char* ifa_name;
    unsigned int ifa_flags;
    struct sockaddr* ifa_addr;
    struct sockaddr* ifa_netmask;
};

#ifdef __cplusplus
extern "C" {
#endif
int getifaddrs(struct ifaddrs** list);
void freeifaddrs(struct ifaddrs* list);
#ifdef __cplusplus
}
#endif
