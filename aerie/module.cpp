#include <aerie/module.h>

#include <filesystem>

#include <aerie/host_error.h>
#include <aerie/module_file.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace aerie {

std::unique_ptr<Module> Module::open(const std::string& path) {
    const ModuleFormat f = inspectModuleFile(path);
    switch (f.kind) {
    case ModuleFormat::Kind::Missing: throw HostError(ErrorKind::ModuleMissing, "module not found: " + path);
    case ModuleFormat::Kind::Unreadable: throw HostError(ErrorKind::ModuleUnreadable, "module cannot be read: " + path);
    case ModuleFormat::Kind::NotALibrary: throw HostError(ErrorKind::NotALibrary, "not a shared library: " + path);
    case ModuleFormat::Kind::Elf:
    case ModuleFormat::Kind::Pe: break;
    }
#if defined(_WIN32)
    const bool nativeFormat = f.kind == ModuleFormat::Kind::Pe;
#else
    const bool nativeFormat = f.kind == ModuleFormat::Kind::Elf;
#endif
    if (!nativeFormat) {
        throw HostError(ErrorKind::WrongSystem, std::string("not a shared library for this system (a ") +
                        (f.kind == ModuleFormat::Kind::Pe ? "Windows" : "Linux") + " module): " + path);
    }
    if (!f.sharedLibrary) throw HostError(ErrorKind::NotALibrary, "not a shared library (an executable or object file): " + path);
    if (f.bits != hostBits()) {
        throw HostError(ErrorKind::WrongArchitecture, std::to_string(f.bits) + "-bit module, this host is " + std::to_string(hostBits()) +
                        "-bit: " + path);
    }
    if (!f.machine.empty() && f.machine != hostMachine()) {
        throw HostError(ErrorKind::WrongArchitecture, "module built for " + f.machine + ", this host is " + hostMachine() + ": " + path);
    }

    std::unique_ptr<Module> m(new Module);
    m->path_ = path;
    // The file just inspected, never a namesake: the loaders search their
    // library folders for a name without a folder in it.
    std::error_code absoluteError;
    std::string file = std::filesystem::absolute(path, absoluteError).string();
    if (absoluteError) file = path;
#if defined(_WIN32)
    m->handle_ = reinterpret_cast<void*>(LoadLibraryA(file.c_str()));
    if (m->handle_ == nullptr) {
        throw HostError(ErrorKind::LoadFailed, "the module could not be loaded (Windows error " + std::to_string(GetLastError()) +
                        "): " + path);
    }
#else
    m->handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m->handle_ == nullptr) {
        const char* why = dlerror();
        throw HostError(ErrorKind::LoadFailed, std::string("the module could not be loaded: ") + (why ? why : path.c_str()));
    }
#endif
    for (const char* name : {"VSTPluginMain", "main"}) {
        if (void* sym = m->symbol(name)) {
            m->entry_ = reinterpret_cast<VstPluginMainProc>(sym);
            m->entryName_ = name;
            break;
        }
    }
    if (m->entry_ == nullptr) throw HostError(ErrorKind::NoEntry, "no entry point (neither VSTPluginMain nor main): " + path);
    return m;
}

Module::~Module() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(reinterpret_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* Module::symbol(const char* name) const noexcept {
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

#if defined(_WIN32)
void* Module::ordinal(unsigned short number) const noexcept {
    return reinterpret_cast<void*>(
        GetProcAddress(reinterpret_cast<HMODULE>(handle_), reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(number))));
}
#endif

}  // namespace aerie
