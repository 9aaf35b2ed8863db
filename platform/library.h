#pragma once
// Libraries opened at run time, so that a program that never needs them never maps them.

#include <string>

namespace platform {

// libcurl with TLS, for HTTPS requests (dyndns2 accounts, check-IP services).
extern const char* const kCurlLibrary;
// What to tell someone who has not got it.
extern const char* const kCurlLibraryMissing;

// Null when the library cannot be opened.
void* OpenLibrary(const char* name);
// Null when the library has no such symbol.
void* LibrarySymbol(void* library, const char* name);

}  // namespace platform
