# The layers of mervix and the folders each may include from:
#
#   shell, cli  ->  operations  ->  protocol, image, compress  ->  resources
#   tools (the device simulator) uses compress and resources only
#
# Every library links the layers below it PRIVATE or PUBLIC as its headers
# need; on top of that, mervix_check_layers() adds a build step that reads
# the sources of each folder and fails the build when one includes a header
# from a folder its layer may not use. So a dependency against the
# direction cannot creep in, even through a header that happens to be on
# the include path.
set(MERVIX_LAYER_resources resources)
set(MERVIX_LAYER_protocol protocol resources)
set(MERVIX_LAYER_image image resources)
set(MERVIX_LAYER_compress compress resources)
set(MERVIX_LAYER_operations operations protocol image compress resources)
set(MERVIX_LAYER_shell shell operations protocol image compress resources)
set(MERVIX_LAYER_cli cli operations protocol image compress resources)
set(MERVIX_LAYER_tools tools compress resources)

# Headers a folder may not include although their folder is allowed: the
# session decides and words nothing, so protocol/ never sees a message table.
set(MERVIX_FORBIDDEN_protocol resources/MessageTable.h resources/CommandLineMessages.h resources/WindowMessages.h
    resources/MessageEntry.h resources/LogPane.h)

set(MERVIX_LAYER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/CheckLayer.cmake)

function(mervix_check_layers)
  set(stamps)
  foreach(folder resources protocol image compress operations shell cli tools)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${folder})
      continue()
    endif()
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS
         ${PROJECT_SOURCE_DIR}/${folder}/*.cpp ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    set(stamp ${CMAKE_BINARY_DIR}/layers/${folder}.checked)
    string(REPLACE ";" "," allowed "${MERVIX_LAYER_${folder}}")
    string(REPLACE ";" "," forbidden "${MERVIX_FORBIDDEN_${folder}}")
    add_custom_command(
      OUTPUT ${stamp}
      COMMAND ${CMAKE_COMMAND} -DFOLDER=${folder} -DALLOWED=${allowed} "-DFORBIDDEN=${forbidden}" -DROOT=${PROJECT_SOURCE_DIR}
              -DSTAMP=${stamp} -P ${MERVIX_LAYER_SCRIPT}
      DEPENDS ${sources} ${MERVIX_LAYER_SCRIPT}
      COMMENT "Checking the includes of ${folder}/ against its layer"
      VERBATIM)
    list(APPEND stamps ${stamp})
  endforeach()
  add_custom_target(mervix_layers ALL DEPENDS ${stamps})
endfunction()
