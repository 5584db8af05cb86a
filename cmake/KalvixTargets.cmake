# kalvix_add_test(NAME SOURCES file... [LABELS label...])
#
# Builds one GoogleTest runner against the core and registers it with CTest.
# Labels in use:
#   threads  the suite starts threads; scripts/test.sh also runs it under ThreadSanitizer
#   db       the suite needs the private MariaDB server (KALVIX_TEST_DB_SOCKET)
function(kalvix_add_test NAME)
  if(NOT KALVIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LABELS" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_compile_options(${NAME} PRIVATE -Wall -Wextra)
  target_link_libraries(${NAME} PRIVATE kalvix_core GTest::gtest GTest::gtest_main)
  add_test(NAME ${NAME} COMMAND ${NAME})
  if(ARG_LABELS)
    set_tests_properties(${NAME} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
