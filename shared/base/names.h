#pragma once
// Names both programs agree on.

// The service's name and display name.
inline constexpr const char* kServiceName = "MORVANE";
// File name of the service program beside the desktop program and morvanectl.
inline constexpr const char* kServiceProgram = "MorvaneCore";
