#pragma once
// Router port mapping through libnat, and the stored list of wanted mappings (mapport.xml).

#include <cstdint>
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

// The gateway is discovered once per pass and reused for every mapping of it: a restore or a request
// with several entries costs one discovery. A request that fails on a kept gateway for want of an
// answer discovers it again once; a discovery that finds nothing is not repeated in the same pass.
// EndPass() frees the gateway and ends the pass.
// Progress lines go to standard output, libnat's error texts to standard error, and one line per
// result to the journal.
class CPortMapper {
public:
    explicit CPortMapper(INatLibrary& nat = DefaultNatLibrary()) : m_nat(nat) {}
    ~CPortMapper() { EndPass(); }
    CPortMapper(const CPortMapper&) = delete;
    CPortMapper& operator=(const CPortMapper&) = delete;

    // type 0 = TCP, 1 = UDP (anything else passes an empty protocol). mode 1 maps, 0 maps then
    // removes, 2 and above only discovers and asks for the public address. True when every step
    // succeeded.
    bool MapPort(int port, int mode, int type);
    // Frees the gateway of the pass, if one was found.
    void EndPass();

    // Re-creates every enabled mapping of the file (at most datafile::kMaxMappings) and stores each
    // record's outcome as its op (1 mapped, 0 not), with one save; disabled records get op 0
    // without router traffic.
    void RestoreMappings(const std::string& path);

    // Carries out the GUI's requests (op = wanted state) and stores the ones that succeeded, with one
    // save. Returns the records that failed, in request order. The gateway stays for the caller's
    // pass (EndPass).
    std::vector<PortMapEntry> ApplyMappingRequests(const std::string& path, const std::vector<PortMapEntry>& list);

    // Why the first failed request of the last ApplyMappingRequests failed, for the reply's tail.
    struct Failure {
        enum Kind : uint8_t { kNone = 0, kNoGateway = 1, kRefused = 2 };
        uint8_t kind = kNone;
        uint16_t code = 0;  // libnat's error: 400-899 the gateway's UPnP error, 1001-1016 libnat's own
    };
    Failure LastFailure() const { return m_failure; }

    // File only, no router traffic, one load and one save. False when some record could not be
    // stored (full list, failed save) or removed.
    bool SaveMappings(const std::string& path, const std::vector<PortMapEntry>& list);
    bool RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list);

private:
    bool Discover();

    INatLibrary& m_nat;
    UpnpController* m_controller = nullptr;
    bool m_noGateway = false;  // a discovery of this pass found none
    Failure m_failure;
    void NoteFailure(uint8_t kind, int error);
};
