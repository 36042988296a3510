# find_package(KstvFrame): the installed plug-in frame (Kstv::frame, its
# headers under include/kstv) and kstv_add_plugin to build modules with it.
include(${CMAKE_CURRENT_LIST_DIR}/KstvFrameTargets.cmake)
set(KSTV_FRAME_TARGET Kstv::frame)
include(${CMAKE_CURRENT_LIST_DIR}/KstvPlugin.cmake)
# The LV2 side, where the frame was built with LV2's headers.
if(TARGET Kstv::frame_lv2)
  set(KSTV_FRAME_LV2_TARGET Kstv::frame_lv2)
  set(KSTV_LV2_BUNDLE_TOOL Kstv::kstv_lv2_bundle)
endif()
