#include "platform/library.h"

#include "platform/win32/compat/win32.h"

namespace platform {

// curl's own name for its 64-bit Windows build; no TLS library is built with the programs.
const char* const kCurlLibrary = "libcurl-x64.dll";
const char* const kCurlLibraryMissing =
    "HTTPS needs libcurl with TLS (libcurl-x64.dll beside MorvaneCore.exe), which this build does not include";

void* OpenLibrary(const char* name)
{
    // Beside the program or in the system directory only, never the current directory.
    return reinterpret_cast<void*>(
        LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
}

void* LibrarySymbol(void* library, const char* name)
{
    return library ? reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)) : nullptr;
}

}  // namespace platform
