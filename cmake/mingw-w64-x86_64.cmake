# mingw-w64-x86_64.cmake: cross-compiles quillog.exe for 64-bit Windows with
# the MinGW-w64 tool chain (Debian packages g++-mingw-w64-x86-64 and
# binutils-mingw-w64-x86-64).
#
#   cmake -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#   cmake --build build-win
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLOG_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
