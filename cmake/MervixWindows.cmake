# The Windows build, cross-built with x86_64-w64-mingw32.cmake: the
# libraries, mervix-cli, mervix-devsim and the unit tests that need no
# POSIX process control (see MERVIX_PORTABLE_ONLY in the top-level file).
#
# The header-only libraries the command line and the simulator use (Asio,
# CLI11, nlohmann json) are the host's Debian packages: the build sees them
# through a folder of links to exactly those headers, so that none of the
# host's C library headers can shadow the target's.
set(MERVIX_HOST_INCLUDE_DIR /usr/include CACHE PATH "Where the host's header-only libraries are")
set(MERVIX_HOST_HEADERS ${PROJECT_BINARY_DIR}/host-headers)
foreach(entry asio.hpp asio CLI nlohmann)
  if(NOT EXISTS ${MERVIX_HOST_INCLUDE_DIR}/${entry})
    message(FATAL_ERROR "${MERVIX_HOST_INCLUDE_DIR}/${entry} not found: run scripts/install-deps")
  endif()
  if(NOT EXISTS ${MERVIX_HOST_HEADERS}/${entry})
    file(MAKE_DIRECTORY ${MERVIX_HOST_HEADERS})
    file(CREATE_LINK ${MERVIX_HOST_INCLUDE_DIR}/${entry} ${MERVIX_HOST_HEADERS}/${entry} SYMBOLIC)
  endif()
endforeach()
set(MERVIX_ASIO_INCLUDE_DIR ${MERVIX_HOST_HEADERS} CACHE PATH "Standalone Asio headers" FORCE)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${MERVIX_HOST_HEADERS})

# Windows 10 is the oldest system the programs are built for (Asio's Winsock
# code reads it); <windows.h> without its min/max macros and rarely used parts.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 WIN32_LEAN_AND_MEAN NOMINMAX)

# The programs' manifests (UTF-8 as the process code page) are resources.
enable_language(RC)
