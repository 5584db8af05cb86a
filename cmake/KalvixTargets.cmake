# kalvix_add_layer(NAME SOURCES file... DEPENDS library...)
#
# One folder of the service, built as the static library kalvix_NAME, which links only the
# libraries of the folders below it (DEPENDS). The folders' one-way order is
#   util -> journal -> plant -> devices | persistence -> acquisition -> monitor -> app
#   -> app/window
# and scripts/check-layers.sh, run by ctest, keeps every include in that order. The suites that
# the folder registers afterwards with kalvix_add_test link this library.
function(kalvix_add_layer NAME)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(kalvix_${NAME} STATIC ${ARG_SOURCES})
  target_include_directories(kalvix_${NAME} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(kalvix_${NAME} PRIVATE -Wall -Wextra)
  target_link_libraries(kalvix_${NAME} PUBLIC ${ARG_DEPENDS})
  if(KALVIX_FUZZ)
    # Coverage feedback from the code under test, not only from the fuzz entry.
    target_compile_options(kalvix_${NAME} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  set(KALVIX_TEST_LINK kalvix_${NAME} PARENT_SCOPE)
endfunction()

# kalvix_add_test(NAME SOURCES file... [LABELS label...] [COST seconds] [LIBS library...])
#
# Builds one GoogleTest runner and registers it with CTest. It links the library of the folder
# that registers it (KALVIX_TEST_LINK), the test support (kalvix_testing) and LIBS.
# Labels in use:
#   threads  the suite starts threads; scripts/test.sh also runs it under ThreadSanitizer
#   db       the suite needs the private MariaDB server (KALVIX_TEST_DB_SOCKET)
#   faults   the suite runs the real kalvixd under injected faults
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
  cmake_parse_arguments(ARG "" "COST" "SOURCES;LABELS;LIBS" ${ARGN})
  add_executable(${NAME} ${ARG_SOURCES})
  target_compile_options(${NAME} PRIVATE -Wall -Wextra)
  target_link_libraries(${NAME} PRIVATE ${KALVIX_TEST_LINK} kalvix_testing ${ARG_LIBS}
                                        GTest::gtest GTest::gtest_main)
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
