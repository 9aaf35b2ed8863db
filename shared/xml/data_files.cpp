// user.xml, domain.xml and mapport.xml.

#include "shared/xml/data_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "shared/base/files.h"
#include "shared/xml/xml_document.h"

namespace datafile {
namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"GB2312\" ?>\r\n";

// Lock waits on this thread end when this is set (CLockWaitStop).
thread_local const std::atomic<uint8_t>* t_stop = nullptr;

// Exclusive advisory lock on "<path>.lock", shared by the GUI, morvanectl and the service, held for
// one load-change-save. Without a lock file (read-only directory) the operation goes on unlocked.
// Another program holding the lock is waited for kLockWaitMs at most, so nobody who may open the
// lock file can hold up the others for longer.
class CFileLock {
public:
    explicit CFileLock(const std::string& path)
    {
        const std::string lockPath = path + ".lock";
        // Never through a link (root must not create or lock a file elsewhere), never blocking on a
        // FIFO. Anything but a regular file is somebody's plant: removed (unlink does not follow) and
        // made afresh, once.
        for (int attempt = 0; attempt < 2 && m_fd < 0; ++attempt) {
            m_fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                          files::kSharedFileMode);
            if (m_fd < 0 && errno != ELOOP)
                m_fd = ::open(lockPath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            struct stat st;
            if (m_fd >= 0 && (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode))) {
                ::close(m_fd);
                m_fd = -1;
                ::unlink(lockPath.c_str());
            } else if (m_fd < 0 && errno == ELOOP) {
                ::unlink(lockPath.c_str());
            } else {
                break;
            }
        }
        if (m_fd < 0)
            return;
        // Polled rather than blocking: a blocked flock could be cut short only by a signal, and the
        // service's worker must notice a stop. The pause grows to 50 ms, so a lock released soon is
        // taken at once and a long wait costs a few wake-ups a second.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLockWaitMs);
        auto pause = std::chrono::milliseconds(1);
        for (;;) {
            if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0)
                return;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return;  // a file system without locks: unlocked, as without a lock file
            if (t_stop && t_stop->load()) {
                m_error = ECANCELED;
                return;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                m_error = kLockBusy;
                return;
            }
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
        }
    }
    ~CFileLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);  // releases the lock
    }
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    // False when the lock could not be had in time (errno then tells why); the operation must not
    // go on.
    bool Held() const
    {
        if (m_error != 0)
            errno = m_error;
        return m_error == 0;
    }

private:
    int m_fd = -1;
    int m_error = 0;
};

std::string Dec(long long v)
{
    return std::to_string(v);
}

// Decimal the way atoi reads it: leading blanks and a sign, digits up to the first other
// character, 0 without digits; out-of-range values are clamped instead of overflowing.
long long ToNumber(const std::string& text)
{
    const char* p = text.c_str();
    errno = 0;
    long long v = std::strtoll(p, nullptr, 10);
    if (v > INT_MAX)
        v = INT_MAX;
    if (v < INT_MIN)
        v = INT_MIN;
    return v;
}

// The bytes of a file that is about to be replaced although it did not load are kept as
// "<path>.bad". False when they exist but could not be kept (the caller then leaves the file).
bool KeepBadCopy(const std::string& path)
{
    std::string bytes;
    if (files::ReadAll(path, bytes)) {
        // An empty file holds nothing worth keeping.
        return bytes.empty() || files::ReplaceAtomically(path + ".bad", bytes);
    }
    if (errno == ENOENT)
        return true;  // nothing there
    // A link, FIFO, device, oversized or unreadable file: set aside as it is, never read through.
    return ::rename(path.c_str(), (path + ".bad").c_str()) == 0 || errno == ENOENT;
}

bool Save(CXmlDocument& doc, const std::string& path, bool replacingBadFile)
{
    if (replacingBadFile && !KeepBadCopy(path))
        return false;
    return doc.SaveFile(path);
}

// Loads `path` for a change. True when it loaded and holds `root` as its (only) top-level
// element; the cursor then stands on that element.
bool LoadWithRoot(CXmlDocument& doc, const std::string& path, const char* root)
{
    if (!doc.LoadFile(path))
        return false;
    return doc.FindElement(root);
}

void NewDocument(CXmlDocument& doc)
{
    doc.SetDocument(kDeclaration);
}

// Text of the first element `name` among the current level's elements (empty when absent);
// `found` tells the two apart.
std::string TextOf(CXmlDocument& doc, const char* name, bool* found = nullptr)
{
    doc.ResetPosition();
    bool ok = doc.FindElement(name);
    if (found)
        *found = ok;
    return ok ? doc.ElementText() : std::string();
}

// Sets the text of `name` at the current level, adding the element when it is missing.
void SetOrAdd(CXmlDocument& doc, const char* name, const std::string& text)
{
    doc.ResetPosition();
    if (doc.FindElement(name)) {
        doc.SetElementText(text.c_str());
        return;
    }
    doc.ResetPosition();
    while (doc.FindElement()) {
    }
    doc.AppendElement(name, text.c_str());
}

// The MAPPORT children of a new mapping, at the current level (inside MAPPORT).
void FillMapping(CXmlDocument& doc, uint16_t port, uint8_t op, uint8_t type, uint8_t allow)
{
    doc.AppendElement("PORT", Dec(port).c_str());
    doc.SetAttribute("TYPE", static_cast<int>(type));
    doc.AppendElement("OP", Dec(op).c_str());
    doc.AppendElement("TYPE", Dec(type).c_str());
    doc.AppendElement("ALLOW", Dec(allow).c_str());
}

// Inside MAPPORTLIST: enters the first MAPPORT of (port, type). The cursor is left inside it.
bool EnterMapping(CXmlDocument& doc, uint16_t port, uint8_t type)
{
    std::string portText = Dec(port);
    std::string typeText = Dec(type);
    while (doc.FindElement("MAPPORT")) {
        doc.EnterElement();
        if (doc.FindElement("PORT") && doc.ElementText() == portText && doc.Attribute("TYPE") == typeText)
            return true;
        doc.LeaveElement();
    }
    return false;
}

}  // namespace

std::string FailureText(const std::string& path, int error)
{
    if (error == kLockBusy) {
        const size_t slash = path.rfind('/');
        return "another program has held its lock (" + path.substr(slash == std::string::npos ? 0 : slash + 1) +
               ".lock) for " + std::to_string(kLockWaitMs / 1000) + " s";
    }
    if (error == ECANCELED)
        return "stopped while waiting for its lock";
    return std::strerror(error);
}

bool LockHeld(const std::string& path)
{
    const int fd = ::open((path + ".lock").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool held =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

CLockWaitStop::CLockWaitStop(const std::atomic<uint8_t>& stop) : m_previous(t_stop)
{
    t_stop = &stop;
}

CLockWaitStop::~CLockWaitStop()
{
    t_stop = m_previous;
}

// ---- user.xml ----

bool ReadLogin(const std::string& path, std::string& user, std::string& digest)
{
    if (path.empty())
        return false;
    CXmlDocument doc;
    if (!doc.LoadFile(path) || !doc.FindElement("User") || !doc.EnterElement())
        return false;
    if (!doc.FindElement("UserInfo") || !doc.EnterElement())
        return false;
    std::string u = TextOf(doc, "UserID");
    std::string d = TextOf(doc, "PWD");
    if (u.empty() || d.empty())
        return false;
    user = u;
    digest = d;
    return true;
}

bool ReadLogins(const std::string& path, std::map<std::string, std::string>& accounts)
{
    std::string user, digest;
    if (!ReadLogin(path, user, digest))
        return false;
    accounts[user] = digest;
    return true;
}

bool WriteLogin(const std::string& path, const std::string& user, const std::string& digest)
{
    if (path.empty())
        return false;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    CXmlDocument doc;
    bool usable = LoadWithRoot(doc, path, "User");
    if (usable) {
        doc.EnterElement();
        if (doc.FindElement("UserInfo")) {
            doc.EnterElement();
            // A missing UserID or PWD is added: otherwise the login would never be remembered.
            SetOrAdd(doc, "UserID", user);
            SetOrAdd(doc, "PWD", digest);
        } else {
            doc.AppendElement("UserInfo");
            doc.EnterElement();
            doc.AppendElement("UserID", user.c_str());
            doc.AppendElement("PWD", digest.c_str());
        }
    } else {
        NewDocument(doc);
        doc.AppendElement("User");
        doc.AppendChildElement("UserInfo");
        doc.EnterElement();
        doc.AppendChildElement("UserID", user.c_str());
        doc.AppendChildElement("PWD", digest.c_str());
        doc.LeaveElement();
        doc.AppendChildElement("PORT");
    }
    return Save(doc, path, !usable);
}

bool WritePort(const std::string& path, unsigned port)
{
    if (path.empty())
        return false;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    CXmlDocument doc;
    std::string text = Dec(static_cast<int>(port));
    bool usable = LoadWithRoot(doc, path, "User");
    if (usable) {
        doc.EnterElement();
        SetOrAdd(doc, "PORT", text);
    } else {
        NewDocument(doc);
        doc.AppendElement("User");
        doc.AppendChildElement("PORT", text.c_str());
    }
    return Save(doc, path, !usable);
}

int ReadPort(const std::string& path)
{
    if (path.empty())
        return 0;
    CXmlDocument doc;
    if (!doc.LoadFile(path) || !doc.FindElement("User") || !doc.EnterElement())
        return 0;
    bool found = false;
    std::string text = TextOf(doc, "PORT", &found);
    return found ? static_cast<int>(ToNumber(text)) : 0;
}

// ---- domain.xml ----

bool WriteAllSwitches(const std::string& path, const std::map<uint32_t, uint8_t>& switches)
{
    if (path.empty())
        return false;
    CXmlDocument doc;
    NewDocument(doc);
    doc.AppendElement("DOMAINLIST");
    for (const auto& [hostid, op] : switches) {
        doc.AppendChildElement("DOMAIN");
        doc.EnterElement();
        doc.AppendChildElement("ID", static_cast<int>(hostid));
        doc.AppendChildElement("OP", static_cast<int>(op));
        doc.LeaveElement();
    }
    // Already the file's text (every login of an unchanged account): nothing to save, and no lock to
    // wait for; what was read is a whole file, as every save renames one into place.
    CXmlDocument old;
    if (old.LoadFile(path) && old.Document() == doc.Document())
        return true;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    // A file of another shape is kept as .bad too: it may be somebody's data.
    bool replacingBad = !LoadWithRoot(old, path, "DOMAINLIST");
    if (replacingBad && !files::Exists(path))
        replacingBad = false;
    return Save(doc, path, replacingBad);
}

int ReadSwitch(const std::string& path, uint32_t hostid)
{
    std::map<uint32_t, int> found = ReadSwitches(path, {hostid});
    return found.empty() ? 0 : found.begin()->second;
}

std::map<uint32_t, int> ReadSwitches(const std::string& path, const std::vector<uint32_t>& hostids)
{
    std::map<uint32_t, int> result;
    if (path.empty())
        return result;
    CXmlDocument doc;
    if (!doc.LoadFile(path) || !doc.FindElement("DOMAINLIST") || !doc.EnterElement())
        return result;
    // The first DOMAIN whose ID text is the host id written with %d decides; a host the file does
    // not list, or one without OP, reads 0.
    std::map<std::string, uint32_t> wanted;
    for (uint32_t hostid : hostids) {
        wanted.emplace(Dec(static_cast<int>(hostid)), hostid);
        result[hostid] = 0;
    }
    while (!wanted.empty() && doc.FindElement("DOMAIN")) {
        doc.EnterElement();
        auto it = wanted.find(TextOf(doc, "ID"));
        if (it != wanted.end()) {
            bool found = false;
            std::string op = TextOf(doc, "OP", &found);
            result[it->second] = found ? static_cast<int>(ToNumber(op)) : 0;
            wanted.erase(it);
        }
        doc.LeaveElement();
    }
    return result;
}

std::map<uint32_t, int> ReadAllSwitches(const std::string& path, size_t limit)
{
    std::map<uint32_t, int> result;
    CXmlDocument doc;
    if (path.empty() || !doc.LoadFile(path) || !doc.FindElement("DOMAINLIST") || !doc.EnterElement())
        return result;
    while (result.size() < limit && doc.FindElement("DOMAIN")) {
        doc.EnterElement();
        const uint32_t hostid = static_cast<uint32_t>(ToNumber(TextOf(doc, "ID")));
        bool found = false;
        const std::string op = TextOf(doc, "OP", &found);
        if (hostid != 0)
            result.emplace(hostid, found ? static_cast<int>(ToNumber(op)) : 0);
        doc.LeaveElement();
    }
    return result;
}

bool SetSwitch(const std::string& path, uint32_t hostid, int op)
{
    return SetSwitches(path, {{hostid, op}});
}

bool SetSwitches(const std::string& path, const std::map<uint32_t, int>& switches)
{
    if (path.empty())
        return false;
    if (switches.empty())
        return true;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    CXmlDocument doc;
    bool usable = LoadWithRoot(doc, path, "DOMAINLIST");
    if (!usable) {
        NewDocument(doc);
        doc.AppendElement("DOMAINLIST");
    }
    doc.EnterElement();
    bool changed = !usable;
    for (const auto& [hostid, op] : switches) {
        std::string id = Dec(static_cast<int>(hostid));
        doc.ResetPosition();
        bool done = false;
        while (doc.FindElement("DOMAIN")) {
            doc.EnterElement();
            bool match = TextOf(doc, "ID") == id;
            bool found = false;
            if (match && (TextOf(doc, "OP", &found) != Dec(op) || !found)) {
                SetOrAdd(doc, "OP", Dec(op));
                changed = true;
            }
            doc.LeaveElement();
            if (match) {
                done = true;
                break;
            }
        }
        if (!done) {
            // A host the file does not list yet: a DOMAIN of its own at the end.
            doc.AppendElement("DOMAIN");
            doc.EnterElement();
            doc.AppendElement("ID", id.c_str());
            doc.AppendElement("OP", Dec(op).c_str());
            doc.AppendElement("MAPPORT", "80");
            doc.LeaveElement();
            changed = true;
        }
    }
    // Nothing to change: the file is left as it is (no rewrite, no new modification time).
    return changed ? Save(doc, path, !usable) : true;
}

// ---- mapport.xml ----

bool ReadAllMappings(const std::string& path, std::vector<PortMapEntry>& out)
{
    if (path.empty())
        return false;
    CXmlDocument doc;
    if (!doc.LoadFile(path))
        return false;
    if (!doc.FindElement("MAPPORTLIST") || !doc.EnterElement())
        return true;
    while (doc.FindElement("MAPPORT")) {
        doc.EnterElement();
        long long port = ToNumber(TextOf(doc, "PORT"));
        PortMapEntry e;
        e.op = static_cast<uint8_t>(ToNumber(TextOf(doc, "OP")));
        e.type = static_cast<uint8_t>(ToNumber(TextOf(doc, "TYPE")));
        e.allow = static_cast<uint8_t>(ToNumber(TextOf(doc, "ALLOW")));
        doc.LeaveElement();
        // Port 0 means no port; a number beyond 16 bits would name some other port.
        if (port <= 0 || port > 65535)
            continue;
        e.port = static_cast<uint16_t>(port);
        out.push_back(e);
    }
    return true;
}

bool SetMapping(const std::string& path, uint16_t port, uint8_t op, uint8_t type, uint8_t allow)
{
    return SetMappings(path, {PortMapEntry{port, op, type, allow}});
}

bool SetMappings(const std::string& path, const std::vector<PortMapEntry>& list, int* refused)
{
    if (refused)
        *refused = 0;
    if (path.empty())
        return false;
    if (list.empty())
        return true;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    CXmlDocument doc;
    bool usable = LoadWithRoot(doc, path, "MAPPORTLIST");
    if (!usable) {
        NewDocument(doc);
        doc.AppendElement("MAPPORTLIST");
    }
    doc.EnterElement();
    size_t count = 0;
    doc.ResetPosition();
    while (doc.FindElement("MAPPORT"))
        ++count;
    int over = 0;
    for (const PortMapEntry& e : list) {
        doc.ResetPosition();
        if (EnterMapping(doc, e.port, e.type)) {
            // Each looked up from the start, whatever order the file keeps them in.
            SetOrAdd(doc, "TYPE", Dec(e.type));
            SetOrAdd(doc, "OP", Dec(e.op));
            SetOrAdd(doc, "ALLOW", Dec(e.allow));
            doc.LeaveElement();
            continue;
        }
        if (count >= kMaxMappings) {
            ++over;
            continue;
        }
        doc.ResetPosition();
        while (doc.FindElement()) {
        }
        doc.AppendElement("MAPPORT");
        doc.EnterElement();
        FillMapping(doc, e.port, e.op, e.type, e.allow);
        doc.LeaveElement();
        ++count;
    }
    if (refused)
        *refused = over;
    if (over == static_cast<int>(list.size()))
        return false;  // nothing to save
    return Save(doc, path, !usable) && over == 0;
}

bool RemoveMapping(const std::string& path, uint16_t port, uint8_t type)
{
    return RemoveMappings(path, {PortMapEntry{port, 0, type, 0}});
}

bool RemoveMappings(const std::string& path, const std::vector<PortMapEntry>& list)
{
    if (path.empty())
        return false;
    CFileLock lock(path);
    if (!lock.Held())
        return false;
    CXmlDocument doc;
    if (!doc.LoadFile(path))
        return !files::Exists(path);  // no file holds no mapping: nothing to remove
    if (!doc.FindElement("MAPPORTLIST") || !doc.EnterElement())
        return true;
    bool changed = false;
    for (const PortMapEntry& e : list) {
        doc.ResetPosition();
        if (EnterMapping(doc, e.port, e.type)) {
            doc.LeaveElement();
            doc.RemoveElement();
            changed = true;
        }
    }
    return changed ? doc.SaveFile(path) : true;
}

int RemoveLeftoverTemporaries(const std::string& directory)
{
    DIR* dir = ::opendir(directory.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        size_t infix = std::string::npos;
        for (const char* file : {"user.xml", "domain.xml", "mapport.xml", "provider.conf", "provider.state"}) {
            for (std::string stem : {std::string(file), std::string(file) + ".bad"}) {
                if (name.starts_with(stem + files::kTemporaryInfix))
                    infix = stem.size() + std::char_traits<char>::length(files::kTemporaryInfix);
            }
        }
        if (infix == std::string::npos)
            continue;
        // "<file>.tmp.<pid>.<n>": a save still in progress in another program is left alone.
        const long pid = std::strtol(name.c_str() + infix, nullptr, 10);
        if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM))
            continue;
        if (::unlink((directory + "/" + name).c_str()) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

}  // namespace datafile
