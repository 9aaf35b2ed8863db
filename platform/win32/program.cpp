#include "platform/program.h"

#include <vector>

#include "platform/win32/compat/win32.h"
#include "platform/win32/text.h"

namespace platform {

std::string ProgramPath()
{
    // Long paths are allowed: grow until the whole name fits.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0)
            return {};
        if (n < buffer.size())
            return win32::Utf8(buffer.data(), static_cast<int>(n));
        if (buffer.size() >= 32768)
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string ProgramDirectory(bool trailingSeparator)
{
    std::string path = ProgramPath();
    size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return {};
    return path.substr(0, trailingSeparator ? slash + 1 : slash);
}

}  // namespace platform
