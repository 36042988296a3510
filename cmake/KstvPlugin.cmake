# kstv_add_plugin(<target>
#                 SOURCES <file>...          the effect's class and its entry line
#                 UNIQUE_ID <4 characters>    the identifier its record must carry
#                 [CATEGORY <category>]       effect, synth, analysis, mastering, spacializer,
#                                             roomfx, surroundfx, restoration, offline,
#                                             generator; default unknown (what hosts
#                                             then assume varies). synth makes it an
#                                             instrument (the record's synth flag).
#                 [OUTPUT_NAME <name>]        file name without suffix (default <target>);
#                                             Windows gets it upper-cased: NAME.dll
#                 [LIBRARIES <target>...]     linked in besides the frame
#                 [DIST_FOLDER <folder>]      where scripts/dist puts it in dist/<platform>/
#                 [FORMATS <format>...]       vst2 (the default) and/or lv2
#                 [LV2_URI <uri>])            the LV2 plug-in's URI (default urn:kestravian:<target>)
#
# Makes a plug-in module for whatever preset is being built, and the checks
# every module gets:
#   - <name>.so on Linux, exporting only `main` and `VSTPluginMain` (version
#     script), every symbol resolved at link time (-z defs), hidden
#     visibility; NAME.dll on Windows with an export list of its own (`main`
#     alone at ordinal 1 on 32-bit, `VSTPluginMain` and `main` on 64-bit) and
#     the C++ runtime linked in; SSE2 arithmetic on 32-bit x86;
#   - the install rule (Linux): `cmake --install <build> --prefix ~` puts it in
#     ~/.vst, any other prefix in <prefix>/lib/vst;
#   - ctest tests <target>.exports (what the system loader sees),
#     <target>.entry_returns_plainly (32-bit Windows: the entry is cdecl),
#     <target>.install_locations (Linux), <target>.conformance.* (the generic
#     suite of tests/kit: entry, record, identity, validator cases) and
#     <target>.validate (the command-line validator, where it is built).
# With FORMATS lv2 (Linux), the same sources also make an LV2 bundle,
# <build>/lv2/<name>.lv2/: <name>.so (exporting `lv2_descriptor` alone), and
# manifest.ttl, <name>.ttl and presets.ttl, which the build writes by asking
# the built binary what it is (host/lv2/). `cmake --install` puts the bundle
# in ~/.lv2 (prefix ~) or <prefix>/lib/lv2; ctest checks it with LV2's own
# tools where they are installed (tests/lv2). On Windows lv2 is skipped.
#
# The module's sources must include one KSTV_PLUGIN_ENTRY line (host/entry.h),
# or, for a kstv::Plugin, one KSTV_PLUGIN line (host/plugin.h).
#
# The identity is given here once and handed to the code as compile
# definitions: KSTV_UNIQUE_ID (the four characters as a string literal),
# KSTV_CATEGORY (the category's number) and KSTV_IS_SYNTH (1 or 0).
# KSTV_PLUGIN puts them in the record.
#
# Outside this source tree the same function comes with the installed frame:
#   find_package(KstvFrame REQUIRED)   # after `cmake --install <build> --component frame`
#   kstv_add_plugin(myeffect SOURCES myeffect.cpp UNIQUE_ID MyFx CATEGORY effect)
include_guard(GLOBAL)

# The frame library the modules link: kstv_frame in this tree, Kstv::frame
# from the installed package.
if(NOT DEFINED KSTV_FRAME_TARGET)
  set(KSTV_FRAME_TARGET kstv_frame)
  set(KSTV_FRAME_LV2_TARGET kstv_frame_lv2)
  set(KSTV_LV2_BUNDLE_TOOL kstv_lv2_bundle)
endif()
set(_kstv_categories unknown effect synth analysis mastering spacializer roomfx surroundfx restoration offline shell generator)

set(KSTV_PLUGIN_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
# Every module, for `cmake --build <build> --target kstv_plugins` (scripts/dist).
add_custom_target(kstv_plugins)

function(kstv_add_plugin target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "UNIQUE_ID;OUTPUT_NAME;DIST_FOLDER;CATEGORY;LV2_URI" "SOURCES;LIBRARIES;FORMATS")
  if(NOT arg_FORMATS)
    set(arg_FORMATS vst2)
  endif()
  foreach(format IN LISTS arg_FORMATS)
    if(NOT format MATCHES "^(vst2|lv2)$")
      message(FATAL_ERROR "kstv_add_plugin(${target}): FORMATS takes vst2 and lv2, got '${format}'")
    endif()
  endforeach()
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "kstv_add_plugin(${target}): SOURCES is required")
  endif()
  string(LENGTH "${arg_UNIQUE_ID}" id_length)
  if(NOT id_length EQUAL 4)
    message(FATAL_ERROR "kstv_add_plugin(${target}): UNIQUE_ID must be four characters, got '${arg_UNIQUE_ID}'")
  endif()
  if(NOT arg_OUTPUT_NAME)
    set(arg_OUTPUT_NAME ${target})
  endif()
  if(NOT arg_CATEGORY)
    set(arg_CATEGORY unknown)
  endif()
  list(FIND _kstv_categories "${arg_CATEGORY}" category_number)
  if(category_number LESS 0)
    message(FATAL_ERROR "kstv_add_plugin(${target}): CATEGORY must be one of ${_kstv_categories}, got '${arg_CATEGORY}'")
  endif()
  if(arg_CATEGORY STREQUAL "synth")
    set(is_synth 1)
  else()
    set(is_synth 0)
  endif()

  add_library(${target} MODULE ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${KSTV_FRAME_TARGET} ${arg_LIBRARIES})
  if(TARGET kstv_warnings)
    target_link_libraries(${target} PRIVATE kstv_warnings)
  endif()
  target_compile_definitions(${target} PRIVATE
    KSTV_UNIQUE_ID="${arg_UNIQUE_ID}" KSTV_CATEGORY=${category_number} KSTV_IS_SYNTH=${is_synth})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # Loops over a block vectorise: GCC's -O2 otherwise keeps every loop whose
  # length is only known at run time (the host's block size) or whose
  # buffers may overlap (in-place processing) scalar. Vectorising reorders
  # no arithmetic, so the sound stays the same to the bit.
  target_compile_options(${target} PRIVATE $<$<CXX_COMPILER_ID:GNU>:-fvect-cost-model=dynamic>)
  # x87 excess precision would change every float rounding on 32-bit x86.
  # (The libraries linked in need the same; the top of this build sets it
  # for everything.)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(i.86|x86|X86|AMD64|x86_64)$")
    target_compile_options(${target} PRIVATE -msse2 -mfpmath=sse)
  endif()

  if(WIN32)
    string(TOUPPER "${arg_OUTPUT_NAME}" file_base)
    set(file_name "${file_base}.dll")
    # Nothing but system DLLs may be needed beside the module.
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(exports "; 32-bit Windows hosts look up `main`: it is the one export, ordinal 1.\n  main = VSTPluginMain @1\n")
    else()
      set(exports "; 64-bit Windows hosts look up VSTPluginMain first, older ones `main`.\n  VSTPluginMain @1\n  main = VSTPluginMain @2\n")
    endif()
    set(def ${CMAKE_CURRENT_BINARY_DIR}/${target}_exports.def)
    file(CONFIGURE OUTPUT ${def} CONTENT "LIBRARY ${file_name}\nEXPORTS\n${exports}" @ONLY)
    target_sources(${target} PRIVATE ${def})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${file_base} SUFFIX ".dll")
  else()
    set(file_name "${arg_OUTPUT_NAME}.so")
    set_target_properties(${target} PROPERTIES OUTPUT_NAME ${arg_OUTPUT_NAME} SUFFIX ".so"
      LINK_DEPENDS ${KSTV_PLUGIN_CMAKE_DIR}/KstvPlugin.map)
    target_link_options(${target} PRIVATE
      -Wl,--version-script=${KSTV_PLUGIN_CMAKE_DIR}/KstvPlugin.map
      -Wl,-z,defs)
    _kstv_install_for_hosts("$<TARGET_FILE:${target}>" vst)
  endif()

  if("lv2" IN_LIST arg_FORMATS AND NOT WIN32)
    if(NOT arg_LV2_URI)
      set(arg_LV2_URI "urn:kestravian:${target}")
    endif()
    # Once the directory is read: the target's own settings made after this
    # call (compile options, more sources) are taken over as well.
    cmake_language(EVAL CODE "
      cmake_language(DEFER CALL _kstv_add_lv2 [[${target}]] [[${arg_OUTPUT_NAME}]] [[${arg_LV2_URI}]] [[${arg_DIST_FOLDER}]])")
  endif()

  add_dependencies(kstv_plugins ${target})
  # What scripts/dist reads: the file, then the folder it goes to.
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/plugins/${target}.txt
    CONTENT "$<TARGET_FILE:${target}>\n${arg_DIST_FOLDER}\n")

  # The tests are added once the whole build is known: the suites and the
  # validator may be defined after the module. (A deferred call evaluates its
  # arguments when it runs, so they are spelled out now.)
  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
      CALL _kstv_add_plugin_tests [[${target}]] [[${file_name}]] [[${arg_UNIQUE_ID}]])")
endfunction()

# The LV2 binary of <target>: the same sources and settings, compiled once
# more with the LV2 entry (KSTV_LV2_URI), in a bundle folder of its own.
function(_kstv_add_lv2 target name uri dist_folder)
  if(NOT TARGET ${KSTV_FRAME_LV2_TARGET})
    message(FATAL_ERROR "kstv_add_plugin(${target}): FORMATS lv2 needs LV2's headers (Debian: lv2-dev)")
  endif()
  set(lv2 ${target}_lv2)
  set(bundle ${CMAKE_BINARY_DIR}/lv2/${name}.lv2)
  get_target_property(sources ${target} SOURCES)
  get_target_property(libraries ${target} LINK_LIBRARIES)
  get_target_property(definitions ${target} COMPILE_DEFINITIONS)
  get_target_property(options ${target} COMPILE_OPTIONS)
  list(FILTER sources EXCLUDE REGEX "\\.def$")
  add_library(${lv2} MODULE ${sources})
  target_link_libraries(${lv2} PRIVATE ${KSTV_FRAME_LV2_TARGET} ${libraries})
  target_compile_definitions(${lv2} PRIVATE ${definitions} KSTV_LV2_URI="${uri}")
  if(options)
    target_compile_options(${lv2} PRIVATE ${options})
  endif()
  set_target_properties(${lv2} PROPERTIES
    PREFIX "" OUTPUT_NAME ${name} SUFFIX ".so"
    LIBRARY_OUTPUT_DIRECTORY ${bundle}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${KSTV_PLUGIN_CMAKE_DIR}/KstvLv2.map)
  target_link_options(${lv2} PRIVATE -Wl,--version-script=${KSTV_PLUGIN_CMAKE_DIR}/KstvLv2.map -Wl,-z,defs)
  # The description, from the binary itself. (Where the build cannot run
  # the binaries it makes, an i386 build on a kernel without 32-bit
  # execution, the emulator the preset names runs the step.)
  add_custom_command(TARGET ${lv2} POST_BUILD
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${KSTV_LV2_BUNDLE_TOOL}> $<TARGET_FILE:${lv2}> ${bundle}
    COMMENT "Describing ${name}.lv2"
    VERBATIM)
  add_dependencies(${lv2} ${KSTV_LV2_BUNDLE_TOOL})
  add_dependencies(kstv_plugins ${lv2})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/plugins/${lv2}.txt CONTENT "${bundle}\n${dist_folder}\n")
  set_property(GLOBAL APPEND PROPERTY KSTV_LV2_PLUGINS "${target}")
  set_target_properties(${lv2} PROPERTIES KSTV_LV2_BUNDLE ${bundle} KSTV_LV2_URI ${uri})
  _kstv_install_for_hosts("${bundle}" lv2)
endfunction()

# Installs `path` (a module or a bundle folder) where Linux hosts look for
# <format> plug-ins: ~/.<format> when the prefix is the user's home,
# <prefix>/lib/<format> otherwise.
function(_kstv_install_for_hosts path format)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"\$ENV{HOME}\")
      set(kstv_dir \"\$ENV{HOME}/.${format}\")
    else()
      set(kstv_dir \"\${CMAKE_INSTALL_PREFIX}/lib/${format}\")
    endif()
    file(INSTALL \"${path}\" DESTINATION \"\${kstv_dir}\")
  ")
endfunction()

function(_kstv_add_plugin_tests target file_name unique_id)
  if(NOT KSTV_BUILD_TESTS)
    return()
  endif()
  if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(kind win32)
    else()
      set(kind win64)
    endif()
    string(REGEX REPLACE "g\\+\\+(-posix|-win32)?$" "objdump" tool "${CMAKE_CXX_COMPILER}")
    set(objdump ${tool})
  else()
    set(kind linux)
    find_program(KSTV_NM nm REQUIRED)
    find_program(KSTV_OBJDUMP objdump REQUIRED)
    set(tool ${KSTV_NM})
    set(objdump ${KSTV_OBJDUMP})
  endif()
  add_test(NAME ${target}.exports
    COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DKIND=${kind} -DTOOL=${tool} -DOBJDUMP=${objdump}
            -DFILE_NAME=${file_name} -P ${KSTV_PLUGIN_CMAKE_DIR}/KstvCheckModule.cmake)
  # Run on the build machine, not under wine.
  set_tests_properties(${target}.exports PROPERTIES CROSSCOMPILING_EMULATOR "")
  if(kind STREQUAL "win32")
    # 32-bit hosts remove the entry's argument themselves.
    add_test(NAME ${target}.entry_returns_plainly
      COMMAND ${CMAKE_COMMAND} -DMODULE=$<TARGET_FILE:${target}> -DTOOL=${objdump}
              -P ${KSTV_PLUGIN_CMAKE_DIR}/check_entry_return.cmake)
    set_tests_properties(${target}.entry_returns_plainly PROPERTIES CROSSCOMPILING_EMULATOR "")
  endif()

  if(NOT WIN32)
    # A user install lands in ~/.vst, a system install in <prefix>/lib/vst.
    set(scratch ${CMAKE_CURRENT_BINARY_DIR}/install-check/${target})
    add_test(NAME ${target}.install_locations
      COMMAND sh -c "rm -rf \"$1\" && mkdir -p \"$1/home\" && HOME=\"$1/home\" ${CMAKE_COMMAND} --install \"$2\" --prefix \"$1/home\" >/dev/null && HOME=\"$1/home\" ${CMAKE_COMMAND} --install \"$2\" --prefix \"$1/usr\" >/dev/null && test -f \"$1/home/.vst/$3\" && test -f \"$1/usr/lib/vst/$3\""
              install-check ${scratch} ${CMAKE_BINARY_DIR} ${file_name})
  endif()

  if(TARGET kstv_conformance)
    add_dependencies(kstv_conformance ${target})
    kstv_add_gtests(kstv_conformance PREFIX "${target}.conformance."
      ARGS "--module=$<TARGET_FILE:${target}>" "--unique-id=${unique_id}" "--file-name=${file_name}")
  endif()

  # The command-line validator, at its strictest.
  if(COMMAND kstv_add_validate_test)
    kstv_add_validate_test(NAME ${target}.validate MODULE $<TARGET_FILE:${target}> STRICTNESS 10)
  endif()
endfunction()
