#pragma once
// Who may receive a plain-HTTP request to a provider on this machine. Without TLS nothing proves who
// answers on a loopback port: while the local provider is stopped, any user may listen there and would
// get the account's digest. So before the first byte goes out, the kernel is asked who holds the other
// end; only root, the service's own user and the provider package's user pass.

#include <sys/socket.h>

#include <string>

namespace webservice {

// The system user the provider package runs its server as; looked up at every check, it may not exist.
inline constexpr const char* kProviderUser = "morvane-provider";

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool IsLoopback(const sockaddr* address);

// True when the connected TCP socket `fd` leads off this machine's loopback, or when its far end
// belongs to root, this process's user or kProviderUser. Otherwise false, and `why` says who holds it
// ("the listener on 127.0.0.1:1800 belongs to uid 1000 (alice) ...") or why nobody could tell.
bool TrustedLocalPeer(int fd, std::string& why);

}  // namespace webservice
