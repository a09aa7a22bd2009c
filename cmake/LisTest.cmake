# One QtTest executable per area. Each runs offscreen, with its own settings
# folder and data folder, so no test sees the user's or another test's files.
function(lis_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE lis_test_support ${ARG_LIBS} Qt6::Test)
  set(scratch ${CMAKE_BINARY_DIR}/test-scratch/${name})
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LIS_CONFIG_DIR=${scratch}/config;LIS_DATA_DIR=${scratch}/data;LIS_TEST_SCRATCH=${scratch}"
    TIMEOUT 300)
endfunction()
