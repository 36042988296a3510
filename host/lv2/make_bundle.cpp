// kstv_lv2_bundle <module.so> <bundle folder>: writes the description of an
// LV2 binary built by kstv_add_plugin into its bundle folder, by loading
// the binary and asking it (the build runs this after linking it).
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "host/lv2/entry.h"

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "--help") == 0) {
        (void)std::fprintf(stderr, "usage: kstv_lv2_bundle <module.so> <bundle folder>\n"
                             "Writes manifest.ttl, <module>.ttl and presets.ttl into the folder.\n");
        return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        (void)std::fprintf(stderr, "kstv_lv2_bundle: cannot load %s: %s\n", argv[1], dlerror());
        return 1;
    }
    using Entry = const LV2_Descriptor* (*)(uint32_t);
    auto entry = reinterpret_cast<Entry>(dlsym(library, "lv2_descriptor"));
    const LV2_Descriptor* descriptor = entry != nullptr ? entry(0) : nullptr;
    const auto* writer = descriptor != nullptr && descriptor->extension_data != nullptr
                             ? static_cast<const kstv::lv2::BundleWriter*>(
                                   descriptor->extension_data(kstv::lv2::kBundleWriterUri))
                             : nullptr;
    if (writer == nullptr) {
        (void)std::fprintf(stderr, "kstv_lv2_bundle: %s is not an LV2 binary of this frame\n", argv[1]);
        dlclose(library);
        return 1;
    }
    const char* slash = std::strrchr(argv[1], '/');
    char error[512] = {};
    const int failed = writer->write(argv[2], slash != nullptr ? slash + 1 : argv[1], error, sizeof error);
    dlclose(library);
    if (failed != 0) {
        (void)std::fprintf(stderr, "kstv_lv2_bundle: %s: %s\n", argv[1], error);
        return 1;
    }
    return 0;
}
