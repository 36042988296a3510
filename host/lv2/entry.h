// The LV2 entry of a module built with `FORMATS lv2` (cmake/KstvPlugin.cmake).
// The module's own entry line (KSTV_PLUGIN_ENTRY or KSTV_PLUGIN) adds it
// when the module is compiled as an LV2 binary: `lv2_descriptor`, which
// hands the host one plug-in whose instances are the module's effect,
// driven through its own requests by the adapter in host/lv2/instance.h.
// Nothing here is written by a plug-in's author.
#pragma once

#include <lv2/core/lv2.h>

#include "host/abi/aeffect.h"

namespace kstv {
struct Description;
}

namespace kstv::lv2 {

// What the entry line knows of the module.
struct ModuleEntry {
    const char* uri;  // the plug-in's URI, from kstv_add_plugin
    AEffect* (VST_CALL* main)(audioMasterCallback);  // the module's VST 2 entry
    // The parameter table of a kstv::Plugin behind a record, or null for an
    // effect written on the frame's classes directly.
    const Description* (*layer)(AEffect*) noexcept;
};

// The descriptor of the module's one plug-in. [any thread]
const LV2_Descriptor* descriptor(const ModuleEntry& entry) noexcept;

// Extension data the build asks for to write the bundle's description:
// `write` makes manifest.ttl, <binary base>.ttl and presets.ttl in `folder`
// and answers 0, or non-zero with the reason in `error`.
inline constexpr const char* kBundleWriterUri = "urn:kestravian:lv2:bundle-writer";
struct BundleWriter {
    int (*write)(const char* folder, const char* binary, char* error, unsigned long errorSize);
};

}  // namespace kstv::lv2

#if defined(KSTV_LV2_URI)
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KSTV_LV2_ENTRY_(layerFunction)                                                               \
    extern "C" KSTV_ENTRY_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {               \
        static const ::kstv::lv2::ModuleEntry entry{KSTV_LV2_URI, &VSTPluginMain, layerFunction};      \
        return index == 0 ? ::kstv::lv2::descriptor(entry) : nullptr;                                  \
    }
// NOLINTEND(bugprone-macro-parentheses)
#else
#define KSTV_LV2_ENTRY_(layerFunction)
#endif
