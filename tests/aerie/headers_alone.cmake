# Every public header of the library compiles on its own: a program that
# includes any one of them first needs nothing else before it.
#   cmake -DCXX=<compiler> -DSOURCE=<tree> -DSCRATCH=<dir> -P headers_alone.cmake
file(GLOB_RECURSE headers RELATIVE ${SOURCE}/aerie/include ${SOURCE}/aerie/include/aerie/*.h)
list(LENGTH headers count)
if(count LESS 10)
  message(FATAL_ERROR "only ${count} public headers found under ${SOURCE}/aerie/include")
endif()
set(failed "")
foreach(header ${headers})
  file(WRITE ${SCRATCH}/alone.cpp "#include <${header}>\n")
  execute_process(
    COMMAND ${CXX} -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I${SOURCE}/aerie/include -I${SOURCE} ${SCRATCH}/alone.cpp
    ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    string(APPEND failed "\n<${header}> does not compile alone:\n${err}")
  endif()
endforeach()
if(failed)
  message(FATAL_ERROR "${failed}")
endif()
message(STATUS "${count} public headers compile alone")
