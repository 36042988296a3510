// The module's entry: what a host calls, once per instance it wants.
//
// One line in the module names the effect class:
//
//     KSTV_PLUGIN_ENTRY(MyEffect)
//
// and defines everything the system loader and the host look for: the entry
// `VSTPluginMain`, the same function under the name `main`, and (on Windows)
// the load notifications. Which names leave the module is the export list's
// business (kstv_add_plugin in cmake/KstvPlugin.cmake): `main` and
// `VSTPluginMain` on Linux and 64-bit Windows, `main` alone at ordinal 1 on
// 32-bit Windows, the name those hosts look for.
//
// The class needs a constructor taking the host's callback. It must not
// throw; if it does anyway, the host gets null instead of an exception.
// Put the line in a source file of the module alone: linked into a program,
// its `main` would clash with the program's own.
#pragma once

#include <new>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

#if defined(_WIN32)
// The loader's handle type, declared as the system headers do, so that a
// module need not pull them in (and their min/max macros) for one line.
struct HINSTANCE__;
#define KSTV_ENTRY_EXPORT
#else
#define KSTV_ENTRY_EXPORT __attribute__((visibility("default")))
#endif

namespace kstv {

// Nothing to do to a new instance.
struct NoPreparation {
    template <class EffectClass>
    void operator()(EffectClass&) const noexcept {}
};

// Asks the host's interface version (a null record, audioMasterVersion) and
// answers null when the host says 0, when there is no callback to ask, when
// the instance cannot be created, or when anything on the way threw;
// otherwise the new instance's record, after `prepare` has had the instance.
// [host's thread; any number at once]
template <class EffectClass, class Prepare = NoPreparation>
AEffect* createEffect(audioMasterCallback audioMaster, Prepare prepare = {}) noexcept {
    // An instance must come from plain operator new: mingw's over-aligned new
    // and delete do not pair up, and the heap breaks on the second instance.
    static_assert(alignof(EffectClass) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__,
                  "an effect class must not be over-aligned");
    if (audioMaster == nullptr) return nullptr;
    try {
        if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
        auto* instance = new (std::nothrow) EffectClass(audioMaster);
        if (instance == nullptr) return nullptr;
        prepare(*instance);
        return instance->getAeffect();
    } catch (...) {
        return nullptr;  // a host callback or a constructor that threw: no instance
    }
}

}  // namespace kstv

#if defined(_WIN32)
// On Windows the export list maps `main` onto VSTPluginMain. The load and
// unload notifications have nothing to set up or tear down.
#define KSTV_ENTRY_ALIASES_                                                          \
    extern "C" int __stdcall DllMain(HINSTANCE__*, unsigned long, void*) { return 1; }
#else
// `main` at the same address as VSTPluginMain. A C++ function cannot be
// called main without being the program's main, so the alias takes its
// symbol name from an assembler label.
#define KSTV_ENTRY_ALIASES_                                                                           \
    extern "C" KSTV_ENTRY_EXPORT AEffect* kstvExportedMain(audioMasterCallback audioMaster) noexcept \
        __asm__("main") __attribute__((alias("VSTPluginMain")));
#endif

// A module compiled as an LV2 binary (kstv_add_plugin's FORMATS lv2 defines
// KSTV_LV2_URI) gets the LV2 entry as well, from the same line.
#if defined(KSTV_LV2_URI)
#include "host/lv2/entry.h"
// An LV2 binary needs no `main`: its one entry is lv2_descriptor.
#undef KSTV_ENTRY_ALIASES_
#define KSTV_ENTRY_ALIASES_
#else
#define KSTV_LV2_ENTRY_(layerFunction)
#endif

// Defines the module's entry for `EffectClass`. (It expands to definitions,
// which parentheses cannot enclose.)
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KSTV_PLUGIN_ENTRY(EffectClass)                                                                 \
    extern "C" KSTV_ENTRY_EXPORT AEffect* VST_CALL VSTPluginMain(audioMasterCallback audioMaster) noexcept { \
        return ::kstv::createEffect<EffectClass>(audioMaster);                                         \
    }                                                                                                  \
    KSTV_ENTRY_ALIASES_                                                                                \
    KSTV_LV2_ENTRY_(nullptr)                                                                           \
    static_assert(true, "a semicolon after the entry line")
// NOLINTEND(bugprone-macro-parentheses)
