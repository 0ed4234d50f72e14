# The MinGW-w64 toolchain of x86_64-w64-mingw32.cmake for what links Qt's
# DLLs (Qt itself, the window and its tests): the C++ runtime and
# winpthreads as DLLs too, so that the program and Qt share one runtime.
include(${CMAKE_CURRENT_LIST_DIR}/x86_64-w64-mingw32.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT "")
# The Qt for Windows (CMAKE_PREFIX_PATH, from scripts/qt-windows) is a root
# of the target's own for the searches, beside MinGW's.
list(APPEND CMAKE_FIND_ROOT_PATH ${CMAKE_PREFIX_PATH})
