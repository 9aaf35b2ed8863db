#include "platform/library.h"

#include <dlfcn.h>

namespace platform {

const char* const kCurlLibrary = "libcurl.so.4";
const char* const kCurlLibraryMissing = "libcurl (libcurl4) cannot be loaded";

void* OpenLibrary(const char* name)
{
    return ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* LibrarySymbol(void* library, const char* name)
{
    return library ? ::dlsym(library, name) : nullptr;
}

}  // namespace platform
