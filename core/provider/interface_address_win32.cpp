// Windows has no interface address source yet (platform::kInterfaceSourcesMissing): provider.conf
// with one is refused, and these answer so for whoever asks all the same. The rules for choosing
// among an interface's addresses stay with the Linux implementation.
#include "core/provider/interface_address.h"
#include "core/provider/rtnetlink.h"
#include "platform/interfaces.h"

namespace address {

bool InterfaceIPv4(const std::string&, uint32_t&, std::string& why)
{
    why = platform::kInterfaceSourcesMissing;
    return false;
}

bool InterfaceIPv6(const std::string&, const IPv6*, IPv6&, std::string& why)
{
    why = platform::kInterfaceSourcesMissing;
    return false;
}

}  // namespace address

namespace rtnl {

// No interface notifications: CInterfaceWatch says once that the interface is checked only at the
// periodic address check.
CInterfaceEvents::~CInterfaceEvents() = default;

bool CInterfaceEvents::Open(std::string& why)
{
    why = platform::kInterfaceSourcesMissing;
    return false;
}

void CInterfaceEvents::Close() {}

unsigned CInterfaceEvents::Drain(const std::string&)
{
    return 0;
}

}  // namespace rtnl
