# The frame as an author outside this repository gets it: installed as its
# own component, then a plug-in folder (tests/frame/outside and the docs'
# example source) configured and built against it, and the module loaded.
#   cmake -DBUILD=<this build> -DSOURCE=<plug-in folder> -DPLUGIN=<source file>
#         -DWORK=<scratch folder> -DGENERATOR=<generator> -DCXX=<compiler>
#         -DVST2HOST=<tool, may be empty> -P outside_build.cmake
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK})
run("installing the frame component"
  ${CMAKE_COMMAND} --install ${BUILD} --component frame --prefix ${WORK}/prefix)
if(EXISTS ${WORK}/prefix/lib/vst)
  message(FATAL_ERROR "the frame component installed plug-ins too")
endif()
file(COPY ${SOURCE}/CMakeLists.txt ${PLUGIN} DESTINATION ${WORK}/src)
run("configuring the plug-in"
  ${CMAKE_COMMAND} -S ${WORK}/src -B ${WORK}/build -G ${GENERATOR} -DCMAKE_CXX_COMPILER=${CXX}
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${WORK}/prefix)
run("building the plug-in" ${CMAKE_COMMAND} --build ${WORK}/build)
if(NOT EXISTS ${WORK}/build/mywidth.so)
  message(FATAL_ERROR "no module at ${WORK}/build/mywidth.so")
endif()
if(VST2HOST)
  run("loading the plug-in" ${VST2HOST} info ${WORK}/build/mywidth.so)
  if(NOT last_output MATCHES "MyWd")
    message(FATAL_ERROR "the module does not carry its unique id:\n${last_output}")
  endif()
endif()
file(REMOVE_RECURSE ${WORK})
