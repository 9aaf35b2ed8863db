#pragma once
// Pieces of the XML engine shared by its source files (not part of the public API).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace xmltext {

// Characters that end a name token.
inline bool IsNameEnd(char c)
{
    switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '<':
    case '>':
    case '=':
    case '\\':
    case '/':
    case '?':
    case '!':
    case '"':
    case '\'':
    case ';':
    case '\0': return true;
    default: return false;
    }
}

inline bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Bytes taken by the character at `p` (a double-byte code page steps over lead and trail together).
size_t CharLength(const char* p, const char* end);

// Escapes "<", "&" and ">" (and both quotes for attribute values), appending to `out`.
void AppendEscaped(std::string& out, std::string_view text, bool attribute);

// Appends `text` with character references decoded. Unknown, malformed or unrepresentable
// references are copied unchanged.
void AppendDecoded(std::string& out, std::string_view text);

// Code point of a named reference, 0 when the name is not in the table.
uint32_t LookupEntity(std::string_view name);
size_t EntityCount();

// Appends a code point in the system code page; false when it has no character there.
bool AppendCodePoint(std::string& out, uint32_t cp);

// ---- encodings ----

// The canonical (iconv) name of an encoding name, "" when unknown.
std::string ResolveEncoding(std::string_view name);
// The system code page's canonical name (the locale's character set; UTF-8 for C/POSIX).
const std::string& SystemEncoding();
bool SystemIsDoubleByte();
// Overrides the system code page (tests); "" restores the locale's.
void SetSystemEncodingForTesting(const std::string& name);

// Converts between two canonical encodings. `lost` counts characters that had no equivalent or
// were invalid in the source (each is replaced by '?'). False when no converter exists.
bool Convert(std::string_view in, const std::string& from, const std::string& to, std::string& out, size_t& lost);

// True when `text` is valid UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace xmltext
