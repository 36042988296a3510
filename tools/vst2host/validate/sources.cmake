# The validator's sources, for vst2host and for the validator-only program
# kstv_validate (cmake/KstvValidate.cmake).
find_package(Threads REQUIRED)
set(KSTV_VALIDATE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(KSTV_VALIDATE_SOURCES
  ${KSTV_VALIDATE_DIR}/../validate.cpp
  ${KSTV_VALIDATE_DIR}/catalog.cpp
  ${KSTV_VALIDATE_DIR}/harness.cpp
  ${KSTV_VALIDATE_DIR}/host_answers.cpp
  ${KSTV_VALIDATE_DIR}/rt_monitor.cpp
  ${KSTV_VALIDATE_DIR}/loading.cpp
  ${KSTV_VALIDATE_DIR}/lifecycle.cpp
  ${KSTV_VALIDATE_DIR}/processing.cpp
  ${KSTV_VALIDATE_DIR}/parameters.cpp
  ${KSTV_VALIDATE_DIR}/state.cpp
  ${KSTV_VALIDATE_DIR}/threads.cpp
  ${KSTV_VALIDATE_DIR}/realtime.cpp
  ${KSTV_VALIDATE_DIR}/editor.cpp
  ${KSTV_VALIDATE_DIR}/host.cpp)

# The validator's own sources but the real-time watch, compiled as one
# (kstv_tool_build_options VALIDATOR): they share the harness header.
set(KSTV_VALIDATE_UNITY ${KSTV_VALIDATE_SOURCES})
list(REMOVE_ITEM KSTV_VALIDATE_UNITY ${KSTV_VALIDATE_DIR}/../validate.cpp ${KSTV_VALIDATE_DIR}/rt_monitor.cpp)

# The real-time watch (rt_monitor.cpp) provides malloc, pthread_mutex_lock,
# open and the like in the program itself; exported, they are what a loaded
# plug-in's calls reach. The editor test loads libX11 at run time (dl).
function(kstv_validate_link target)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS} Threads::Threads)
  endif()
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
