# Cross-compiling for 64-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# bsl430.exe links statically (no MinGW runtime DLLs beside it). When Wine is installed, ctest
# runs the test programs through cmake/wine-run.sh, which keeps a Wine prefix of its own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BSL430_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BSL430_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BSL430_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BSL430_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${BSL430_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/lib/wine/wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
endif()
