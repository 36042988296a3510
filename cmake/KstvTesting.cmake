# kstv_add_gtests(<target> [WHOLE] [PREFIX <name.>] [ARGS <arg>...])
# Registers a GoogleTest program with ctest. Each test case becomes its own
# ctest test, run natively or under the build's emulator (qemu-i386 for the
# i386 build on machines that cannot execute it); under wine the program
# runs once as a single test, since every wine process start costs seconds.
# A wine run that cannot happen on this machine (32-bit Windows programs
# where the kernel cannot execute i386 code) exits 77 and counts as skipped.
# WHOLE registers the program as one test everywhere: for programs of many
# quick in-process cases, where a process per case costs far more than the
# cases (the frame's 197 take 0.1 s in one process and 10 s in 197 with the
# sanitizers, 15 s under qemu). A failure's output still names its case.
#
# The framework's headers (and nlohmann-json's, where the build has them) are
# precompiled once per build and shared by every test program. The programs
# are not optimised (what they test is compiled as shipped, in its own
# targets) and carry line tables only (-g1: a failure's backtrace still
# names functions, files and lines); together that more than halves their
# compile time.
# The cross builds' programs (mingw under wine, -m32) carry no debug
# information: a debugger is seldom put to them, a failed check still names
# its file and line (GoogleTest's own), and it takes about a fifth off their
# compile and link time (win64: 122 s of compiler and linker time, 98 s).
# The native builds, linux64 and sanitize, keep -g1.
# Sharing needs the options that define macros (-O, -g, -f...) to match
# wherever the header is used; gcc checks (-Winvalid-pch, an error here).
if(CMAKE_CROSSCOMPILING)
  set(KSTV_TEST_OPTIONS -O0 -g0)
else()
  set(KSTV_TEST_OPTIONS -O0 -g1)
endif()
function(kstv_test_pch)
  if(TARGET kstv_test_pch)
    return()
  endif()
  set(headers <gmock/gmock.h> <gtest/gtest.h>)
  # A program of its own (so that it is compiled as the test programs are,
  # position-independent executable code included) that only owns the
  # precompiled header; the framework's definitions come with gmock.
  file(WRITE ${CMAKE_BINARY_DIR}/kstv_test_pch.cpp "int main() { return 0; }\n")
  add_executable(kstv_test_pch ${CMAKE_BINARY_DIR}/kstv_test_pch.cpp)
  target_link_libraries(kstv_test_pch PRIVATE gmock)
  if(TARGET kstv_tool_headers)
    list(APPEND headers <nlohmann/json.hpp>)
    target_link_libraries(kstv_test_pch PRIVATE kstv_tool_headers)
  endif()
  target_compile_options(kstv_test_pch PRIVATE ${KSTV_TEST_OPTIONS})
  target_precompile_headers(kstv_test_pch PRIVATE ${headers})
endfunction()

function(kstv_add_gtests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "WHOLE" "PREFIX" "ARGS")
  # A program registered several times (once per module it checks) is
  # set up once.
  get_target_property(prepared ${target} KSTV_GTESTS_PREPARED)
  if(NOT prepared)
    set_target_properties(${target} PROPERTIES KSTV_GTESTS_PREPARED ON)
    kstv_test_pch()
    set_target_properties(${target} PROPERTIES PRECOMPILE_HEADERS_REUSE_FROM kstv_test_pch)
    # One compilation for all the program's sources (unless it groups them
    # itself): they share most of their headers, and parsing those once
    # instead of per source halves the program's compile time.
    get_target_property(unity ${target} UNITY_BUILD)
    if(NOT unity)
      set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
    endif()
    target_link_libraries(${target} PRIVATE gmock $<TARGET_NAME_IF_EXISTS:kstv_tool_headers>)
    target_compile_options(${target} PRIVATE ${KSTV_TEST_OPTIONS})
  endif()
  if(KSTV_EMULATOR_IS_WINE OR arg_WHOLE)
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

# kstv_module_variants(<stem> SOURCE <file> DIR <dir> MACRO <M>
#                      BUILT <variant>... VARIANTS <variant>...)
# Test plug-ins whose variants are one build copied under their names,
# <dir>/<stem>_<variant><module suffix> for each of VARIANTS; each copy
# reads its variant from its own file name when loaded
# (tests/fixtures/variant_by_name.h). Compiling a module per variant cost
# about a minute of compiler time per build. Only the variants in BUILT are
# compiled (for what lies in a module's linking), each with
# <M>_BUILD=<M>_<VARIANT>; the first of them is the common build that the
# others are copies of. The target <stem>_modules makes them all.
function(kstv_module_variants stem)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "SOURCE;DIR;MACRO" "BUILT;VARIANTS")
  list(GET arg_BUILT 0 common)
  foreach(variant ${arg_BUILT})
    add_library(${stem}_${variant} MODULE ${arg_SOURCE})
    string(TOUPPER "${arg_MACRO}_${variant}" build)
    target_compile_definitions(${stem}_${variant} PRIVATE ${arg_MACRO}_BUILD=${build})
    target_link_libraries(${stem}_${variant} PRIVATE kstv_abi kstv_warnings ${CMAKE_DL_LIBS})
    set_target_properties(${stem}_${variant} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
                          LIBRARY_OUTPUT_DIRECTORY ${arg_DIR})
  endforeach()
  set(copies "")
  set(commands "")
  foreach(variant ${arg_VARIANTS})
    if(NOT variant IN_LIST arg_BUILT)
      set(copy ${arg_DIR}/${stem}_${variant}${CMAKE_SHARED_MODULE_SUFFIX})
      list(APPEND copies ${copy})
      list(APPEND commands COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${stem}_${common}> ${copy})
    endif()
  endforeach()
  add_custom_command(OUTPUT ${copies} ${commands}
    DEPENDS ${stem}_${common}
    COMMENT "Copying ${stem}_${common} once per variant")
  add_custom_target(${stem}_modules ALL DEPENDS ${copies})
  foreach(variant ${arg_BUILT})
    add_dependencies(${stem}_modules ${stem}_${variant})
  endforeach()
endfunction()
