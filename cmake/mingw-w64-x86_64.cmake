# Cross build for 64-bit Windows (x86-64) with mingw-w64; the tests run under
# wine64 (scripts/test-windows).
set(TONEWATCH_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
