#pragma once
// Service control through systemd. The manager side drives systemctl and writes unit files; the
// service side reports over the notify socket systemd hands a Type=notify service. Internal to the
// platform layer and its tests: callers use platform/scm.h.

#include <memory>
#include <string>
#include <string_view>

#include "platform/scm.h"

namespace scm::systemd {

// True when systemd runs as init (it creates /run/systemd/system early at boot).
bool Booted();

// Manager side. Root talks to the system instance; other users see the system's units and create
// their own in their user instance. Null (kAccessDenied) when systemctl cannot be found.
std::unique_ptr<Manager> OpenManager(uint32_t access);

// "morvane.service" for "MORVANE"; empty when the name cannot be a unit name.
std::string UnitName(const std::string& serviceName);

// The unit file for a registration; empty (and kInvalidParameter) when it cannot be expressed:
// a relative or multi-line path, a multi-line display name, a bad name.
std::string UnitText(const Config& config, bool userScope);

// First word of the ExecStart= line of a unit file, unquoted and unescaped; empty when absent.
std::string UnitExecPath(const std::string& unitText);

// Sends one datagram to the notify socket `socket` (a path, or "@name" for an abstract one).
bool Notify(const std::string& socket, std::string_view message);

}  // namespace scm::systemd

namespace scm::detail {
// Records the outcome of a call for LastError(); returns false for errors, true for kOk.
bool SetLastError(Error error);

// The right a handle needs to deliver `code`; kOk, or kInvalidParameter for a code no service can
// take (user-defined controls are 128..255).
inline Error ControlRight(uint32_t code, uint32_t& needed)
{
    switch (code) {
    case kStop: needed = kStopAccess; return kOk;
    case kPause:
    case kContinue: needed = kPauseContinue; return kOk;
    case kInterrogate: needed = kInterrogateAccess; return kOk;
    default:
        needed = kUserDefinedControl;
        return code >= 128 && code <= 255 ? kOk : kInvalidParameter;
    }
}
}  // namespace scm::detail
