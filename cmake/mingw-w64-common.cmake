# What both Windows cross builds share; included by mingw-w64-x86_64.cmake and
# mingw-w64-i686.cmake after they set CMAKE_SYSTEM_PROCESSOR and TARNWELL_MINGW_TRIPLET.
# TARNWELL_WIN32_DEPS names the prefix that holds the third-party libraries built for that
# architecture (scripts/test-win32.sh builds them there from Debian's sources).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TARNWELL_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNWELL_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNWELL_MINGW_TRIPLET}-windres)

set(TARNWELL_WIN32_DEPS "" CACHE PATH "Prefix of the libraries built for Windows")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWELL_WIN32_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWELL_MINGW_TRIPLET})
if(TARNWELL_WIN32_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${TARNWELL_WIN32_DEPS})
  # pkg-config looks only at the Windows libraries.
  set(ENV{PKG_CONFIG_LIBDIR} "${TARNWELL_WIN32_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable per program: no libstdc++/libgcc/winpthread DLLs to find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under wine64 in a prefix of their own beside the build.
if(TARNWELL_MINGW_RUNS_UNDER_WINE64)
  find_program(TARNWELL_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
endif()
if(TARNWELL_WINE64 AND NOT DEFINED TARNWELL_WINEPREFIX)
  set(TARNWELL_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")
endif()
if(TARNWELL_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEPREFIX=${TARNWELL_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
      ${TARNWELL_WINE64})
endif()
