#pragma once
// Paths and texts cross into Win32 as UTF-16 (the W functions) and come back as UTF-8, the programs'
// own encoding; error codes become messages.
#include <string>

namespace platform::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* wide, int length = -1);
inline std::string Utf8(const std::wstring& wide)
{
    return Utf8(wide.c_str(), static_cast<int>(wide.size()));
}
// errno for the last Win32 error, so that callers that report strerror(errno) say something true.
int ErrnoOf(unsigned long win32Error);

}  // namespace platform::win32
