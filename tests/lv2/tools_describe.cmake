# lv2ls lists each bundle's plug-in; lv2info shows what the build declared:
# its ports by symbol, its latency port and its programs as presets.
cmake_minimum_required(VERSION 3.25)
if(NOT LV2LS OR NOT LV2INFO)
  message(STATUS "lv2ls/lv2info are not installed (Debian: lilv-utils): nothing to check")
  return()
endif()
set(ENV{LV2_PATH} "${LV2_DIR}:/usr/lib/lv2")  # with LV2's own, which names the classes
execute_process(COMMAND ${LV2LS} OUTPUT_VARIABLE listed RESULT_VARIABLE rc)
foreach(plugin IN LISTS PLUGINS)
  if(NOT listed MATCHES "urn:kestravian:${plugin}\n")
    message(FATAL_ERROR "lv2ls does not list urn:kestravian:${plugin}:\n${listed}")
  endif()
endforeach()
# What each example declares, as lv2info shows it.
set(expect_tremolo "Symbol: +p1" "Name: +Rate" "Symbol: +p5" "Scale Points:" "= \"1/8\"" "Gentle" "Chop" "Wide"
  "Has latency: +yes" "Designation: +http://lv2plug.in/ns/ext/port-groups#left")
set(expect_gain "Symbol: +p1" "Minimum: +-60" "Maximum: +12" "Symbol: +in1" "Symbol: +out2")
set(expect_kestravian "Class: +Instrument" "Required Features: +http://lv2plug.in/ns/ext/urid#map"
  "ext/atom#AtomPort" "Symbol: +events" "Symbol: +out1")
foreach(plugin tremolo gain kestravian)
  if(NOT plugin IN_LIST PLUGINS)
    continue()
  endif()
  execute_process(COMMAND ${LV2INFO} urn:kestravian:${plugin} OUTPUT_VARIABLE info RESULT_VARIABLE rc)
  foreach(pattern IN LISTS expect_${plugin})
    if(NOT info MATCHES "${pattern}")
      message(FATAL_ERROR "lv2info urn:kestravian:${plugin} does not show '${pattern}':\n${info}")
    endif()
  endforeach()
endforeach()
