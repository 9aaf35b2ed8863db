#pragma once
// The three data files, user.xml, domain.xml and mapport.xml, as both programs use them.
//
// Every operation takes the full path first; an empty path does nothing and reports failure (or 0).
// Each load-change-save runs under an exclusive advisory lock on "<path>.lock" shared by all the
// programs, waited for kLockWaitMs at most; every save replaces the file atomically, so readers take
// no lock and always see a whole file. A file that does not load (or has another root element) is
// treated as absent; before a writer replaces such a file its old bytes are kept beside it as
// "<path>.bad". A change that changes nothing saves nothing. Links, FIFOs, devices and oversized
// files never load and are set aside by renaming; files are created 0660.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared/packet/records.h"

namespace datafile {

// How long a change waits for another program to release the file's lock. Past it the change fails
// with errno kLockBusy and the file is left as it was.
inline constexpr int kLockWaitMs = 5000;
inline constexpr int kLockBusy = EWOULDBLOCK;

// Why a change of `path` failed, for messages: what the lock being held means, or the system's text.
std::string FailureText(const std::string& path, int error);

// Whether another program holds the lock of `path` right now: tells a user why a change failed.
bool LockHeld(const std::string& path);

// While one lives, lock waits on the thread that made it end as soon as `stop` is set; the change
// then fails with ECANCELED. The service's threads hold one on their stop flag, so that a stop is
// never held up by a lock.
class CLockWaitStop {
public:
    explicit CLockWaitStop(const std::atomic<uint8_t>& stop);
    ~CLockWaitStop();
    CLockWaitStop(const CLockWaitStop&) = delete;
    CLockWaitStop& operator=(const CLockWaitStop&) = delete;

private:
    const std::atomic<uint8_t>* m_previous;
};

// user.xml
bool ReadLogin(const std::string& path, std::string& user, std::string& digest);
// The service's form: adds the remembered pair to `accounts` (ordered by login name).
bool ReadLogins(const std::string& path, std::map<std::string, std::string>& accounts);
bool WriteLogin(const std::string& path, const std::string& user, const std::string& digest);
bool WritePort(const std::string& path, unsigned port);
int ReadPort(const std::string& path);

// domain.xml
bool WriteAllSwitches(const std::string& path, const std::map<uint32_t, uint8_t>& switches);
int ReadSwitch(const std::string& path, uint32_t hostid);
bool SetSwitch(const std::string& path, uint32_t hostid, int op);
// The same for many hosts with one load (and one save): every host asked for is in the result.
std::map<uint32_t, int> ReadSwitches(const std::string& path, const std::vector<uint32_t>& hostids);
bool SetSwitches(const std::string& path, const std::map<uint32_t, int>& switches);
// Every host the file lists (the first `limit`), with its switch.
std::map<uint32_t, int> ReadAllSwitches(const std::string& path, size_t limit);

// mapport.xml
// The file holds at most this many mappings; new ones beyond it are refused.
inline constexpr size_t kMaxMappings = 256;
bool ReadAllMappings(const std::string& path, std::vector<PortMapEntry>& out);
bool SetMapping(const std::string& path, uint16_t port, uint8_t op, uint8_t type, uint8_t allow);
bool RemoveMapping(const std::string& path, uint16_t port, uint8_t type);
// Many at once, with one load and one save. SetMappings adds or updates each entry; new entries that
// would take the file past kMaxMappings are refused (counted in `refused`). False when the save
// failed or an entry was refused.
bool SetMappings(const std::string& path, const std::vector<PortMapEntry>& list, int* refused = nullptr);
bool RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list);

// Removes the temporary files an interrupted save of one of the three files, provider.conf or
// provider.state (or of a ".bad" copy) left in `directory`, except those of a process still running. Returns how many went.
int RemoveLeftoverTemporaries(const std::string& directory);

}  // namespace datafile
