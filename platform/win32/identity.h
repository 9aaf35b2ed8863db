#pragma once
// Users as the programs number them (uid_t): Windows security identifiers, numbered per process in
// the order met. 0 is LocalSystem, which stands where root does; the group 0 is the local
// Administrators, where the data directory's group stands on Linux.
#include "platform/win32/compat/win32.h"

#include <sys/types.h>

#include <string>

namespace platform::win32 {

// The number of a security identifier; the same identifier always gets the same number.
uid_t UserIdOf(PSID sid);
// The user of an access token, and whether the token has the Administrators group enabled (an
// elevated administrator); the latter is remembered for UserInGroup(uid, 0).
bool TokenUserId(HANDLE token, uid_t& uid);
// Whether a token seen for `uid` had the Administrators group enabled.
bool SeenAsAdministrator(uid_t uid);
// The owner of a file or directory's security descriptor.
bool OwnerOf(const std::string& path, uid_t& owner);

}  // namespace platform::win32
