#include "core/provider/accepted_state.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>

#include "core/log.h"
#include "core/provider/address.h"
#include "shared/base/files.h"

namespace {

constexpr size_t kMaxRecords = 4096;

const char* FamilyName(AddressFamily family)
{
    return family == AddressFamily::IPv4 ? "ipv4" : "ipv6";
}

bool ParseFamily(const std::string& text, AddressFamily& family)
{
    if (text == "ipv4")
        family = AddressFamily::IPv4;
    else if (text == "ipv6")
        family = AddressFamily::IPv6;
    else
        return false;
    return true;
}

bool ValidAddress(AddressFamily family, const std::string& text)
{
    if (family == AddressFamily::IPv4) {
        uint32_t value = 0;
        return address::ParseBare(text, value);
    }
    in6_addr value{};
    return text.size() < INET6_ADDRSTRLEN && ::inet_pton(AF_INET6, text.c_str(), &value) == 1;
}

std::string Escape(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x21 || c == 0x7F || c == '%') {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The field as written by Escape; false for anything Escape would not write.
bool Unescape(const std::string& field, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < field.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x21 || c == 0x7F)
            return false;
        if (c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= field.size() || HexDigit(field[i + 1]) < 0 || HexDigit(field[i + 2]) < 0)
            return false;
        out += static_cast<char>(HexDigit(field[i + 1]) << 4 | HexDigit(field[i + 2]));
        i += 2;
    }
    return !out.empty();
}

bool ParseTime(const std::string& text, int64_t& out)
{
    if (text.empty() || text.size() > 12 || (text.size() > 1 && text[0] == '0'))
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    out = value;
    return true;
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

}  // namespace

CAcceptedAddresses::CAcceptedAddresses(std::string path, std::string account, std::string identity,
                                       std::function<int64_t()> wallClock)
    : m_path(std::move(path)), m_account(std::move(account)), m_identity(std::move(identity)),
      m_clock(std::move(wallClock))
{}

int64_t CAcceptedAddresses::Now() const
{
    if (m_clock)
        return m_clock();
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool CAcceptedAddresses::Load()
{
    m_accounts.clear();
    m_records.clear();
    std::string text;
    bool read = files::ReadAll(m_path, text, kMaxStateSize);
    if (!read && errno == ENOENT)
        return true;
    if (read && Parse(text)) {
        auto it = m_accounts.find(m_account);
        if (it != m_accounts.end() && it->second != m_identity) {
            JournalPrint(kJournalInfo, "%s: the account %s changed; its hosts are sent again", m_path.c_str(),
                         m_account.c_str());
            for (auto r = m_records.begin(); r != m_records.end();)
                r = std::get<0>(r->first) == m_account ? m_records.erase(r) : std::next(r);
        }
        m_accounts[m_account] = m_identity;
        return true;
    }
    int error = errno;
    m_accounts.clear();
    m_records.clear();
    // Whatever it is (garbage, a link, a FIFO, a huge file), it is moved aside, never read through.
    std::string bad = m_path + ".bad";
    if (::rename(m_path.c_str(), bad.c_str()) == 0)
        JournalPrint(kJournalWarning, "%s is damaged (%s); set aside as %s, unchanged addresses are sent once more",
                     m_path.c_str(), read ? "not a state file" : std::strerror(error), bad.c_str());
    else
        JournalPrint(kJournalWarning, "%s is damaged and cannot be set aside (%s); it is not used", m_path.c_str(),
                     std::strerror(errno));
    m_accounts[m_account] = m_identity;
    return false;
}

bool CAcceptedAddresses::Parse(const std::string& text)
{
    bool sawFormat = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            return false;  // a file cut short
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f = Split(line);
        if (!sawFormat) {
            if (f.size() != 2 || f[0] != "format" || f[1] != "1")
                return false;
            sawFormat = true;
            continue;
        }
        if (f[0] == "account" && f.size() == 3) {
            std::string name, identity;
            if (!Unescape(f[1], name) || !Unescape(f[2], identity) || m_accounts.count(name))
                return false;
            m_accounts[name] = identity;
        } else if (f[0] == "accepted" && f.size() == 6) {
            std::string account, host, addressText;
            AddressFamily family;
            AcceptedAddress record;
            if (!Unescape(f[1], account) || !Unescape(f[2], host) || host.size() > 253 || !ParseFamily(f[3], family) ||
                !Unescape(f[4], addressText) || !ValidAddress(family, addressText) ||
                !ParseTime(f[5], record.acceptedAt) || !m_accounts.count(account) || m_records.size() >= kMaxRecords)
                return false;
            record.address = addressText;
            if (!m_records.emplace(Key{account, host, family}, record).second)
                return false;
        } else {
            return false;
        }
    }
    return sawFormat;
}

std::string CAcceptedAddresses::Serialize() const
{
    std::string out = "# Addresses the providers last accepted, written by the service.\nformat\t1\n";
    std::set<std::string> used;
    for (const auto& [key, record] : m_records)
        used.insert(std::get<0>(key));
    for (const auto& [name, identity] : m_accounts)
        if (used.count(name))
            out += "account\t" + Escape(name) + "\t" + Escape(identity) + "\n";
    for (const auto& [key, record] : m_records)
        out += "accepted\t" + Escape(std::get<0>(key)) + "\t" + Escape(std::get<1>(key)) + "\t" +
               FamilyName(std::get<2>(key)) + "\t" + record.address + "\t" + std::to_string(record.acceptedAt) + "\n";
    return out;
}

bool CAcceptedAddresses::Save()
{
    // Several accounts share the file, each through an object of its own: the other accounts' records
    // are taken from the file as it is now, not as it was when this object read it.
    std::string text;
    CAcceptedAddresses disk(m_path, m_account, m_identity, m_clock);
    if (files::ReadAll(m_path, text, kMaxStateSize) && disk.Parse(text)) {
        for (auto r = m_records.begin(); r != m_records.end();)
            r = std::get<0>(r->first) != m_account ? m_records.erase(r) : std::next(r);
        for (const auto& [key, record] : disk.m_records)
            if (std::get<0>(key) != m_account)
                m_records.emplace(key, record);
        for (const auto& [name, identity] : disk.m_accounts)
            if (name != m_account)
                m_accounts[name] = identity;
    }
    if (files::ReplaceAtomically(m_path, Serialize()))
        return true;
    int error = errno;
    JournalPrint(kJournalWarning, "cannot save %s: %s; a restart may send unchanged addresses again", m_path.c_str(),
                 std::strerror(error));
    return false;
}

const AcceptedAddress* CAcceptedAddresses::Find(const std::string& host, AddressFamily family) const
{
    auto it = m_records.find(Key{m_account, host, family});
    return it == m_records.end() ? nullptr : &it->second;
}

void CAcceptedAddresses::Accept(const std::string& host, AddressFamily family, const std::string& address)
{
    AcceptedAddress& record = m_records[Key{m_account, host, family}];
    record.address = address;
    record.acceptedAt = Now();
    m_accounts[m_account] = m_identity;
}

bool CAcceptedAddresses::Due(const std::string& host, AddressFamily family) const
{
    const AcceptedAddress* record = Find(host, family);
    if (!record)
        return false;
    int64_t now = Now();
    if (now < kClockFloor)
        return false;
    return record->acceptedAt > now + 24 * 3600 || now - record->acceptedAt >= kResendAfterSeconds;
}

void CAcceptedAddresses::Keep(const std::vector<std::string>& hosts)
{
    std::set<std::string> keep(hosts.begin(), hosts.end());
    for (auto r = m_records.begin(); r != m_records.end();)
        r = std::get<0>(r->first) == m_account && !keep.count(std::get<1>(r->first)) ? m_records.erase(r)
                                                                                     : std::next(r);
}
