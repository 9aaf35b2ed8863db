# What every target of a Windows build shares: the POSIX names of platform/win32/compat first on the
# system include path (their implementations are the library morvane_compat, which morvane_base
# links), a Windows 10 API level, the C99 printf and the runtime's localtime_r and the like.
include_directories(BEFORE SYSTEM ${PROJECT_SOURCE_DIR}/platform/win32/compat)
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00 __USE_MINGW_ANSI_STDIO=1
                        _POSIX_THREAD_SAFE_FUNCTIONS)
