# mervix_add_test(NAME name LABEL unit|e2e|gui SOURCES ... [LIBS ...] [ENVIRONMENT ...])
#
# Builds one GoogleTest executable and registers each of its test cases with
# CTest under the given label. Discovery runs just before the tests, so a
# build never has to execute a test binary.
#
# Cross-built (Windows), GoogleTest is compiled for the target from Debian's
# googletest sources, and each executable is one CTest test run through the
# emulator (Wine): one Wine start per executable, not per case. Its cases are
# counted from the XML report it writes into <build>/test-results.
if(CMAKE_CROSSCOMPILING)
  set(MERVIX_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
  if(NOT EXISTS ${MERVIX_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "no GoogleTest sources in ${MERVIX_GOOGLETEST_SOURCE_DIR}: install the googletest package")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MERVIX_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  foreach(library gtest gmock gtest_main gmock_main)
    if(NOT TARGET GTest::${library})
      add_library(GTest::${library} ALIAS ${library})
    endif()
  endforeach()
  set(MERVIX_TEST_RESULTS_DIR ${CMAKE_BINARY_DIR}/test-results)
  file(MAKE_DIRECTORY ${MERVIX_TEST_RESULTS_DIR})
else()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

function(mervix_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  # A header put in front of every source (the Windows build's POSIX calls
  # for the shared test helpers, see tests/windows).
  if(MERVIX_TEST_PRELUDE)
    target_compile_options(${T_NAME} PRIVATE "SHELL:-include ${MERVIX_TEST_PRELUDE}")
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_output=xml:${T_NAME}.xml
             WORKING_DIRECTORY ${MERVIX_TEST_RESULTS_DIR})
    # The limit covers the whole executable here, not one case.
    set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT 600)
    # The window's settings live in the registry on Windows, one key for
    # every test program: they run one at a time.
    if(T_LABEL STREQUAL "gui")
      set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK window_settings)
    endif()
    if(T_ENVIRONMENT)
      set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    return()
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
  # gtest_discover_tests flattens a list given in PROPERTIES, so only the first
  # variable would arrive. Instead a small script, run by CTest after the
  # discovery, sets the whole environment on every discovered case.
  if(T_ENVIRONMENT)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_environment.cmake)
    file(WRITE ${script}
      "foreach(test IN LISTS ${T_NAME}_TESTS)\n"
      "  set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT \"${T_ENVIRONMENT}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# mervix_add_benchmark(NAME name SOURCES ... [LIBS ...])
#
# A benchmark program, run by `make bench` (scripts/run-benchmarks), never by
# `make test`. Every benchmark lands in <build>/tests/bench.
function(mervix_add_benchmark)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS})
  set_target_properties(${B_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/bench)
endfunction()
