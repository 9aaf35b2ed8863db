#pragma once
// Small file helpers shared by both programs.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace files {

// Largest file ReadAll takes by default: the data files are a few KiB, so anything this big is not one
// of them (and /dev/zero or a huge file must not exhaust memory).
inline constexpr size_t kMaxReadSize = 4u << 20;

// Reads a whole regular file. The last component of `path` is never followed when it is a symbolic
// link, and a FIFO or device is never waited on or read: those, files over `maxSize` bytes (errno
// EFBIG) and files that cannot be opened or read all give false. `mode`, when given, gets the
// permission bits of the file that was read.
bool ReadAll(const std::string& path, std::string& out, size_t maxSize = kMaxReadSize, mode_t* mode = nullptr);

// Mode of the files ReplaceAtomically creates: the owner and the group (which shares the data
// directory) read and write, nobody else.
inline constexpr mode_t kSharedFileMode = 0660;

// Whose group the file ReplaceAtomically writes gets.
enum class FileGroup {
    Writer,     // what creating it gives: the writer's, or the directory's in a set-group-id directory
    Directory,  // the group of the directory holding it, when the writer may give it that group
};

struct ReplaceOptions {
    mode_t mode = kSharedFileMode;  // permission bits only, never set-id
    FileGroup group = FileGroup::Writer;
    // Flushed to disk before the rename: for programs, which must never be found half-written
    // after a power cut. Data files do without (it costs about 10 ms per save).
    bool sync = false;
};

// Replaces `path` with `bytes` atomically: a temporary file in the same directory is written in
// full, closed and renamed over the target, so a crash or a full disk never leaves a truncated file
// behind. Group and mode are set on the temporary file before anything is written to it, so the new
// file has exactly `mode` (and the group asked for) from its first byte on. Nothing at `path` is
// opened, changed or even looked at: whatever stands there (a link to anything, a FIFO) is replaced
// by the rename, its target never touched. False (and the old file untouched) on any failure.
bool ReplaceAtomically(const std::string& path, std::string_view bytes, const ReplaceOptions& options);
inline bool ReplaceAtomically(const std::string& path, std::string_view bytes, mode_t mode = kSharedFileMode)
{
    return ReplaceAtomically(path, bytes, ReplaceOptions{mode});
}

// The infix of ReplaceAtomically's temporary files: "<file>.tmp.<pid>.<n>".
inline constexpr const char* kTemporaryInfix = ".tmp.";

bool Exists(const std::string& path);

// Tells one version of a file from another without reading it: which file, its size and when it
// was last written.
struct FileStamp {
    uint64_t inode = 0, size = 0;
    int64_t seconds = -1, nanoseconds = 0;
    uint32_t owner = 0;  // the user who owns it (who wrote it, for files replaced whole)
    bool operator==(const FileStamp&) const = default;
};

// False, and an empty stamp, when the file cannot be looked at (the last component is followed).
bool StampOf(const std::string& path, FileStamp& stamp);

// Directory part of `path` (without trailing separator); "." when there is none.
std::string DirName(const std::string& path);

// Creates `path` and any missing parents (mode 0755). True when it is a directory afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace files
