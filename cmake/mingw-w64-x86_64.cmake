# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads); its tests run
# under wine64.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNWELL_MINGW_TRIPLET x86_64-w64-mingw32)
set(TARNWELL_MINGW_RUNS_UNDER_WINE64 ON)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
