#pragma once
// What the system lets the service know of its network interfaces.

namespace platform {

// Null where the addresses of a named interface can be read and their changes followed (an
// interface address source); otherwise why not, in words for the one who asked for one.
extern const char* const kInterfaceSourcesMissing;

}  // namespace platform
