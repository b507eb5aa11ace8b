# Cross build for 32-bit Windows (i686) with mingw-w64, the platform's own
# 32-bit layouts (the 32-byte buffer header); the tests run under wine32
# (scripts/test-windows).
set(TONEWATCH_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
