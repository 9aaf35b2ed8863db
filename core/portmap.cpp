#include "core/portmap.h"

#include <cstdarg>
#include <cstdio>

#include "shared/packet/records.h"
#include "shared/xml/data_files.h"

namespace {

class CLibNat final : public INatLibrary {
public:
    int Discover(UpnpController** controller) override { return LNat_Upnp_Discover(controller); }
    int GetPublicIp(UpnpController* controller, char* buf, int size) override
    {
        return LNat_Upnp_Get_Public_Ip(controller, buf, size);
    }
    int SetPortMapping(UpnpController* controller, const char* internalHost, int port, const char* protocol,
                       const char* description) override
    {
        return LNat_Upnp_Set_Port_Mapping(controller, internalHost, port, protocol, description);
    }
    int RemovePortMapping(UpnpController* controller, int port, const char* protocol) override
    {
        return LNat_Upnp_Remove_Port_Mapping(controller, port, protocol);
    }
    int ControllerFree(UpnpController** controller) override { return LNat_Upnp_Controller_Free(controller); }
    int PrintError(int error) override { return LNat_Print_Error(error); }
};

const char* ProtocolText(uint8_t type)
{
    const char* name = PortProtocolName(type);
    return name ? name : "";
}

void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Progress(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

}  // namespace

INatLibrary& DefaultNatLibrary()
{
    static CLibNat library;
    return library;
}

bool CPortMapper::MapPort(int port, int mode, int type)
{
    const char* protocol = ProtocolText(type);
    UpnpController* controller = nullptr;
    int r = m_nat.Discover(&controller);
    if (r != 0) {
        m_nat.PrintError(r);
        return false;
    }
    Progress("Discovery Successful.\n");

    bool ok = false;
    char publicIp[32] = {};
    r = m_nat.GetPublicIp(controller, publicIp, sizeof publicIp);
    if (r != 0) {
        m_nat.PrintError(r);
    } else {
        publicIp[sizeof publicIp - 1] = '\0';  // never trust the callee to terminate it
        Progress("Public IP: %s.\n", publicIp);
        ok = true;
        if (mode == 0 || mode == 1) {
            r = m_nat.SetPortMapping(controller, nullptr, port, protocol, kMappingDescription);
            if (r != 0) {
                m_nat.PrintError(r);
                ok = false;
            } else {
                Progress("Port Mapping Successful On Port %d.\n", port);
            }
        }
        if (ok && mode == 0) {
            r = m_nat.RemovePortMapping(controller, port, protocol);
            if (r != 0) {
                m_nat.PrintError(r);
                ok = false;
            } else {
                Progress("Port Mapping Removal Successful On Port %d.\n", port);
            }
        }
    }
    m_nat.ControllerFree(&controller);
    return ok;
}

void CPortMapper::RestoreMappings(const std::string& path)
{
    std::vector<PortMapEntry> records;
    if (!datafile::ReadAllMappings(path, records))
        return;
    for (const auto& rec : records) {
        uint8_t op = 0;
        if (rec.allow)
            op = MapPort(rec.port, 1, rec.type) ? 1 : 0;
        datafile::SetMapping(path, rec.port, op, rec.type, rec.allow);
    }
}

std::vector<PortMapEntry> CPortMapper::ApplyMappingRequests(const std::string& path,
                                                            const std::vector<PortMapEntry>& list)
{
    std::vector<PortMapEntry> failed;
    for (const auto& rec : list) {
        // The router did what was asked, but if the file cannot show it the GUI must hear of it
        // rather than be told everything is stored.
        if (!MapPort(rec.port, rec.op, rec.type) || !datafile::SetMapping(path, rec.port, rec.op, rec.type, rec.allow))
            failed.push_back(rec);
    }
    return failed;
}

bool CPortMapper::SaveMappings(const std::string& path, const std::vector<PortMapEntry>& list)
{
    bool ok = true;
    for (const auto& rec : list)
        ok = datafile::SetMapping(path, rec.port, rec.op, rec.type, rec.allow) && ok;
    return ok;
}

bool CPortMapper::RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list)
{
    bool ok = true;
    for (const auto& rec : list)
        ok = datafile::RemoveMapping(path, rec.port, rec.type) && ok;
    return ok;
}
