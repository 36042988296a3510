# The installed library, used the way another project uses it: install the
# dev component into a scratch prefix, build examples/consumer against it
# with find_package (and, where pkg-config is, with aerie.pc), and run the
# consumer on a module.
#   cmake -DBUILD=<build> -DSOURCE=<tree> -DSCRATCH=<dir> -DMODULE=<module>
#         [-DTOOLCHAIN=<file>] [-DEMULATOR=<runner>] [-DPKGCONFIG=ON] -P consumer_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
set(prefix ${SCRATCH}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD} --component dev --prefix ${prefix})
# Only the library's files: no plug-in, no tool.
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
foreach(f ${installed})
  if(NOT f MATCHES "^(include/(aerie|kstv/host/abi)/|lib[^/]*/(libaerie(_io)?\\.a|cmake/aerie/|pkgconfig/aerie\\.pc))")
    message(FATAL_ERROR "the dev component installs ${f}")
  endif()
endforeach()

set(configure_args -G Ninja -DCMAKE_BUILD_TYPE=Release)
if(TOOLCHAIN)
  list(APPEND configure_args -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN})
endif()
set(variants package)
if(PKGCONFIG)
  list(APPEND variants pkgconfig)
endif()
foreach(variant ${variants})
  set(build ${SCRATCH}/${variant})
  if(variant STREQUAL "pkgconfig")
    file(GLOB pc_dir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
    set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
    run(${CMAKE_COMMAND} -S ${SOURCE}/examples/consumer -B ${build} ${configure_args} -DCONSUMER_USE_PKGCONFIG=ON)
  else()
    run(${CMAKE_COMMAND} -S ${SOURCE}/examples/consumer -B ${build} ${configure_args} -DCMAKE_PREFIX_PATH=${prefix})
  endif()
  run(${CMAKE_COMMAND} --build ${build})
  if(MODULE)
    file(GLOB program ${build}/consumer ${build}/consumer.exe)
    run(${EMULATOR} ${program} ${MODULE})
    message(STATUS "${variant}: ${last_output}")
  endif()
endforeach()
