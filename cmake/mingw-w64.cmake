# Cross build for Windows with Debian's mingw-w64 compilers, included by the
# toolchain file of each processor, which sets TONEWATCH_MINGW_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first. The posix thread model gives std::thread and
# std::mutex (GCC 12's win32 model has neither); its winpthread, libstdc++
# and libgcc are linked statically, so that programs and DLLs need only
# system DLLs.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TONEWATCH_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TONEWATCH_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TONEWATCH_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TONEWATCH_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# CTest runs the test programs under Wine (scripts/wine-run). Tests are
# listed when CTest runs rather than at build time, so that a build never
# starts Wine.
get_filename_component(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run ABSOLUTE)
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
