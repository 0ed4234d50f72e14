# The MinGW-w64 toolchain of x86_64-w64-mingw32.cmake for what links Qt's
# DLLs (Qt itself, the window and its tests): the C++ runtime and
# winpthreads as DLLs too, so that the program and Qt share one runtime.
include(${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT "")
