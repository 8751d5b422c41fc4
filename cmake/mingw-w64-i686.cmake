# mingw-w64-i686.cmake: cross-compiles quillog.exe for 32-bit Windows with
# the MinGW-w64 tool chain (Debian package g++-mingw-w64-i686).
#
#   cmake -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#   cmake --build build-win32
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLOG_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
