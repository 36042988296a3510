// A plug-in module loaded the way a host loads it.
#pragma once

#include <memory>
#include <string>

#include "host/abi/aeffect.h"
#include <aerie/host_error.h>
#include <aerie/module_file.h>

namespace aerie {

// A loaded module. Opening checks the file first so that the error says why
// it cannot be loaded ("32-bit module, this host is 64-bit"), then loads it
// with every symbol resolved at once, and finds the entry: VSTPluginMain
// first, then main.
//
// [any thread]: a module is only read once open, so its instances may be
// created and used on several threads.
class Module {
public:
    // [allocates; blocks while the system's loader runs the module's own
    // initialisers]
    static std::unique_ptr<Module> open(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    VstPluginMainProc entry() const noexcept { return entry_; }
    const std::string& entryName() const noexcept { return entryName_; }
    const std::string& path() const noexcept { return path_; }
    // Any exported symbol by name, or null.
    void* symbol(const char* name) const noexcept;
#if defined(_WIN32)
    // An export by ordinal, or null (Windows only).
    void* ordinal(unsigned short number) const noexcept;
#endif

private:
    Module() = default;
    void* handle_ = nullptr;
    VstPluginMainProc entry_ = nullptr;
    std::string entryName_;
    std::string path_;
};

}  // namespace aerie
