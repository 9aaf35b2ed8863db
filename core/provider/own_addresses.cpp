#include "core/provider/own_addresses.h"

#include <chrono>
#include <cstdio>

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/ipv4.h"
#include "shared/base/md5.h"

void InitOwnHost(OwnHost& host, const ProviderConfig& config, const std::string& name)
{
    host.name = name;
    auto id = config.interfaceIds.find(name);
    host.hasInterfaceId = id != config.interfaceIds.end() && address::ParseInterfaceId(id->second, host.interfaceId);
}

AddressPair WantedAddresses(const ProviderConfig& config, const OwnHost& host, const AddressPair& machine)
{
    AddressPair wanted;
    if (config.WantsIPv4() && address::IsPublic(machine.ipv4))
        wanted.ipv4 = machine.ipv4;
    if (config.WantsIPv6() && address::IsGlobalUnicast(machine.ipv6))
        wanted.ipv6 = host.hasInterfaceId ? address::WithInterfaceId(machine.ipv6, host.interfaceId) : machine.ipv6;
    return wanted;
}

void LoadAccepted(const CAcceptedAddresses& state, OwnHost& host)
{
    host.accepted = AddressPair{};
    const AcceptedAddress* v4 = state.Find(host.name, AddressFamily::IPv4);
    const AcceptedAddress* v6 = state.Find(host.name, AddressFamily::IPv6);
    if (v4 && !address::ParseBare(v4->address, host.accepted.ipv4))
        host.accepted.ipv4 = 0;
    if (v6 && !address::ParseIPv6(v6->address, host.accepted.ipv6))
        host.accepted.ipv6 = {};
}

std::string HeldText(const ProviderConfig& config, const AddressPair& accepted)
{
    std::string v4 = config.WantsIPv4() && accepted.ipv4 ? FormatIPv4(accepted.ipv4) : std::string();
    std::string v6 = config.WantsIPv6() && accepted.HasIPv6() ? address::FormatIPv6(accepted.ipv6) : "";
    if (v4.empty() || v6.empty())
        return v4 + v6;
    v4 += ',';
    return v4 + v6;
}

bool DigestMatches(const std::string& secret, const std::string& digest)
{
    CMD5 md5;
    md5.Digest(std::string_view(secret));
    const char* expected = md5.HexDigest();
    // Constant time over the 32 characters; case-insensitive, as hexadecimal is.
    if (!expected || digest.size() != 32)
        return false;
    unsigned diff = 0;
    for (size_t i = 0; i < 32; ++i)
        diff |= unsigned((digest[i] | 0x20) ^ (expected[i] | 0x20));
    return diff == 0;
}

UserInfo OwnUserInfo(const std::string& user)
{
    UserInfo a;
    std::snprintf(a.username, sizeof a.username, "%s", user.c_str());
    a.userstatus = 1;
    a.validated = 1;
    return a;
}

uint64_t MonotonicMs(const std::function<uint64_t()>& clock)
{
    if (clock)
        return clock();
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

NetInfo CAddressReport::Find(CAddressSources* sources, const ProviderConfig& config, const std::string& tag)
{
    NetInfo out;
    const char* t = tag.c_str();
    if (config.WantsIPv4()) {
        AddressFinding found = sources ? sources->Find() : AddressFinding{};
        if (found.address == 0) {
            out.netlocation = "address unknown (no source answered)";
            // Said once until an address comes; the sources log each failure of their own.
            if (m_last4 != 0 && config.WantsIPv6())
                JournalPrint(kJournalWarning,
                             "%s: no IPv4 address now; the hosts' IPv4 addresses are not updated until one comes", t);
            m_last4 = 0;
        } else if (!address::IsPublic(found.address)) {
            // Updating a name to this address would point it at nothing reachable. Which kind of
            // address it is tells the user what can help: only the shared range (100.64/10) means the
            // provider translates further out, where port mapping on the router cannot reach.
            std::string text = FormatIPv4(found.address), why;
            if (address::IsSharedAddressSpace(found.address)) {
                out.nettype = kNetTypeCarrierGradeNat;
                out.netlocation = "behind carrier-grade NAT (" + found.source + " gives " + text + ")";
                why = "this machine is behind carrier-grade NAT; no IPv4 update is sent and port mapping cannot help";
            } else if (found.source == "router") {
                out.netlocation = "behind two NAT routers (the router's own address is " + text + ")";
                why = "another NAT router stands between the router and the Internet; no IPv4 update is sent "
                      "(a check-IP URL gives the public address)";
            } else {
                out.netlocation = "private address (" + found.source + " gives " + text + ")";
                why = "no IPv4 update is sent; behind a NAT router the router or a check-IP URL gives the public "
                      "address, not the interface";
            }
            if (found.address != m_last4)
                JournalPrint(kJournalWarning, "%s: %s gives %s, not a public address: %s", t, found.source.c_str(),
                             text.c_str(), why.c_str());
            m_last4 = found.address;
        } else {
            out.dyip = static_cast<int32_t>(found.address);
            out.netlocation = found.source;
            m_last4 = 1;
        }
    }
    if (config.WantsIPv6()) {
        AddressFinding6 found = sources ? sources->FindIPv6() : AddressFinding6{};
        out.reportsIPv6 = true;
        int state = !found.found ? 0 : address::IsGlobalUnicast(found.address) ? 1 : 2;
        std::string where;
        if (state == 1) {
            out.dyip6 = found.address;
            where = found.source;
        } else {
            where = state == 0 ? "no IPv6 address" : "no global IPv6 address";
            if (state == 0 && m_last6 != 0)
                JournalPrint(kJournalWarning,
                             "%s: no IPv6 address now (no source gave one); the hosts' IPv6 addresses are not "
                             "updated until one comes",
                             t);
            else if (state == 2 && m_last6 != 2)
                JournalPrint(kJournalWarning, "%s: %s gives %s, not a global IPv6 address; it is not sent", t,
                             found.source.c_str(), address::FormatIPv6(found.address).c_str());
        }
        m_last6 = state;
        if (!config.WantsIPv4())
            out.netlocation = state == 1 ? where : "IPv6 address unknown (" + where + ")";
        else if (where != out.netlocation)
            out.netlocation += "; IPv6: " + where;
    }
    return out;
}
