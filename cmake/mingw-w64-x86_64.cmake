# Cross-builds a static Windows x86-64 console program with Debian's mingw-w64
# compilers, and runs what it builds under wine:
#   cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Needs g++-mingw-w64-x86-64 and libz-mingw-w64-dev; wine64 and wine to run
# the result.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUARLIX_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix variants: the -win32 ones have no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${QUARLIX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUARLIX_MINGW_TRIPLE}-g++-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${QUARLIX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the C and C++ runtimes, winpthreads and zlib are
# linked in, so it imports only KERNEL32.dll and msvcrt.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)

# ctest and gtest_discover_tests run the built programs through wine.
find_program(QUARLIX_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QUARLIX_WINE)
  find_program(QUARLIX_WINE NAMES wine64 wine)
endif()
if(QUARLIX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUARLIX_WINE})
endif()
