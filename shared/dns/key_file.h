#pragma once
// TSIG keys as BIND's tsig-keygen writes them: `key "NAME" { algorithm hmac-sha256; secret "BASE64"; };`.
// Used by morvane-provider's zone commands and by morvanectl for an nsupdate account.

#include <string>
#include <string_view>
#include <vector>

namespace dns {

struct TsigKey {
    std::string name;  // lower case, no final dot
    std::string algorithm;
    std::string secret;  // base64
};

// The keys of a BIND configuration text. Comments (#, //, /* */) and other statements are skipped. False
// with a reason when a key statement is malformed or names an algorithm or secret that cannot be used.
bool ParseKeyFile(std::string_view text, std::vector<TsigKey>& keys, std::string& why);
// The key named `name` (any case, final dot ignored), or the only one when `name` is empty. False with a
// reason when there is none, or several and no name to choose by.
bool ChooseKey(const std::vector<TsigKey>& keys, const std::string& name, TsigKey& key, std::string& why);

}  // namespace dns
