# How the command-line host's programs are compiled.
#
#   kstv_tool_build_options(TARGET [UNITY SOURCE...] [VALIDATOR SOURCE...])
#
# Their sources include CLI11 and nlohmann-json, whose code generation was
# most of every preset's build. The tool's own speed lies in the hosting
# library (built as usual) and the plug-ins it loads, so outside Debug
# builds it is optimised for debugging (-Og) with line tables only (-g1):
# backtraces still name functions, files and lines. -O1 took a third off
# -O2's compile time, -Og a third off -O1's (the command-line host's unity
# file 23 s -> 15 s, the Python module's 17 s -> 12 s), and the validator's
# suites, whose tool does the most work of its own, ran as fast (15-18 s).
# gcc's variable tracking goes too. The sources named after UNITY, the ones that include those two
# libraries, are compiled as one: the libraries' code is then generated once
# instead of once per source. The validator's tests (VALIDATOR), which share
# one large harness header, are compiled as a second one, beside the first.
function(kstv_tool_build_options target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "UNITY;VALIDATOR")
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU>:-fno-var-tracking-assignments>
    $<$<NOT:$<CONFIG:Debug>>:-Og -g1>)
  if(arg_UNITY)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE GROUP)
    set_source_files_properties(${arg_UNITY} TARGET_DIRECTORY ${target} PROPERTIES UNITY_GROUP cli)
  endif()
  if(arg_VALIDATOR)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_MODE GROUP)
    set_source_files_properties(${arg_VALIDATOR} TARGET_DIRECTORY ${target} PROPERTIES UNITY_GROUP validator)
  endif()
endfunction()
