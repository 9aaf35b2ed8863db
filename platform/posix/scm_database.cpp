// Service control: the backend choice, the directory database, and the dispatcher both backends
// share (under systemd it reports over the notify socket instead of the status file).
//
// Per service, named after the lower-cased service name (<stem>):
//   <stem>.service  registration, key=value lines, written by the manager side
//   <stem>.status   last reported status plus pid and process start time, written by whoever reports
//   <stem>.ctl      SOCK_SEQPACKET socket on which the running service's dispatcher takes controls
//                   (named by the digest of the stem when the name is long)
//   <stem>.log      standard output and error of the service process
// Every file is replaced atomically; check-and-change sequences (create, start, delete) run under an
// flock on the database directory.

#include "platform/posix/scm_directory.h"

#include "platform/process.h"
#include "shared/base/files.h"
#include "shared/base/md5.h"

#include <sys/file.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>

namespace scm::directory {

namespace {

constexpr size_t kMaxNameLength = 200;  // keeps "<stem>.service.tmp.<pid>" under NAME_MAX

// Values go on one line: escape what would break the line (and, for argument lists, the separator).
std::string Escape(std::string_view value, bool escapeSpace)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        if (c == '%' || c < 0x20 || c == 0x7f || (escapeSpace && c == ' ')) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(std::string_view value, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '%') {
            out += value[i];
            continue;
        }
        if (i + 2 >= value.size())
            return false;
        int hi = HexValue(value[i + 1]);
        int lo = HexValue(value[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

using KeyValues = std::map<std::string, std::string, std::less<>>;

bool ParseKeyValues(const std::string& text, KeyValues& out)
{
    out.clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string_view::npos)
            return false;
        std::string value;
        if (!Unescape(line.substr(eq + 1), value))
            return false;
        out[std::string(line.substr(0, eq))] = std::move(value);
    }
    return true;
}

bool ReadKeyValues(const std::string& path, KeyValues& out)
{
    std::string text;
    return files::ReadAll(path, text) && ParseKeyValues(text, out);
}

template <typename T>
bool ParseNumber(const KeyValues& kv, std::string_view key, T& out)
{
    auto it = kv.find(key);
    if (it == kv.end())
        return false;
    const std::string& s = it->second;
    T value{};
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (ec != std::errc() || ptr != s.data() + s.size() || s.empty())
        return false;
    out = value;
    return true;
}

void Put(std::string& out, const char* key, std::string_view value)
{
    out += key;
    out += '=';
    out += Escape(value, false);
    out += '\n';
}

void Put(std::string& out, const char* key, uint64_t value)
{
    out += key;
    out += '=';
    out += std::to_string(value);
    out += '\n';
}

// Socket file of a service. A long name is replaced by its digest, and a long database path is
// reached through the directory's descriptor: socket addresses hold little more than 100 bytes.
std::string SocketFileName(const std::string& stem)
{
    if (stem.size() <= 40)
        return stem + ".ctl";
    CMD5 md5;
    md5.Digest(std::string_view(stem));
    return std::string(md5.HexDigest()) + ".ctl";
}

}  // namespace

bool ValidName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || c == '/' || c == '\\')
            return false;
    }
    return true;
}

std::string Stem(const std::string& name)
{
    std::string out = name;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool SameName(const std::string& a, const std::string& b)
{
    return Stem(a) == Stem(b);
}

std::string EncodeArgs(const std::vector<std::string>& args)
{
    std::string out = std::to_string(args.size());
    for (const std::string& a : args) {
        out += ' ';
        out += Escape(a, true);
    }
    return out;
}

bool DecodeArgs(const char* text, std::vector<std::string>& args)
{
    args.clear();
    if (!text || !*text)
        return true;
    std::string_view s(text);
    size_t sp = s.find(' ');
    std::string_view countText = s.substr(0, sp);
    size_t count = 0;
    auto [ptr, ec] = std::from_chars(countText.data(), countText.data() + countText.size(), count);
    if (ec != std::errc() || ptr != countText.data() + countText.size())
        return false;
    size_t pos = sp == std::string_view::npos ? s.size() : sp + 1;
    for (size_t i = 0; i < count; ++i) {
        if (pos > s.size())
            return false;
        size_t end = s.find(' ', pos);
        if (end == std::string_view::npos)
            end = s.size();
        std::string arg;
        if (!Unescape(s.substr(pos, end - pos), arg))
            return false;
        args.push_back(std::move(arg));
        pos = end + 1;
    }
    return true;
}

// ---------------------------------------------------------------- records

std::string FormatRegistration(const Registration& reg)
{
    std::string out = "# service registration\n";
    Put(out, "name", reg.config.name);
    Put(out, "display_name", reg.config.displayName);
    Put(out, "binary_path", reg.config.binaryPath);
    Put(out, "type", reg.config.type);
    Put(out, "start_type", reg.config.startType);
    Put(out, "error_control", reg.config.errorControl);
    Put(out, "created_access", reg.config.access);
    Put(out, "delete_pending", reg.deletePending ? 1 : 0);
    return out;
}

bool ReadRegistration(const std::string& path, Registration& reg)
{
    KeyValues kv;
    if (!ReadKeyValues(path, kv))
        return false;
    Registration r;
    auto name = kv.find("name");
    auto binary = kv.find("binary_path");
    if (name == kv.end() || binary == kv.end() || !ValidName(name->second))
        return false;
    r.config.name = name->second;
    r.config.binaryPath = binary->second;
    if (auto it = kv.find("display_name"); it != kv.end())
        r.config.displayName = it->second;
    ParseNumber(kv, "type", r.config.type);
    ParseNumber(kv, "start_type", r.config.startType);
    ParseNumber(kv, "error_control", r.config.errorControl);
    ParseNumber(kv, "created_access", r.config.access);
    uint32_t pending = 0;
    ParseNumber(kv, "delete_pending", pending);
    r.deletePending = pending != 0;
    reg = std::move(r);
    return true;
}

std::string FormatStatus(const StatusRecord& rec)
{
    std::string out;
    Put(out, "state", rec.status.state);
    Put(out, "type", rec.status.type);
    Put(out, "controls_accepted", rec.status.controlsAccepted);
    Put(out, "win32_exit_code", rec.status.win32ExitCode);
    Put(out, "service_exit_code", rec.status.serviceExitCode);
    Put(out, "check_point", rec.status.checkPoint);
    Put(out, "wait_hint", rec.status.waitHint);
    Put(out, "pid", rec.pid);
    Put(out, "start_time", rec.startTime);
    return out;
}

bool ReadStatus(const std::string& path, StatusRecord& rec)
{
    KeyValues kv;
    if (!ReadKeyValues(path, kv))
        return false;
    StatusRecord r;
    if (!ParseNumber(kv, "state", r.status.state))
        return false;
    ParseNumber(kv, "type", r.status.type);
    ParseNumber(kv, "controls_accepted", r.status.controlsAccepted);
    ParseNumber(kv, "win32_exit_code", r.status.win32ExitCode);
    ParseNumber(kv, "service_exit_code", r.status.serviceExitCode);
    ParseNumber(kv, "check_point", r.status.checkPoint);
    ParseNumber(kv, "wait_hint", r.status.waitHint);
    ParseNumber(kv, "pid", r.pid);
    ParseNumber(kv, "start_time", r.startTime);
    rec = r;
    return true;
}

// ---------------------------------------------------------------- the database

bool ControlAddress(const std::string& dir, int dirFd, const std::string& stem, sockaddr_un& addr, socklen_t& length)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string path = dir + "/" + SocketFileName(stem);
    if (path.size() >= sizeof addr.sun_path)
        path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + SocketFileName(stem);
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

namespace {

std::mutex& DatabaseMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

DatabaseLock::DatabaseLock(int fd) : m_guard(DatabaseMutex()), m_fd(fd)
{
    while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

DatabaseLock::~DatabaseLock()
{
    ::flock(m_fd, LOCK_UN);
}

Status EffectiveStatus(const std::string& dir, const std::string& stem)
{
    StatusRecord rec;
    if (!ReadStatus(dir + "/" + stem + ".status", rec))
        return Status{};
    Status st = rec.status;
    if (st.state != kStopped && !platform::ProcessAlive(rec.pid, rec.startTime)) {
        st.state = kStopped;
        st.checkPoint = 0;
        st.waitHint = 0;
        if (st.win32ExitCode == 0)
            st.win32ExitCode = kProcessAborted;
    }
    st.processId = st.state == kStopped ? 0 : rec.pid;
    return st;
}

void RemoveServiceFiles(const std::string& dir, const std::string& stem)
{
    for (const char* suffix : {".service", ".status", ".log", ".log.1"})
        ::unlink((dir + "/" + stem + suffix).c_str());
    ::unlink((dir + "/" + SocketFileName(stem)).c_str());
}

bool ReapIfDeleted(const std::string& dir, const std::string& stem)
{
    Registration reg;
    if (!ReadRegistration(dir + "/" + stem + ".service", reg))
        return false;
    if (!reg.deletePending || EffectiveStatus(dir, stem).state != kStopped)
        return false;
    RemoveServiceFiles(dir, stem);
    return true;
}

}  // namespace scm::directory
