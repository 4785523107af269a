# Cross build for 32-bit Windows with Debian's mingw-w64 (posix threads). wine64 runs
# 32-bit programs only with wine32 from a second architecture, so nothing built here is
# run: its programs are built and their headers and imports checked.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARNWELL_MINGW_TRIPLET i686-w64-mingw32)
set(TARNWELL_MINGW_RUNS_UNDER_WINE64 OFF)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
