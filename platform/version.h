#pragma once
// Version information of our executables.
//
// Every program carries a small binary "version block" built from the project version: a fixed
// file version (four 16-bit parts), a translation table (language, code page) and string values
// under "StringFileInfo\<language><code page>" ("ProductVersion", "FileVersion", ...). The build
// embeds it as the non-allocated ELF note section ".note.morvane.version", so any program can read
// the version of another executable without running it.
//
// Block layout (all integers little-endian): a tree of nodes, each
//     u16 length (whole node with its children), u16 value length (bytes), u16 type (0 binary, 1 text),
//     key (NUL-terminated), padding to 4, value, padding to 4, children.
// The root's key is "VS_VERSION_INFO" and its value the 52-byte fixed file information; its children
// are "StringFileInfo" (tables of text values) and "VarFileInfo" (the "Translation" table).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

inline constexpr const char* kVersionNoteSection = ".note.morvane.version";
inline constexpr const char* kVersionNoteOwner = "Morvane";
inline constexpr uint32_t kVersionNoteType = 1;
inline constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BDu;

// What the build writes into a block.
struct VersionDescription {
    uint16_t fileVersion[4] = {0, 0, 0, 0};
    uint16_t productVersion[4] = {0, 0, 0, 0};
    uint16_t language = 0x0804;
    uint16_t codePage = 0x03A8;
    // Text values of the one string table, in order: name, value.
    std::vector<std::pair<std::string, std::string>> strings;
};

// Encodes a block. Empty when it would not fit the 16-bit lengths.
std::vector<uint8_t> BuildVersionBlock(const VersionDescription& description);

// Size in bytes of the version block embedded in the executable `path`; 0 when it has none (or is
// not an ELF file we can read). Callers refuse blocks larger than they are prepared to hold.
uint32_t VersionBlockSize(const std::string& path);

// Reads the block embedded in `path`, refusing one larger than `maxSize` bytes. False when there
// is none, it is too large, or the file is malformed.
bool ReadVersionBlock(const std::string& path, std::vector<uint8_t>& block, uint32_t maxSize = 0x10000);

// Looks a value up by its path in the block: "\" gives the fixed file information,
// "\VarFileInfo\Translation" the translation table, "\StringFileInfo\080403a8\ProductVersion" a
// text value (with its NUL). Keys compare without regard to case. `value` points into `block`.
bool VersionQueryValue(const std::vector<uint8_t>& block, std::string_view subBlock, const uint8_t*& value,
                       uint32_t& size);

// The first entry of the translation table.
bool VersionFirstTranslation(const std::vector<uint8_t>& block, uint16_t& language, uint16_t& codePage);

// "\StringFileInfo\%08lx\<name>" with the first translation: the text value, without its NUL.
bool VersionStringValue(const std::vector<uint8_t>& block, std::string_view name, std::string& text);

// The fixed file version: high and low word of the most significant half, then of the least.
bool VersionFixedFileVersion(const std::vector<uint8_t>& block, uint16_t parts[4]);

// Convenience for callers that want one text: the "ProductVersion" of `path`; empty when any step
// fails or the block is larger than `maxSize`.
std::string ProductVersionOf(const std::string& path, uint32_t maxSize = 2000);

// The fixed file version of `path`; all four parts 0 when it has none.
void FileVersionOf(const std::string& path, uint16_t parts[4]);

}  // namespace platform
