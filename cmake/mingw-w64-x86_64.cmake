# Cross-compiles QuelmarAlg for 64-bit Windows with Debian's MinGW-w64
# (packages g++-mingw-w64-x86-64-win32 and wine; scripts/build_windows.sh
# uses this file). GCC's win32 thread model is the default: the DLL then needs
# no winpthread and no static TLS directory (cmake/windows_dll.cmake).
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64-x86_64.cmake
# Programs built here run under Wine (CMAKE_CROSSCOMPILING_EMULATOR), which
# ctest and GoogleTest's test discovery use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUELMARALG_MINGW_THREADS win32 CACHE STRING "Thread model of the MinGW-w64 compilers: win32 or posix")
set(QUELMARALG_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUELMARALG_MINGW_TRIPLE}-gcc-${QUELMARALG_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${QUELMARALG_MINGW_TRIPLE}-g++-${QUELMARALG_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${QUELMARALG_MINGW_TRIPLE}-windres)

# Headers, libraries and packages from the MinGW-w64 tree only (never the
# build machine's GoogleTest); programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${QUELMARALG_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(QUELMARALG_WINE NAMES wine wine64)
if(QUELMARALG_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUELMARALG_WINE})
endif()
