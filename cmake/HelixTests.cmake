include(GoogleTest)

# helix_discover_tests(<target> <label> [CONCURRENCY <gtest filter>]): registers every test of a
# gtest binary under its own name and the tier's label. Tests matched by the filter (those that
# run on more than one thread or wait on another holder) carry the label `concurrency` as well,
# which the tsan preset runs; a new test of that kind belongs in its binary's filter.
function(helix_discover_tests target label)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "CONCURRENCY" "")
  if(NOT arg_CONCURRENCY)
    gtest_discover_tests(${target} NO_PRETTY_VALUES DISCOVERY_TIMEOUT 120 PROPERTIES LABELS ${label})
    return()
  endif()
  gtest_discover_tests(${target} TEST_FILTER "-${arg_CONCURRENCY}" NO_PRETTY_VALUES DISCOVERY_TIMEOUT 120
                       PROPERTIES LABELS ${label})
  gtest_discover_tests(${target} TEST_FILTER "${arg_CONCURRENCY}" NO_PRETTY_VALUES DISCOVERY_TIMEOUT 120
                       TEST_LIST ${target}_concurrency PROPERTIES LABELS ${label})
  # Discovery hands properties over a command line that splits lists, so the second label comes
  # from a script that ctest reads after the discovered tests.
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_concurrency_labels.cmake)
  file(WRITE ${script}
       "if(${target}_concurrency)\n"
       "  set_tests_properties(\${${target}_concurrency} PROPERTIES LABELS \"${label};concurrency\")\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
