#pragma once
// Router port mapping through libnat, and the stored list of wanted mappings (mapport.xml).

#include <string>
#include <vector>

#include "libnat/lnat.h"
#include "shared/packet/records.h"

// Description carried by every mapping this program creates.
inline constexpr const char* kMappingDescription = "MORVANE";

// The libnat calls, behind an interface so tests can stand in for the router.
class INatLibrary {
public:
    virtual ~INatLibrary() = default;
    virtual int Discover(UpnpController** controller) = 0;
    virtual int GetPublicIp(UpnpController* controller, char* buf, int size) = 0;
    virtual int SetPortMapping(UpnpController* controller, const char* internalHost, int port, const char* protocol,
                               const char* description) = 0;
    virtual int RemovePortMapping(UpnpController* controller, int port, const char* protocol) = 0;
    virtual int ControllerFree(UpnpController** controller) = 0;
    virtual int PrintError(int error) = 0;
};

// The real library.
INatLibrary& DefaultNatLibrary();

// Each operation discovers the router anew and frees it at the end; nothing is kept in between.
// Progress lines go to standard output, libnat's error texts to standard error.
class CPortMapper {
public:
    explicit CPortMapper(INatLibrary& nat = DefaultNatLibrary()) : m_nat(nat) {}

    // type 0 = TCP, 1 = UDP (anything else passes an empty protocol). mode 1 maps, 0 maps then
    // removes, 2 and above only discovers and asks for the public address. True when every step
    // succeeded.
    bool MapPort(int port, int mode, int type);

    // Re-creates every enabled mapping of the file and stores each record's outcome as its op
    // (1 mapped, 0 not); disabled records get op 0 without router traffic.
    void RestoreMappings(const std::string& path);

    // Carries out the GUI's requests (op = wanted state) and stores each one that succeeded.
    // Returns the records that failed, in request order.
    std::vector<PortMapEntry> ApplyMappingRequests(const std::string& path, const std::vector<PortMapEntry>& list);

    // File only, no router traffic. False when some record could not be stored or removed.
    bool SaveMappings(const std::string& path, const std::vector<PortMapEntry>& list);
    bool RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list);

private:
    INatLibrary& m_nat;
};
