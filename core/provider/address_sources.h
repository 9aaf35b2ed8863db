#pragma once
// Where the public address comes from when the provider does not say: a named local interface
// (used alone when given), else the router's external address over UPnP/NAT-PMP (libnat), else the
// check-IP URLs in turn. Each answer must be one bare IPv4 address; anything else (HTML, an IPv6
// address, garbage, no answer in time) moves on to the next source.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class INatLibrary;

struct AddressSourceOptions {
    std::string interfaceName;
    bool router = true;
    std::vector<std::string> checkIp;
    std::string caFile;
    long checkIpTimeoutMs = 10000;
    INatLibrary* nat = nullptr;                 // null = libnat
    const std::atomic<bool>* cancel = nullptr;  // a stop: no more sources are asked
};

struct AddressFinding {
    uint32_t address = 0;  // 0 = no source gave one
    std::string source;    // "interface eth0", "router", or the check-IP URL
};

class CAddressSources {
public:
    explicit CAddressSources(AddressSourceOptions options) : m_options(std::move(options)) {}

    // The first address a source gives, public or not (the caller decides what to do with a
    // private one). Each failing source leaves one line in the log.
    AddressFinding Find();

    AddressFinding FromInterface(const std::string& name);
    AddressFinding FromRouter();
    AddressFinding FromCheckIp(const std::string& url);

private:
    AddressSourceOptions m_options;
};
