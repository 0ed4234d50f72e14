# Cross-building for 64-bit Windows with Debian's MinGW-w64 compilers (the
# posix thread model, so std::thread and std::mutex work), for example
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
#
# The programs link the C and C++ runtimes and winpthreads statically: each
# .exe runs on its own, without DLLs beside it. Programs the build runs (test
# discovery, ctest) run under Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MERVIX_TARGET_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${MERVIX_TARGET_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MERVIX_TARGET_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MERVIX_TARGET_TRIPLET}-windres)

# Libraries only from the target's own tree. Header-only dependencies of the
# host (Asio, CLI11, nlohmann json) are handed to the build one by one (see
# MervixWindows.cmake), never the host's whole /usr/include.
set(CMAKE_FIND_ROOT_PATH /usr/${MERVIX_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian installs the 64-bit loader as /usr/lib/wine/wine64 (the wine
# package adds wine64 to the path).
foreach(candidate /usr/bin/wine64 /usr/lib/wine/wine64)
  if(EXISTS ${candidate})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${candidate})
    break()
  endif()
endforeach()
