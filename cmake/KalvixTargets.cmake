# kalvix_add_test(NAME SOURCES file... [LABELS label...] [COST seconds])
#
# Builds one GoogleTest runner against the core and registers it with CTest.
# Labels in use:
#   threads  the suite starts threads; scripts/test.sh also runs it under ThreadSanitizer
#   db       the suite needs the private MariaDB server (KALVIX_TEST_DB_SOCKET)
# COST: about how long the suite runs, in seconds; `ctest -j` starts the long suites first, so
# they do not run on alone at the end (ctest learns costs by itself only from an earlier run).

# kalvix_thread_suites builds every suite labelled threads (with what they depend on), so the
# ThreadSanitizer variant builds only what it runs.
if(KALVIX_BUILD_TESTS AND NOT TARGET kalvix_thread_suites)
  add_custom_target(kalvix_thread_suites)
endif()

function(kalvix_add_test NAME)
  if(NOT KALVIX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "COST" "SOURCES;LABELS" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_compile_options(${NAME} PRIVATE -Wall -Wextra)
  target_link_libraries(${NAME} PRIVATE kalvix_core GTest::gtest GTest::gtest_main)
  add_test(NAME ${NAME} COMMAND ${NAME})
  if(ARG_LABELS)
    set_tests_properties(${NAME} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
  if(ARG_COST)
    set_tests_properties(${NAME} PROPERTIES COST ${ARG_COST})
  endif()
  if("threads" IN_LIST ARG_LABELS)
    add_dependencies(kalvix_thread_suites ${NAME})
  endif()
endfunction()
