#include "core/provider/interface_address.h"

#include <linux/if_addr.h>
#include <net/if.h>
#include <sys/socket.h>

#include <tuple>

#include "core/provider/address.h"

namespace address {

namespace {

constexpr uint32_t kNotUsable =
    IFA_F_TEMPORARY | IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_OPTIMISTIC | IFA_F_DADFAILED;

const IPv6& Bytes6(const rtnl::AddressRecord& record)
{
    return record.address;
}

uint32_t Value4(const rtnl::AddressRecord& record)
{
    const auto& b = record.address;
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | uint32_t(b[3]);
}

bool Permanent(const rtnl::AddressRecord& record)
{
    return (record.flags & IFA_F_PERMANENT) != 0;
}

bool Read(const std::string& name, int family, std::vector<rtnl::AddressRecord>& records, std::string& why)
{
    uint32_t index = if_nametoindex(name.c_str());
    if (index == 0) {
        why = "there is no interface " + name;
        return false;
    }
    return rtnl::ReadAddresses(family, index, records, why);
}

}  // namespace

bool IsEligibleIPv6(const rtnl::AddressRecord& record)
{
    return record.family == AF_INET6 && IsGlobalUnicast(Bytes6(record)) && !(record.flags & kNotUsable) &&
           record.preferredSeconds != 0 && record.validSeconds != 0;
}

int ChooseIPv6(const std::vector<rtnl::AddressRecord>& records, const IPv6* current)
{
    int best = -1, kept = -1;
    bool anyPermanent = false;
    for (size_t i = 0; i < records.size(); ++i) {
        const rtnl::AddressRecord& r = records[i];
        if (!IsEligibleIPv6(r))
            continue;
        anyPermanent = anyPermanent || Permanent(r);
        if (current && Bytes6(r) == *current)
            kept = int(i);
        // Larger is better: permanent, longest preferred lifetime, lowest address.
        auto rank = [](const rtnl::AddressRecord& a) {
            IPv6 bytes = Bytes6(a);
            for (uint8_t& b : bytes)
                b = uint8_t(~b);
            return std::make_tuple(Permanent(a), a.preferredSeconds, bytes);
        };
        if (best < 0 || rank(r) > rank(records[size_t(best)]))
            best = int(i);
    }
    if (kept >= 0 && (Permanent(records[size_t(kept)]) || !anyPermanent))
        return kept;
    return best;
}

int ChooseIPv4(const std::vector<rtnl::AddressRecord>& records)
{
    int best = -1;
    auto rank = [](const rtnl::AddressRecord& a) {
        return std::make_tuple(IsPublic(Value4(a)), !(a.flags & IFA_F_DEPRECATED) && a.preferredSeconds != 0,
                               !(a.flags & IFA_F_SECONDARY));
    };
    for (size_t i = 0; i < records.size(); ++i) {
        const rtnl::AddressRecord& r = records[i];
        if (r.family != AF_INET || (r.flags & (IFA_F_TENTATIVE | IFA_F_DADFAILED)) || Value4(r) == 0)
            continue;
        if (best < 0 || rank(r) > rank(records[size_t(best)]))
            best = int(i);
    }
    return best;
}

bool InterfaceIPv4(const std::string& name, uint32_t& address, std::string& why)
{
    std::vector<rtnl::AddressRecord> records;
    if (!Read(name, AF_INET, records, why))
        return false;
    int chosen = ChooseIPv4(records);
    if (chosen < 0) {
        why = "interface " + name + " has no IPv4 address";
        return false;
    }
    address = Value4(records[size_t(chosen)]);
    return true;
}

bool InterfaceIPv6(const std::string& name, const IPv6* current, IPv6& address, std::string& why)
{
    std::vector<rtnl::AddressRecord> records;
    if (!Read(name, AF_INET6, records, why))
        return false;
    int chosen = ChooseIPv6(records, current);
    if (chosen < 0) {
        why = "interface " + name + " has no usable global IPv6 address";
        return false;
    }
    address = Bytes6(records[size_t(chosen)]);
    return true;
}

}  // namespace address
