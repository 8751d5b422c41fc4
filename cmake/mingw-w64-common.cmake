# mingw-w64-common.cmake: the part of the MinGW-w64 tool chain files that does
# not depend on the target processor. The including file sets
# CMAKE_SYSTEM_PROCESSOR and QUILLOG_MINGW_PREFIX (the tools' name prefix).
#
# The "-win32" thread model is preferred when installed: the program uses no
# C++ threads, and that runtime needs no winpthread library.
set(CMAKE_SYSTEM_NAME Windows)

find_program(QUILLOG_MINGW_CXX NAMES ${QUILLOG_MINGW_PREFIX}-g++-win32 ${QUILLOG_MINGW_PREFIX}-g++ REQUIRED)
find_program(QUILLOG_MINGW_CC NAMES ${QUILLOG_MINGW_PREFIX}-gcc-win32 ${QUILLOG_MINGW_PREFIX}-gcc)
find_program(QUILLOG_MINGW_RC NAMES ${QUILLOG_MINGW_PREFIX}-windres)
set(CMAKE_CXX_COMPILER ${QUILLOG_MINGW_CXX})
if(QUILLOG_MINGW_CC)
  set(CMAKE_C_COMPILER ${QUILLOG_MINGW_CC})
endif()
if(QUILLOG_MINGW_RC)
  set(CMAKE_RC_COMPILER ${QUILLOG_MINGW_RC})
endif()

# Libraries and headers come from the target's sysroot only; programs run
# during the build are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${QUILLOG_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
