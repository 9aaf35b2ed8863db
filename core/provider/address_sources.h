#pragma once
// Where the public address comes from when the provider does not say: a named local interface
// (used alone when given; its address chosen as interface_address.h says); else the check-IP URLs in
// turn, the first that answers deciding, with the router's external address over UPnP/NAT-PMP (libnat)
// used only when it agrees or when no URL is configured (nothing authenticates the router's answer).
// Each answer must be one bare IPv4 address; anything else (HTML, an IPv6 address, garbage, no answer
// in time) moves on to the next source.
// IPv6 has two sources: the interface (the same one, alone when given) and the check-IP6 URLs, asked
// over IPv6, whose answer must be one bare IPv6 address. The router is none: behind it IPv6 addresses
// are not translated, and nothing authenticates its answer anyway.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "core/provider/address6.h"
#include "core/provider/https.h"

class INatLibrary;

struct AddressSourceOptions {
    std::string interfaceName;   // the IPv4 address from this interface alone (empty: the sources below)
    std::string interfaceName6;  // the same for IPv6
    bool router = true;
    std::vector<std::string> checkIp;
    std::vector<std::string> checkIp6;
    std::string caFile;
    long checkIpTimeoutMs = 10000;
    INatLibrary* nat = nullptr;                 // null = libnat
    const std::atomic<bool>* cancel = nullptr;  // a stop: no more sources are asked
};

struct AddressFinding {
    uint32_t address = 0;  // 0 = no source gave one
    std::string source;    // "interface eth0", "router", or the check-IP URL
};

struct AddressFinding6 {
    bool found = false;
    address::IPv6 address{};
    std::string source;  // "interface eth0" or the check-IP6 URL
};

class CAddressSources {
public:
    explicit CAddressSources(AddressSourceOptions options) : m_options(std::move(options)) {}

    // The address the sources give, public or not (the caller decides what to do with a private
    // one); 0 when none, or when only the router answered while check-IP URLs are configured. Each
    // failing source leaves one line in the log, a router that disagrees one line per new answer.
    AddressFinding Find();
    // The IPv6 address the sources give, global or not (the caller decides); not found when none.
    // The interface keeps the address it gave last while that stays eligible.
    AddressFinding6 FindIPv6();

    AddressFinding FromInterface(const std::string& name);
    AddressFinding FromRouter();
    AddressFinding FromCheckIp(const std::string& url);
    AddressFinding6 FromInterface6(const std::string& name);
    AddressFinding6 FromCheckIp6(const std::string& url);

private:
    // One GET of a check-IP URL over IPv`ipVersion`; false (logged) when it did not answer.
    bool AskCheckIp(const std::string& url, int ipVersion, HttpsAnswer& answer);
    // Logs `why` unless it is what was logged last for this family (`last`): an interface without an
    // address of a family is said once, not at every check and every notification.
    void NoteOnce(std::string& last, const std::string& why);

    AddressSourceOptions m_options;
    uint64_t m_lastMismatch = 0;  // router and check-IP answers last logged as disagreeing
    std::string m_lastWhy4, m_lastWhy6;
    AddressFinding6 m_last6;  // the interface's address given last
};
