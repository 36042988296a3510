#include "host/entry.h"

#include <new>

#include "host/abi/opcodes.h"
#include "synth/kestravian.h"

#if defined(_WIN32)
#include <windows.h>
#define KSTV_EXPORT
#else
#define KSTV_EXPORT __attribute__((visibility("default")))
#endif

// An instance must come from plain operator new: mingw's over-aligned new and
// delete do not pair up, and the heap breaks on the second instance.
static_assert(alignof(Kestravian) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);

extern "C" KSTV_EXPORT AEffect* VST_CALL VSTPluginMain(audioMasterCallback audioMaster) noexcept {
    if (audioMaster == nullptr) return nullptr;
    try {
        if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
        auto* instance = new (std::nothrow) Kestravian(audioMaster);
        return instance != nullptr ? instance->getAeffect() : nullptr;
    } catch (...) {
        return nullptr;  // a host callback that threw: no instance
    }
}

#if !defined(_WIN32)
// The same entry under the symbol name `main`, at the same address. A C++
// function cannot be called main without being the program's main, so the
// alias takes its symbol name from an assembler label. (On Windows the export
// table maps `main` onto VSTPluginMain.)
extern "C" KSTV_EXPORT AEffect* kstvExportedMain(audioMasterCallback audioMaster) noexcept __asm__("main")
    __attribute__((alias("VSTPluginMain")));
#else
// Load and unload notifications: nothing to set up or tear down.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
