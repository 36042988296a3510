# Linux i386 with the host's multilib gcc (g++-multilib).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
# The tests run natively where the x86-64 kernel executes i386 programs.
# Where it cannot, -DKSTV_I386_EMULATOR=/usr/bin/qemu-i386 (what scripts/test
# passes on such a machine) runs every test under user-mode emulation
# instead: the same programs and assertions, nothing registered with the
# kernel.
set(KSTV_I386_EMULATOR "" CACHE FILEPATH "Runs the i386 test programs (empty: natively)")
if(KSTV_I386_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KSTV_I386_EMULATOR})
endif()
