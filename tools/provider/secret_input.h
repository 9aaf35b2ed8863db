#pragma once
// How the administration commands take secrets without putting them on a command line (where the process
// list and the shell's history show them): a password at a prompt that does not echo, or from standard
// input; a TSIG key from a file in the format BIND's tsig-keygen writes, or from standard input.

#include <string>
#include <string_view>
#include <vector>

namespace provider {

struct TsigKey {
    std::string name;  // lower case, no final dot
    std::string algorithm;
    std::string secret;  // base64
};

// The keys of a BIND configuration text, `key "NAME" { algorithm hmac-sha256; secret "BASE64"; };` as
// tsig-keygen writes them. Comments (#, //, /* */) and other statements are skipped. False with a
// reason when a key statement is malformed or names an algorithm or secret that cannot be used.
bool ParseKeyFile(std::string_view text, std::vector<TsigKey>& keys, std::string& why);
// The key named `name` (any case, final dot ignored), or the only one when `name` is empty. False with a
// reason when there is none, or several and no name to choose by.
bool ChooseKey(const std::vector<TsigKey>& keys, const std::string& name, TsigKey& key, std::string& why);

// Everything in `path` ("-": standard input), at most maxBytes. False with a reason.
bool ReadSecretFile(const std::string& path, size_t maxBytes, std::string& text, std::string& why);
// One line: from the terminal with echo off after `prompt` (asked twice when `confirm`, and the two
// must agree), or the first line of standard input when it is not a terminal. False with a reason.
bool ReadPassword(const std::string& prompt, bool confirm, std::string& password, std::string& why);

}  // namespace provider
