# One QtTest executable per area. Each runs offscreen and makes its own
# settings and data folders below its scratch folder (tests/support/
# FreshScratch.cpp), so no test sees the user's or another test's files.
#
# ENGINES sqlite postgresql registers the program once per engine of the
# laboratory database: NAME on the embedded one, NAME_postgresql on the run's
# PostgreSQL test server (the lis_pg_server fixture), which the program's
# TestDatabase then uses.
set(LIS_TEST_PG_STATE ${CMAKE_BINARY_DIR}/test-pg/cluster.state)

function(lis_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;ENGINES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE lis_test_support ${ARG_LIBS} Qt6::Test)
  if(NOT ARG_ENGINES)
    set(ARG_ENGINES sqlite)
  endif()
  foreach(engine IN LISTS ARG_ENGINES)
    set(test ${name})
    if(NOT engine STREQUAL "sqlite")
      set(test ${name}_${engine})
    endif()
    set(scratch ${CMAKE_BINARY_DIR}/test-scratch/${test})
    add_test(NAME ${test} COMMAND ${name})
    set_tests_properties(${test} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LIS_TEST_SCRATCH=${scratch};LIS_TEST_ENGINE=${engine};LIS_TEST_PG_STATE=${LIS_TEST_PG_STATE}"
      TIMEOUT 300)
    if(engine STREQUAL "postgresql")
      set_tests_properties(${test} PROPERTIES FIXTURES_REQUIRED lis_pg_server)
    endif()
  endforeach()
endfunction()

# The run's PostgreSQL test server, started before the first suite that
# needs it and stopped after the last.
function(lis_add_pg_server_fixture)
  add_executable(lis_test_pgserver ${CMAKE_CURRENT_SOURCE_DIR}/support/pg_server.cpp
                                   ${CMAKE_CURRENT_SOURCE_DIR}/support/PgCluster.cpp)
  target_include_directories(lis_test_pgserver PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/support)
  target_link_libraries(lis_test_pgserver PRIVATE lis_labserver Qt6::Sql)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-pg)
  add_test(NAME lis_pg_server_start COMMAND lis_test_pgserver start ${LIS_TEST_PG_STATE})
  add_test(NAME lis_pg_server_stop COMMAND lis_test_pgserver stop ${LIS_TEST_PG_STATE})
  set_tests_properties(lis_pg_server_start lis_pg_server_stop PROPERTIES
    ENVIRONMENT "LIS_TEST_SCRATCH=${CMAKE_BINARY_DIR}/test-pg" TIMEOUT 120)
  set_tests_properties(lis_pg_server_start PROPERTIES FIXTURES_SETUP lis_pg_server)
  set_tests_properties(lis_pg_server_stop PROPERTIES FIXTURES_CLEANUP lis_pg_server)
endfunction()
