# vmosaic_add_test(NAME SOURCES file... LIBS lib... [TIMEOUT s])
# One GoogleTest executable registered with CTest, run from its build folder.
# Suites whose name holds "Slow" (very large frames, install, package, X
# server) carry the CTest label `slow`: `ctest -LE slow` leaves them out,
# `make test` and CI run everything.
function(vmosaic_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT ${VMOSAIC_TEST_TIMEOUT})
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vmosaic_testsupport GTest::gmock GTest::gtest_main)
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
    TEST_FILTER "-*Slow*" PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST
    TEST_FILTER "*Slow*" PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS slow)
endfunction()
