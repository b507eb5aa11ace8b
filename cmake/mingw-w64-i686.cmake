# Cross build for 32-bit Windows (i686) with mingw-w64: built, not run, to
# hold the platform's 32-bit layouts (the 32-byte buffer header) to account.
set(TONEWATCH_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
