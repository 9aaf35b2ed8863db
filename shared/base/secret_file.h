#pragma once
// Secrets are read from a file or standard input, never taken from a command line (where the process
// list and the shell's history show them).

#include <cstddef>
#include <string>

namespace files {

// Everything in `path` ("-": standard input), at most maxBytes. False with a reason.
bool ReadSecretFile(const std::string& path, size_t maxBytes, std::string& text, std::string& why);

}  // namespace files
