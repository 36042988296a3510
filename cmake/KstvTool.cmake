# How the command-line host's programs are compiled. Their sources include
# CLI11 and nlohmann-json, whose code generation was most of every preset's
# build. The tool's own speed lies in the hosting library (built as usual)
# and the plug-ins it loads, so outside Debug builds it is optimised at -O1
# with line tables only (-g1): backtraces still name functions, files and
# lines; variables show as optimised out. That took a third off each of its
# sources. gcc's variable tracking goes too.
function(kstv_tool_build_options target)
  target_compile_options(${target} PRIVATE
    $<$<CXX_COMPILER_ID:GNU>:-fno-var-tracking-assignments>
    $<$<NOT:$<CONFIG:Debug>>:-O1 -g1>)
endfunction()
