// Windows has no DNS update library built yet: the text checks (dns_names.cpp) are there, sending and
// querying are refused in words, and so is an nsupdate account (core/provider/config.cpp).
#include "shared/dns/dns_update.h"

namespace dns {

const char* const kUpdatesMissing = "nsupdate accounts are not available on Windows yet";

DnsUpdateResult SendAddressUpdate(const DnsZone&, const std::string&, const std::string&, int)
{
    DnsUpdateResult result;
    result.error = kUpdatesMissing;
    return result;
}

DnsUpdateResult SendAddressUpdates(const DnsZone&, const std::vector<DnsAddressRecord>&, int)
{
    DnsUpdateResult result;
    result.error = kUpdatesMissing;
    return result;
}

bool QueryAddress(const std::string&, uint16_t, const std::string&, std::string& addresses, int, bool)
{
    addresses.clear();
    return false;
}

}  // namespace dns
