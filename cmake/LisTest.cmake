# One QtTest executable per area. Each runs offscreen and makes its own
# settings and data folders below its scratch folder (tests/support/
# FreshScratch.cpp), so no test sees the user's or another test's files.
function(lis_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE lis_test_support ${ARG_LIBS} Qt6::Test)
  set(scratch ${CMAKE_BINARY_DIR}/test-scratch/${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LIS_TEST_SCRATCH=${scratch}"
    TIMEOUT 300)
endfunction()
