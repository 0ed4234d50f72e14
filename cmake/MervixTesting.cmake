# mervix_add_test(NAME name LABEL unit|e2e|gui SOURCES ... [LIBS ...] [ENVIRONMENT ...])
#
# Builds one GoogleTest executable and registers each of its test cases with
# CTest under the given label. Discovery runs just before the tests, so a
# build never has to execute a test binary.
find_package(GTest REQUIRED)
include(GoogleTest)

function(mervix_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
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
