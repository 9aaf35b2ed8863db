#pragma once
// How the administration commands take secrets without putting them on a command line (where the process
// list and the shell's history show them): a password at a prompt that does not echo, or from standard
// input; a TSIG key from a file in the format BIND's tsig-keygen writes, or from standard input.

#include <string>

#include "shared/base/secret_file.h"
#include "shared/dns/key_file.h"

namespace provider {

using dns::ChooseKey;
using dns::ParseKeyFile;
using dns::TsigKey;
using files::ReadSecretFile;

// One line: from the terminal with echo off after `prompt` (asked twice when `confirm`, and the two
// must agree), or the first line of standard input when it is not a terminal. False with a reason.
bool ReadPassword(const std::string& prompt, bool confirm, std::string& password, std::string& why);

}  // namespace provider
