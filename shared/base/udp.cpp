#include "shared/base/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int BindLoopbackUdp(uint16_t firstPort, int tries, uint16_t& port)
{
    for (int i = 0; i < tries; ++i) {
        uint16_t candidate = static_cast<uint16_t>(firstPort + i);
        int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            continue;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(candidate);
        if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            port = candidate;
            return s;
        }
        ::close(s);
    }
    return -1;
}
