#include "core/provider/nsupdate/nsupdate_provider.h"

#include "core/log.h"
#include "core/provider/address6.h"
#include "shared/base/ipv4.h"
#include "shared/dns/dns_update.h"

int CNsupdateProvider::Send(std::vector<Item>& items)
{
    DnsZone zone;
    std::string why;
    if (!dns::ParseServer(m_config.server, zone.server, zone.port, why) ||
        !dns::ParseKey(m_config.password, zone.keyName, zone.algorithm, zone.secret, why)) {
        StopAccount(why);  // provider.conf was checked: only a file changed behind the check gets here
        return Fail(kStatusRefused, why);
    }
    zone.zone = m_config.zone;
    zone.ttl = m_config.ttl ? m_config.ttl : 60;
    std::vector<DnsAddressRecord> records;
    std::string names;
    for (const Item& item : items) {
        if (!names.empty())
            names += ", ";
        names += item.name;
        if (item.sent.ipv4)
            records.push_back(DnsAddressRecord{item.name, FormatIPv4(item.sent.ipv4)});
        if (item.sent.HasIPv6())
            records.push_back(DnsAddressRecord{item.name, address::FormatIPv6(item.sent.ipv6)});
    }
    ++m_requests;
    DnsUpdateResult result = dns::SendAddressUpdates(zone, records, m_timeoutMs);
    if (result.ok) {
        for (Item& item : items) {
            item.done4 = item.sent.ipv4 != 0;
            item.done6 = item.sent.HasIPv6();
        }
        return 0;
    }
    const std::string& e = result.error;
    if (e.find("BADSIG") != std::string::npos || e.find("BADKEY") != std::string::npos ||
        e.find("not signed") != std::string::npos || e.find("does not verify") != std::string::npos) {
        StopAccount(m_config.server + " refused the update's key or answered without its signature (" + e + ")");
        return Fail(kStatusRefused, e);
    }
    if (result.refusedContent) {
        for (Item& item : items)
            item.stop = m_config.server + " answered " + e + " to the update of zone " + m_config.zone;
        Fail(kStatusRefused, e);
        return 0;
    }
    JournalPrint(kJournalWarning, "%s: update of %s at %s failed: %s; tried again at the next check", Tag().c_str(),
                 names.c_str(), m_config.server.c_str(), e.c_str());
    return Fail(e.rfind("no answer", 0) == 0 || e.rfind("cannot resolve", 0) == 0 ? kStatusNoAnswer : 1, e);
}
