# kstv_add_gtests(<target> [PREFIX <name.>] [ARGS <arg>...])
# Registers a GoogleTest program with ctest. Natively each test case becomes
# its own ctest test; in a cross build (Windows under wine) the program runs
# once as a single test, since every wine process start costs seconds.
function(kstv_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "ARGS")
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${arg_PREFIX}${target} COMMAND ${target} ${arg_ARGS})
  else()
    gtest_discover_tests(${target} EXTRA_ARGS ${arg_ARGS} TEST_PREFIX "${arg_PREFIX}" DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()
