# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread model: std::thread needs it).
#
#   cmake -S . -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
#         -DMORVANE_WIN_DEPS=<prefix of the cross-built libraries>
#
# scripts/build-windows.sh builds the libraries (gSOAP's runtime, miniupnpc, libnatpmp) into a cache and
# passes their prefix. Test programs run under Wine through the crosscompiling emulator.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MORVANE_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANE_MINGW_TRIPLE}-windres)

# Toolchain files are read again for every try_compile: the prefix also travels in the environment.
if(NOT MORVANE_WIN_DEPS AND DEFINED ENV{MORVANE_WIN_DEPS})
  set(MORVANE_WIN_DEPS $ENV{MORVANE_WIN_DEPS})
endif()
set(ENV{MORVANE_WIN_DEPS} "${MORVANE_WIN_DEPS}")

set(CMAKE_FIND_ROOT_PATH /usr/${MORVANE_MINGW_TRIPLE} ${MORVANE_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the cross-built libraries, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "${MORVANE_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# One .exe per program with nothing beside it but libnat.dll: the C and C++ runtimes and winpthreads
# are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(MORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(MORVANE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_WINE})
endif()
