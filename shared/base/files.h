#pragma once
// Small file helpers shared by both programs.

#include <string>
#include <string_view>

namespace files {

// Reads a whole file. False when it cannot be opened or read.
bool ReadAll(const std::string& path, std::string& out);

// Replaces `path` with `bytes` atomically: a temporary file in the same directory is written in
// full, closed and renamed over the target, so a crash or a full disk never leaves a truncated file
// behind. False (and the old file untouched) on any failure.
bool ReplaceAtomically(const std::string& path, std::string_view bytes);

bool Exists(const std::string& path);

// Directory part of `path` (without trailing separator); "." when there is none.
std::string DirName(const std::string& path);

// Creates `path` and any missing parents (mode 0755). True when it is a directory afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace files
