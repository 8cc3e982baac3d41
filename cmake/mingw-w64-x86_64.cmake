# Cross-building the Windows program with the MinGW-w64 compilers of Debian
# (package g++-mingw-w64-x86-64-posix, whose thread model supports
# std::thread). Programs built this way run here under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C++ runtime and the threads library are
# linked in, so it runs on a bare Windows.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs (and test discovery) run under Wine.
find_program(TOLBREK5_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT TOLBREK5_WINE)
  find_program(TOLBREK5_WINE NAMES wine64 wine)
endif()
if(TOLBREK5_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLBREK5_WINE})
endif()
