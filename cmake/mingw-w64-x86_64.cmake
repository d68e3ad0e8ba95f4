# Windows build (x86-64) with Debian's MinGW-w64 cross compiler, its posix
# thread model, linked statically so that corvane.exe needs nothing but
# KERNEL32 and msvcrt; the tests run it under wine.
#   cmake -S . -B build/mingw --toolchain cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Runs target programs on this host under wine, where it is installed, in a
# prefix of the build's own, without debug messages and without the Mono and
# Gecko installers.
find_program(CORVANE_WINE NAMES wine)
if(CORVANE_WINE)
  set(CORVANE_WINE_ENV WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=)
  set(CMAKE_CROSSCOMPILING_EMULATOR env ${CORVANE_WINE_ENV} ${CORVANE_WINE})
endif()
