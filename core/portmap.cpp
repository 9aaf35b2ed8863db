#include "core/portmap.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log.h"
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

// libnat's reason for the journal (its own text goes to standard error).
std::string Reason(int error)
{
    const char* text = nullptr;
    switch (error) {
    case LNAT_ERR_NO_GATEWAY: text = "no UPnP or NAT-PMP gateway found"; break;
    case LNAT_ERR_NOT_CONNECTED: text = "the gateway's WAN link is down"; break;
    case LNAT_ERR_SOCKET: text = "local socket error"; break;
    case LNAT_ERR_HTTP: text = "the gateway's control URL did not answer properly"; break;
    case LNAT_ERR_INVALID_RESPONSE: text = "the gateway's answer could not be understood"; break;
    case LNAT_ERR_TIMEOUT: text = "the gateway stopped answering"; break;
    case LNAT_ERR_PORT_TAKEN: text = "the gateway would only map another external port"; break;
    case LNAT_ERR_NATPMP_REFUSED: text = "the NAT-PMP gateway refused"; break;
    case LNAT_ERR_PROTOCOL: text = "protocol is not TCP or UDP"; break;
    case 718: text = "conflict in mapping entry"; break;
    case 714: text = "no such entry"; break;
    default: break;
    }
    std::string out = "libnat error " + std::to_string(error);
    if (text)
        out.append(" (").append(text).append(")");
    else if (error >= 400 && error < 900)
        out += " (the gateway's own error code)";
    return out;
}

// Failures that say the gateway did not answer (as opposed to answering no): worth one new discovery.
bool GatewayGone(int error)
{
    return error == LNAT_ERR_HTTP || error == LNAT_ERR_SOCKET || error == LNAT_ERR_TIMEOUT ||
           error == LNAT_ERR_INVALID_RESPONSE || error == LNAT_ERR_NOT_CONNECTED || error == LNAT_ERR_UNKNOWN;
}

}  // namespace

INatLibrary& DefaultNatLibrary()
{
    static CLibNat library;
    return library;
}

void CPortMapper::EndPass()
{
    if (m_controller)
        m_nat.ControllerFree(&m_controller);
    m_controller = nullptr;
    m_noGateway = false;
}

void CPortMapper::NoteFailure(uint8_t kind, int error)
{
    if (m_failure.kind == Failure::kNone)
        m_failure = Failure{kind, static_cast<uint16_t>(error > 0 && error <= 0xFFFF ? error : 0)};
}

bool CPortMapper::Discover()
{
    if (m_noGateway) {
        NoteFailure(Failure::kNoGateway, LNAT_ERR_NO_GATEWAY);
        return false;  // found nothing earlier in this pass: every discovery costs seconds
    }
    int r = m_nat.Discover(&m_controller);
    if (r != 0) {
        m_nat.PrintError(r);
        NoteFailure(Failure::kNoGateway, r);
        m_controller = nullptr;
        m_noGateway = true;
        JournalPrint(kJournalWarning, "port mapping: %s", Reason(r).c_str());
        return false;
    }
    Progress("Discovery Successful.\n");
    char publicIp[32] = {};
    r = m_nat.GetPublicIp(m_controller, publicIp, sizeof publicIp);
    if (r != 0) {
        m_nat.PrintError(r);
        NoteFailure(Failure::kNoGateway, r);
        JournalPrint(kJournalWarning, "port mapping: the gateway gave no public address: %s", Reason(r).c_str());
        EndPass();
        return false;
    }
    publicIp[sizeof publicIp - 1] = '\0';  // never trust the callee to terminate it
    Progress("Public IP: %s.\n", publicIp);
    return true;
}

bool CPortMapper::MapPort(int port, int mode, int type)
{
    const char* protocol = ProtocolText(type);
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = m_controller == nullptr;
        if (fresh && !Discover())
            return false;
        int r = 0;
        const char* step = "";
        if (mode >= 2) {
            if (!fresh) {
                char publicIp[32] = {};
                r = m_nat.GetPublicIp(m_controller, publicIp, sizeof publicIp);
                step = "public address";
            }
        } else {
            r = m_nat.SetPortMapping(m_controller, nullptr, port, protocol, kMappingDescription);
            step = "mapping";
            if (r == 0) {
                Progress("Port Mapping Successful On Port %d.\n", port);
                if (mode == 0) {
                    r = m_nat.RemovePortMapping(m_controller, port, protocol);
                    step = "removal";
                    if (r == 0)
                        Progress("Port Mapping Removal Successful On Port %d.\n", port);
                }
            }
        }
        if (r == 0) {
            if (mode < 2)
                JournalPrint(kJournalInfo, "port %d/%s %s", port, protocol, mode == 1 ? "mapped" : "unmapped");
            return true;
        }
        m_nat.PrintError(r);
        if (fresh || !GatewayGone(r)) {
            NoteFailure(Failure::kRefused, r);
            JournalPrint(kJournalWarning, "port %d/%s: %s failed: %s", port, protocol, step, Reason(r).c_str());
            return false;
        }
        EndPass();  // the kept gateway did not answer: find it again, once
    }
    return false;
}

void CPortMapper::RestoreMappings(const std::string& path)
{
    std::vector<PortMapEntry> records;
    if (!datafile::ReadAllMappings(path, records) || records.empty())
        return;
    if (records.size() > datafile::kMaxMappings) {
        JournalPrint(kJournalWarning, "%s holds %zu mappings; only the first %zu are restored", path.c_str(),
                     records.size(), datafile::kMaxMappings);
        records.resize(datafile::kMaxMappings);
    }
    std::vector<PortMapEntry> outcome;
    for (const auto& rec : records) {
        uint8_t op = rec.allow ? (MapPort(rec.port, 1, rec.type) ? 1 : 0) : 0;
        outcome.push_back(PortMapEntry{rec.port, op, rec.type, rec.allow});
    }
    EndPass();
    if (!datafile::SetMappings(path, outcome)) {
        int error = errno;
        JournalPrint(kJournalError, "cannot save %s: %s", path.c_str(), datafile::FailureText(path, error).c_str());
    }
}

std::vector<PortMapEntry> CPortMapper::ApplyMappingRequests(const std::string& path,
                                                            const std::vector<PortMapEntry>& list)
{
    std::vector<PortMapEntry> failed;
    std::vector<PortMapEntry> done;
    m_failure = Failure{};
    for (const auto& rec : list) {
        if (MapPort(rec.port, rec.op, rec.type))
            done.push_back(rec);
        else
            failed.push_back(rec);
    }
    // The router did what was asked, but if the file cannot show it the GUI must hear of it
    // rather than be told everything is stored.
    if (!done.empty() && !SaveMappings(path, done)) {
        failed.clear();
        for (const auto& rec : list)
            failed.push_back(rec);
    }
    return failed;
}

bool CPortMapper::SaveMappings(const std::string& path, const std::vector<PortMapEntry>& list)
{
    int refused = 0;
    if (datafile::SetMappings(path, list, &refused))
        return true;
    int error = errno;
    if (refused > 0)
        JournalPrint(kJournalWarning, "%s is full (%zu mappings): %d new mapping(s) refused", path.c_str(),
                     datafile::kMaxMappings, refused);
    else
        JournalPrint(kJournalError, "cannot save %s: %s", path.c_str(), datafile::FailureText(path, error).c_str());
    return false;
}

bool CPortMapper::RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list)
{
    if (datafile::RemoveMappings(path, list))
        return true;
    int error = errno;
    JournalPrint(kJournalError, "cannot save %s: %s", path.c_str(), datafile::FailureText(path, error).c_str());
    return false;
}
