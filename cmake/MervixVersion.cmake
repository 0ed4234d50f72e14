# The project version (project(... VERSION ...)) as a generated header in the
# build tree, so that every program prints the same number for --version:
#
#   mervix_use_version(TARGET...)   adds the header's folder to the targets;
#                                   their sources #include "MervixVersion.h"
configure_file(${CMAKE_CURRENT_LIST_DIR}/MervixVersion.h.in ${PROJECT_BINARY_DIR}/generated/MervixVersion.h @ONLY)

function(mervix_use_version)
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/generated)
    endif()
  endforeach()
endfunction()
