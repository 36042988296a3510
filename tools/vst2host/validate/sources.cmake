# The validator as a library part, kstv_validator: the catalogue with its
# harness and the runner, behind validate/validator.h. Its front ends are
# `vst2host validate` and the validator-only program kstv_validate
# (cmake/KstvValidate.cmake); both link it with kstv_validate_link().
find_package(Threads REQUIRED)
set(KSTV_VALIDATE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KSTV_VALIDATE_SOURCES
  ${KSTV_VALIDATE_DIR}/runner.cpp
  ${KSTV_VALIDATE_DIR}/catalog.cpp
  ${KSTV_VALIDATE_DIR}/harness.cpp
  ${KSTV_VALIDATE_DIR}/host_answers.cpp
  ${KSTV_VALIDATE_DIR}/rt_monitor.cpp
  ${KSTV_VALIDATE_DIR}/loading.cpp
  ${KSTV_VALIDATE_DIR}/lifecycle.cpp
  ${KSTV_VALIDATE_DIR}/requests.cpp
  ${KSTV_VALIDATE_DIR}/processing.cpp
  ${KSTV_VALIDATE_DIR}/parameters.cpp
  ${KSTV_VALIDATE_DIR}/state.cpp
  ${KSTV_VALIDATE_DIR}/threads.cpp
  ${KSTV_VALIDATE_DIR}/realtime.cpp
  ${KSTV_VALIDATE_DIR}/editor.cpp
  ${KSTV_VALIDATE_DIR}/host.cpp)
# The command's own source, which includes CLI11 and nlohmann-json.
set(KSTV_VALIDATE_COMMAND ${KSTV_VALIDATE_DIR}/command.cpp)

if(NOT TARGET kstv_validator)
  add_library(kstv_validator STATIC ${KSTV_VALIDATE_SOURCES})
  target_link_libraries(kstv_validator PUBLIC aerie PRIVATE kstv_warnings)
  # The tests but the real-time watch are compiled as one: they share the
  # harness header.
  set(unity ${KSTV_VALIDATE_SOURCES})
  list(REMOVE_ITEM unity ${KSTV_VALIDATE_DIR}/rt_monitor.cpp)
  kstv_tool_build_options(kstv_validator VALIDATOR ${unity})
  # The editor test loads libX11 at run time (dl).
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_libraries(kstv_validator PUBLIC ${CMAKE_DL_LIBS} Threads::Threads)
  endif()
endif()

# Links the validator into a program. The real-time watch (rt_monitor.cpp)
# provides malloc, pthread_mutex_lock, open and the like in the program
# itself; exported, they are what a loaded plug-in's calls reach.
function(kstv_validate_link target)
  target_link_libraries(${target} PRIVATE kstv_validator)
  # Under the address sanitizer the watch is off: its runtime provides the allocator.
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT KSTV_SANITIZE)
    set(exported malloc free calloc realloc posix_memalign aligned_alloc memalign pthread_mutex_lock
        pthread_rwlock_rdlock pthread_rwlock_wrlock nanosleep clock_nanosleep usleep sleep fopen fopen64 open open64
        read write)
    foreach(symbol ${exported})
      target_link_options(${target} PRIVATE "LINKER:--export-dynamic-symbol=${symbol}")
    endforeach()
  endif()
endfunction()
