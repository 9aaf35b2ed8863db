#include "core/provider/address_sources.h"

#include "core/log.h"
#include "core/portmap.h"
#include "core/provider/address.h"
#include "core/provider/https.h"
#include "core/provider/interface_address.h"
#include "shared/base/ipv4.h"

#include <string_view>

AddressFinding CAddressSources::Find()
{
    if (!m_options.interfaceName.empty())
        return FromInterface(m_options.interfaceName);
    AddressFinding router;
    if (m_options.router)
        router = FromRouter();
    // Any device on the LAN can answer for the router, and nothing authenticates it: its answer
    // alone decides only when no check-IP source is configured. Otherwise an HTTPS source decides,
    // and the router's answer at most confirms it.
    if (m_options.checkIp.empty())
        return router;
    AddressFinding checked;
    for (const std::string& url : m_options.checkIp) {
        if (m_options.cancel && m_options.cancel->load())
            return {};
        checked = FromCheckIp(url);
        if (checked.address != 0)
            break;
    }
    const uint64_t pair = uint64_t(router.address) << 32 | checked.address;
    if (checked.address == 0) {
        if (router.address != 0 && pair != m_lastMismatch)
            JournalPrint(kJournalWarning,
                         "address: the router gives %s, but no check-IP source answered to confirm it; it is not used",
                         FormatIPv4(router.address).c_str());
        m_lastMismatch = router.address != 0 ? pair : 0;
        return {};
    }
    if (router.address == checked.address) {
        checked.source = "router, confirmed by " + checked.source;
    } else if (router.address != 0 && pair != m_lastMismatch) {
        JournalPrint(kJournalWarning, "address: the router gives %s but %s gives %s; the router's answer is not used",
                     FormatIPv4(router.address).c_str(), checked.source.c_str(), FormatIPv4(checked.address).c_str());
    }
    m_lastMismatch = router.address != 0 && router.address != checked.address ? pair : 0;
    return checked;
}

void CAddressSources::NoteOnce(std::string& last, const std::string& why)
{
    if (why != last && !why.empty())
        JournalPrint(kJournalWarning, "address: %s", why.c_str());
    last = why;
}

AddressFinding CAddressSources::FromInterface(const std::string& name)
{
    AddressFinding found;
    found.source = "interface " + name;
    std::string why;
    if (!address::InterfaceIPv4(name, found.address, why))
        found.address = 0;
    NoteOnce(m_lastWhy4, found.address ? std::string() : why);
    return found;
}

AddressFinding6 CAddressSources::FindIPv6()
{
    if (!m_options.interfaceName6.empty())
        return FromInterface6(m_options.interfaceName6);
    AddressFinding6 found;
    for (const std::string& url : m_options.checkIp6) {
        if (m_options.cancel && m_options.cancel->load())
            return {};
        found = FromCheckIp6(url);
        if (found.found)
            break;
    }
    return found;
}

AddressFinding6 CAddressSources::FromInterface6(const std::string& name)
{
    AddressFinding6 found;
    found.source = "interface " + name;
    std::string why;
    bool sameInterface = m_last6.found && m_last6.source == found.source;
    found.found = address::InterfaceIPv6(name, sameInterface ? &m_last6.address : nullptr, found.address, why);
    NoteOnce(m_lastWhy6, found.found ? std::string() : why);
    m_last6 = found;
    return found;
}

AddressFinding CAddressSources::FromRouter()
{
    AddressFinding found;
    found.source = "router";
    INatLibrary& nat = m_options.nat ? *m_options.nat : DefaultNatLibrary();
    UpnpController* controller = nullptr;
    int rc = nat.Discover(&controller);
    if (rc == 0) {
        char text[64] = {};
        rc = nat.GetPublicIp(controller, text, sizeof text);
        text[sizeof text - 1] = 0;
        if (rc == 0 && !address::ParseAnswer(text, found.address))
            JournalPrint(kJournalWarning, "address: the router's external address is not an IPv4 address");
    }
    nat.ControllerFree(&controller);
    if (rc != 0)
        JournalPrint(kJournalWarning, "address: no external address from the router (libnat error %d)", rc);
    return found;
}

bool CAddressSources::AskCheckIp(const std::string& url, int ipVersion, HttpsAnswer& answer)
{
    HttpsRequest request;
    request.url = url;
    request.caFile = m_options.caFile;
    request.timeoutMs = m_options.checkIpTimeoutMs;
    request.connectTimeoutMs = m_options.checkIpTimeoutMs;
    request.cancel = m_options.cancel;
    request.ipVersion = ipVersion;
    if (HttpsGet(request, answer))
        return true;
    JournalPrint(kJournalWarning, "address: %s did not answer%s: %s", url.c_str(), ipVersion == 6 ? " over IPv6" : "",
                 answer.error.c_str());
    return false;
}

AddressFinding CAddressSources::FromCheckIp(const std::string& url)
{
    AddressFinding found;
    found.source = url;
    HttpsAnswer answer;
    if (!AskCheckIp(url, 4, answer))
        return found;
    if (answer.status != 200 || !address::ParseAnswer(answer.body, found.address)) {
        found.address = 0;
        JournalPrint(kJournalWarning, "address: %s gave no IPv4 address (HTTP %ld)", url.c_str(), answer.status);
    }
    return found;
}

AddressFinding6 CAddressSources::FromCheckIp6(const std::string& url)
{
    AddressFinding6 found;
    found.source = url;
    HttpsAnswer answer;
    if (!AskCheckIp(url, 6, answer))
        return found;
    // One bare address with white space around it at most, like the IPv4 answers.
    std::string_view text = answer.body;
    const char* space = " \t\r\n";
    size_t first = text.find_first_not_of(space), last = text.find_last_not_of(space);
    text = first == std::string_view::npos ? std::string_view() : text.substr(first, last - first + 1);
    found.found = answer.status == 200 && address::ParseIPv6(text, found.address);
    if (!found.found)
        JournalPrint(kJournalWarning, "address: %s gave no IPv6 address (HTTP %ld)", url.c_str(), answer.status);
    return found;
}
