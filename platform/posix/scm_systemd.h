#pragma once
// Service control through systemd. The manager side drives systemctl and writes unit files; the
// service side reports over the notify socket systemd hands a Type=notify service. Internal to the
// platform layer and its tests: callers use platform/scm.h.

#include <memory>
#include <string>
#include <string_view>

#include "platform/posix/scm_backend.h"

namespace scm::systemd {

// True when systemd runs as init (it creates /run/systemd/system early at boot).
bool Booted();

// Manager side. Root talks to the system instance; other users see the system's units and create
// their own in their user instance. Null (kAccessDenied) when systemctl cannot be found.
std::unique_ptr<detail::ManagerBackend> OpenManager();

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
