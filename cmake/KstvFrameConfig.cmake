# find_package(KstvFrame): the installed plug-in frame (Kstv::frame, its
# headers under include/kstv) and kstv_add_plugin to build modules with it.
include(${CMAKE_CURRENT_LIST_DIR}/KstvFrameTargets.cmake)
set(KSTV_FRAME_TARGET Kstv::frame)
include(${CMAKE_CURRENT_LIST_DIR}/KstvPlugin.cmake)
