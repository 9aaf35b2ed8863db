#include "platform/win32/identity.h"

#include <aclapi.h>
#include <grp.h>
#include <pwd.h>
#include <sddl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/win32/text.h"

namespace platform::win32 {
namespace {

constexpr uid_t kFirstNumbered = 1000;

struct Table {
    std::mutex mutex;
    std::map<std::string, uid_t> ids;
    std::vector<std::string> sids;  // by number - kFirstNumbered
    std::set<uid_t> administrators;
};

Table& Identities()
{
    static Table* table = new Table();  // used by other statics' destructors: never destroyed
    return *table;
}

bool SidBytes(uid_t uid, std::string& bytes)
{
    Table& t = Identities();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (uid < kFirstNumbered || uid - kFirstNumbered >= t.sids.size())
        return false;
    bytes = t.sids[uid - kFirstNumbered];
    return true;
}

}  // namespace

uid_t UserIdOf(PSID sid)
{
    if (!sid || !IsValidSid(sid))
        return static_cast<uid_t>(-1);
    if (IsWellKnownSid(sid, WinLocalSystemSid))
        return 0;
    std::string bytes(static_cast<const char*>(sid), GetLengthSid(sid));
    Table& t = Identities();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto [it, added] = t.ids.emplace(bytes, kFirstNumbered + static_cast<uid_t>(t.sids.size()));
    if (added)
        t.sids.push_back(std::move(bytes));
    return it->second;
}

bool TokenUserId(HANDLE token, uid_t& uid)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> user(size ? size : 1);
    if (!GetTokenInformation(token, TokenUser, user.data(), size, &size))
        return false;
    uid = UserIdOf(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);

    // Enabled, not deny-only: a filtered (not elevated) administrator's token does not count.
    size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> groups(size ? size : 1);
    bool administrator = false;
    if (GetTokenInformation(token, TokenGroups, groups.data(), size, &size)) {
        const auto* list = reinterpret_cast<const TOKEN_GROUPS*>(groups.data());
        for (DWORD i = 0; i < list->GroupCount; ++i) {
            const SID_AND_ATTRIBUTES& g = list->Groups[i];
            if (IsWellKnownSid(g.Sid, WinBuiltinAdministratorsSid) && (g.Attributes & SE_GROUP_ENABLED) &&
                !(g.Attributes & SE_GROUP_USE_FOR_DENY_ONLY))
                administrator = true;
        }
    }
    Table& t = Identities();
    std::lock_guard<std::mutex> lock(t.mutex);
    if (administrator)
        t.administrators.insert(uid);
    else
        t.administrators.erase(uid);
    return true;
}

bool SeenAsAdministrator(uid_t uid)
{
    Table& t = Identities();
    std::lock_guard<std::mutex> lock(t.mutex);
    return uid == 0 || t.administrators.count(uid) != 0;
}

bool OwnerOf(const std::string& path, uid_t& owner)
{
    PSID sid = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring wide = Wide(path);
    if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
        return false;
    owner = UserIdOf(sid);
    LocalFree(descriptor);
    return owner != static_cast<uid_t>(-1);
}

}  // namespace platform::win32

using namespace platform::win32;

extern "C" uid_t geteuid(void)
{
    static const uid_t self = [] {
        uid_t uid = static_cast<uid_t>(-1);
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            TokenUserId(token, uid);
            CloseHandle(token);
        }
        return uid;
    }();
    return self;
}

extern "C" uid_t getuid(void)
{
    return geteuid();
}

extern "C" struct passwd* getpwuid(uid_t uid)
{
    // One answer at a time per thread, as the interface has it.
    thread_local std::string name;
    thread_local passwd entry;
    std::string sid;
    if (uid == 0) {
        name = "NT AUTHORITY\\SYSTEM";
    } else if (SidBytes(uid, sid)) {
        wchar_t account[256], domain[256];
        DWORD accountSize = 256, domainSize = 256;
        SID_NAME_USE use;
        if (!LookupAccountSidW(nullptr, reinterpret_cast<PSID>(sid.data()), account, &accountSize, domain, &domainSize,
                               &use))
            return nullptr;
        name = (domainSize ? Utf8(domain) + "\\" : std::string()) + Utf8(account);
    } else {
        return nullptr;
    }
    entry.pw_name = name.data();
    entry.pw_uid = uid;
    entry.pw_gid = 0;
    return &entry;
}

extern "C" struct group* getgrgid(gid_t gid)
{
    static char name[] = "Administrators";
    static group administrators{name, 0};
    return gid == 0 ? &administrators : nullptr;
}
