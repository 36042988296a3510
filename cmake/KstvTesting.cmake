# kstv_add_gtests(<target> [PREFIX <name.>] [ARGS <arg>...])
# Registers a GoogleTest program with ctest. Each test case becomes its own
# ctest test, run natively or under the build's emulator (qemu-i386 for the
# i386 build on machines that cannot execute it); under wine the program
# runs once as a single test, since every wine process start costs seconds.
# A wine run that cannot happen on this machine (32-bit Windows programs
# where the kernel cannot execute i386 code) exits 77 and counts as skipped.
#
# The framework's headers are precompiled once per test program, and the
# programs carry line tables only (-g1: a failure's backtrace still names
# functions, files and lines), which cuts their compile time by about a third.
function(kstv_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "PREFIX" "ARGS")
  # A program registered several times (once per module it checks) is
  # set up once.
  get_target_property(prepared ${target} KSTV_GTESTS_PREPARED)
  if(NOT prepared)
    set_target_properties(${target} PROPERTIES KSTV_GTESTS_PREPARED ON)
    get_target_property(links ${target} LINK_LIBRARIES)
    if(links MATCHES "gmock")
      target_precompile_headers(${target} PRIVATE <gmock/gmock.h> <gtest/gtest.h>)
    else()
      target_precompile_headers(${target} PRIVATE <gtest/gtest.h>)
    endif()
    target_compile_options(${target} PRIVATE -g1)
  endif()
  if(KSTV_EMULATOR_IS_WINE)
    add_test(NAME ${arg_PREFIX}${target} COMMAND ${target} ${arg_ARGS})
    set_tests_properties(${arg_PREFIX}${target} PROPERTIES SKIP_RETURN_CODE 77)
  else()
    gtest_discover_tests(${target} EXTRA_ARGS ${arg_ARGS} TEST_PREFIX "${arg_PREFIX}" DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

set(KSTV_EMULATOR_IS_WINE OFF)
if(CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
  set(KSTV_EMULATOR_IS_WINE ON)
endif()
