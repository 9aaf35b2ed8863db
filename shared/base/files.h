#pragma once
// Small file helpers shared by both programs.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace files {

// Largest file ReadAll takes by default: the data files are a few KiB, so anything this big is not one
// of them (and /dev/zero or a huge file must not exhaust memory).
inline constexpr size_t kMaxReadSize = 4u << 20;

// Reads a whole regular file. The last component of `path` is never followed when it is a symbolic
// link, and a FIFO or device is never waited on or read: those, files over `maxSize` bytes (errno
// EFBIG) and files that cannot be opened or read all give false.
bool ReadAll(const std::string& path, std::string& out, size_t maxSize = kMaxReadSize);

// Mode of the files ReplaceAtomically creates: the owner and the group (which shares the data
// directory) read and write, nobody else.
inline constexpr mode_t kSharedFileMode = 0660;

// Replaces `path` with `bytes` atomically: a temporary file in the same directory is written in
// full, closed and renamed over the target, so a crash or a full disk never leaves a truncated file
// behind. The new file has exactly `mode`, whatever the old one (or what a link there pointed at)
// had. False (and the old file untouched) on any failure.
bool ReplaceAtomically(const std::string& path, std::string_view bytes, mode_t mode = kSharedFileMode);

// The infix of ReplaceAtomically's temporary files: "<file>.tmp.<pid>.<n>".
inline constexpr const char* kTemporaryInfix = ".tmp.";

bool Exists(const std::string& path);

// Directory part of `path` (without trailing separator); "." when there is none.
std::string DirName(const std::string& path);

// Creates `path` and any missing parents (mode 0755). True when it is a directory afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace files
