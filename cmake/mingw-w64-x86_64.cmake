# Cross-compiles for 64-bit Windows with Debian's mingw-w64 g++ (package
# g++-mingw-w64-x86-64-posix), as tools/windows_check.sh does:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNWICK_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${TARNWICK_MINGW_PREFIX}-g++-posix ${TARNWICK_MINGW_PREFIX}-g++ REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNWICK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The C++ runtime, libgcc and winpthreads are linked in, so that a program
# runs without their DLLs beside it (under wine too).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian's wine64 lies outside the PATH; the wine wrapper on it also asks for
# a 32-bit wine.
find_program(TARNWICK_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(TARNWICK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNWICK_WINE})
endif()
