#pragma once
// The XML documents carried inside the web-service strings: the update request and the readers of the
// three answers. A reader stores what it found and returns false when the answer is not the document
// it expects (its root element missing), so that junk is never taken for an empty answer.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "shared/packet/records.h"

// The account record. Text fields are fixed-width, zero-padded and not terminated when full.
struct UserInfo {
    int32_t userid = 0;
    char username[17] = {};
    char nick[33] = {};
    char email[65] = {};
    uint8_t userstatus = 0;
    uint8_t validated = 0;
};

// Host id -> result code of an address update.
using UpdateResultMap = std::map<uint32_t, int32_t>;

namespace webservice {

// strtol rules (leading space and sign, stop at the first other character, no digits = 0), clamped to
// the signed 32-bit range.
int32_t ParseNumber(const std::string& text);

// `dynamic` with one `hostid` child per key, ascending.
std::string BuildDynamicList(const UpdateResultMap& hosts);

// NetInfo{dyip, nettype, netlocation}; a missing child keeps the field. False without NetInfo.
bool ReadNetInfo(std::string_view text, NetInfo& info);
// UserInfo{...} then dynamic/item{domain, hostid, data}; items with host id 0 are dropped. False
// unless both UserInfo and dynamic are there (an account without domains has an empty dynamic).
bool ReadAccount(std::string_view text, UserInfo& user, std::vector<DomainRecord>& domains);
// dynamic/item hostid="" result=""; only keys already in the map are written. False without dynamic.
bool ReadUpdateResults(std::string_view text, UpdateResultMap& results);

}  // namespace webservice
