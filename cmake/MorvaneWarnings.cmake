# Our own targets build warning-free; generated code is included as a system header and stays out of this.
function(morvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2
                                           -Wimplicit-fallthrough)
  if(WIN32)
    # MinGW's GCC checks printf formats against the Microsoft runtime's ("%zu" unknown); the programs
    # use the C99 printf (__USE_MINGW_ANSI_STDIO), and the Linux builds check the same formats.
    target_compile_options(${target} PRIVATE -Wno-format)
    # GCC 12 at -O3 sees an overlapping memcpy inside std::string's operator+ where there is none (GCC bug
    # 105329); the Linux builds keep the warning.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
  if(MORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
