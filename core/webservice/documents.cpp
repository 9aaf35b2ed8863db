#include "core/webservice/documents.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "shared/xml/xml_document.h"

namespace webservice {
namespace {

// Copies at most `width` bytes and zeroes the rest; a full field has no terminator.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text)
{
    size_t n = text.size() < N ? text.size() : N;
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

}  // namespace

int32_t ParseNumber(const std::string& text)
{
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

std::string BuildDynamicList(const UpdateResultMap& hosts)
{
    CXmlDocument doc;
    doc.SetDocument("<?xml version=\"1.0\"?>");
    doc.AppendElement("dynamic");
    for (const auto& [hostid, result] : hosts) {
        (void)result;
        // Same signed form the answers use, so an id read back from the service matches its key.
        doc.AppendChildElement("hostid", static_cast<int>(hostid));
    }
    return doc.Document();
}

bool ReadNetInfo(std::string_view text, NetInfo& info)
{
    CXmlDocument doc;
    doc.SetDocument(text);
    if (!doc.FindElement("NetInfo"))
        return false;
    if (doc.FindChildElement("dyip"))
        info.dyip = ParseNumber(doc.ChildElementText());
    if (doc.FindChildElement("nettype"))
        info.nettype = ParseNumber(doc.ChildElementText());
    if (doc.FindChildElement("netlocation"))
        info.netlocation = doc.ChildElementText();
    return true;
}

bool ReadAccount(std::string_view text, UserInfo& user, std::vector<DomainRecord>& domains)
{
    CXmlDocument doc;
    doc.SetDocument(text);  // two top-level elements: never "well-formed", read anyway
    bool hasUser = doc.FindElement("UserInfo");
    if (hasUser) {
        if (doc.FindChildElement("userid"))
            user.userid = ParseNumber(doc.ChildElementText());
        if (doc.FindChildElement("nick"))
            CopyField(user.nick, doc.ChildElementText());
        if (doc.FindChildElement("email"))
            CopyField(user.email, doc.ChildElementText());
        if (doc.FindChildElement("username"))
            CopyField(user.username, doc.ChildElementText());
        if (doc.FindChildElement("userstatus"))
            user.userstatus = static_cast<uint8_t>(ParseNumber(doc.ChildElementText()) & 0xFF);
        if (doc.FindChildElement("validated"))
            user.validated = static_cast<uint8_t>(ParseNumber(doc.ChildElementText()) & 0xFF);
    }
    if (!doc.FindElement("dynamic"))
        return false;
    while (doc.FindChildElement("item")) {
        if (!doc.EnterElement())
            break;
        DomainRecord record;
        if (doc.FindChildElement("domain"))
            record.domain = doc.ChildElementText();
        if (doc.FindChildElement("hostid"))
            record.hostid = static_cast<uint32_t>(ParseNumber(doc.ChildElementText()));
        if (doc.FindChildElement("data"))
            record.data = doc.ChildElementText();
        if (record.hostid != 0)
            domains.push_back(std::move(record));
        if (!doc.LeaveElement())
            break;
    }
    return hasUser;
}

bool ReadUpdateResults(std::string_view text, UpdateResultMap& results)
{
    CXmlDocument doc;
    doc.SetDocument(text);
    if (!doc.FindElement("dynamic"))
        return false;
    while (doc.FindChildElement("item")) {
        uint32_t hostid = static_cast<uint32_t>(ParseNumber(doc.ChildAttribute("hostid")));
        if (hostid == 0)
            continue;
        auto it = results.find(hostid);
        if (it == results.end())
            continue;  // the service cannot add hosts to the caller's map
        it->second = ParseNumber(doc.ChildAttribute("result"));
    }
    return true;
}

}  // namespace webservice
