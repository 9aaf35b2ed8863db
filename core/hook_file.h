#pragma once
// Which address-change hook the service may run, and the checks it must pass first: nobody but root
// or the service's own user may have put it there or be able to change it.

#include <string>

// The hook's path: /etc/morvane/on-address-change for an installed copy (its data directory may be
// written by the group "morvane"), else "on-address-change" in the data directory.
std::string AddressHookPath(const std::string& dataDirectory);

// Opens `path` for running it from the descriptor: never through a symbolic link, and only a regular,
// executable file owned by root or by this process's user that neither its group nor others may
// write. Returns the descriptor (close-on-exec; platform::StartDetached keeps it open in the program it
// starts from it), or -1 with `why` saying what was wrong ("" when there is no file at all).
int OpenTrustedHook(const std::string& path, std::string& why);
