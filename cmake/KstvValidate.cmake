# kstv_add_validate_test(NAME <test> MODULE <path> [STRICTNESS <1-10>] [ARGS <arg>...])
# Registers a ctest test that runs the validator of this build
# (`vst2host validate`) on a plug-in module; the module may be a generator
# expression such as $<TARGET_FILE:kestravian>. The test passes when every
# validator test passes. Cross builds run it under the build's emulator
# (wine for Windows). Builds without the command-line host (KSTV_BUILD_TOOLS
# OFF) get a validator-only program, kstv_validate, built from the same
# sources.
function(kstv_add_validate_test)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "NAME;MODULE;STRICTNESS" "ARGS")
  if(NOT arg_NAME OR NOT arg_MODULE)
    message(FATAL_ERROR "kstv_add_validate_test: NAME and MODULE are required")
  endif()
  if(NOT KSTV_BUILD_TESTS)
    return()
  endif()
  if(NOT arg_STRICTNESS)
    set(arg_STRICTNESS 5)
  endif()
  if(KSTV_BUILD_TOOLS)
    set(validator vst2host)
  else()
    set(validator kstv_validate)
    if(NOT TARGET kstv_validate)
      set(dir ${PROJECT_SOURCE_DIR}/tools/vst2host)
      include(${dir}/validate/sources.cmake)
      add_executable(kstv_validate ${dir}/validate/main.cpp ${KSTV_VALIDATE_COMMAND})
      # CLI11 and nlohmann-json come from the build machine's /usr/include,
      # which native builds search anyway.
      target_link_libraries(kstv_validate PRIVATE aerie kstv_warnings)
      kstv_tool_build_options(kstv_validate UNITY ${dir}/validate/main.cpp ${KSTV_VALIDATE_COMMAND})
      kstv_validate_link(kstv_validate)
    endif()
  endif()
  # The target name makes ctest run the built program, under the emulator
  # of a cross build.
  # Under user-mode emulation (qemu-i386, where the kernel runs no i386
  # code) a test child that starts threads is ended by the emulator itself
  # (exit 127): the thread tests run natively and under wine instead.
  set(emulated_skip "")
  if(KSTV_I386_EMULATOR)
    set(emulated_skip --skip threads)
  endif()
  add_test(NAME ${arg_NAME}
    COMMAND ${validator} validate ${arg_MODULE} --strictness ${arg_STRICTNESS} ${arg_ARGS} ${emulated_skip})
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT 600)
  if(KSTV_EMULATOR_IS_WINE)
    # wine-run's answer where this machine cannot run the program.
    set_tests_properties(${arg_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  endif()
endfunction()
