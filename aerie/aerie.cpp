#include <aerie/aerie.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace aerie {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::string elfMachine(std::uint16_t m) {
    switch (m) {
    case 3: return "i386";
    case 62: return "x86-64";
    case 40: return "arm";
    case 183: return "aarch64";
    default: return "";
    }
}

std::string peMachine(std::uint16_t m) {
    switch (m) {
    case 0x14c: return "i386";
    case 0x8664: return "x86-64";
    case 0xaa64: return "aarch64";
    default: return "";
    }
}

}  // namespace

// The host an entry call on this thread is creating with: a plug-in may ask
// the host (its version, most often) before its record exists, when the
// callback has no record to find its Host through. One per thread, so that
// instances may be created on several threads at once.
namespace detail {
thread_local Host* creatingHost = nullptr;
}  // namespace detail

ModuleFormat inspectModuleFile(const std::string& path) {
    ModuleFormat f;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::error_code ec;
        f.kind = std::filesystem::exists(path, ec) ? ModuleFormat::Kind::Unreadable : ModuleFormat::Kind::Missing;
        return f;
    }
    std::vector<unsigned char> head(4096, 0);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got >= 64 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
        f.kind = ModuleFormat::Kind::Elf;
        f.bits = head[4] == 2 ? 64 : 32;
        f.machine = elfMachine(le16(&head[18]));
        f.sharedLibrary = le16(&head[16]) == 3;  // ET_DYN
        // Position-independent executables are ET_DYN too; they ask for a
        // program interpreter, which libraries do not.
        const bool is64 = f.bits == 64;
        const std::uint64_t phoff = is64 ? (static_cast<std::uint64_t>(le32(&head[36])) << 32 | le32(&head[32]))
                                         : le32(&head[28]);
        const std::size_t phentsize = le16(&head[is64 ? 54 : 42]);
        const std::size_t phnum = le16(&head[is64 ? 56 : 44]);
        for (std::size_t i = 0; f.sharedLibrary && phentsize >= 4 && i < phnum; ++i) {
            const std::uint64_t at = phoff + i * phentsize;
            if (at + 4 > got) break;
            if (le32(&head[static_cast<std::size_t>(at)]) == 3) f.sharedLibrary = false;  // PT_INTERP
        }
        return f;
    }
    if (got >= 64 && head[0] == 'M' && head[1] == 'Z') {
        const std::uint32_t pe = le32(&head[0x3c]);
        if (pe + 24 <= got && std::memcmp(&head[pe], "PE\0\0", 4) == 0) {
            f.kind = ModuleFormat::Kind::Pe;
            const std::uint16_t machine = le16(&head[pe + 4]);
            const std::uint16_t characteristics = le16(&head[pe + 22]);
            f.machine = peMachine(machine);
            f.bits = (machine == 0x14c) ? 32 : 64;
            f.sharedLibrary = (characteristics & 0x2000) != 0;  // IMAGE_FILE_DLL
            return f;
        }
    }
    f.kind = ModuleFormat::Kind::NotALibrary;
    return f;
}

int hostBits() noexcept { return static_cast<int>(sizeof(void*) * 8); }

const char* hostMachine() noexcept {
#if defined(__x86_64__) || defined(_M_X64)
    return "x86-64";
#elif defined(__i386__) || defined(_M_IX86)
    return "i386";
#elif defined(__aarch64__)
    return "aarch64";
#else
    return "";
#endif
}

const char* errorKindName(ErrorKind kind) noexcept {
    switch (kind) {
    case ErrorKind::Other: return "other";
    case ErrorKind::ModuleMissing: return "module missing";
    case ErrorKind::ModuleUnreadable: return "module unreadable";
    case ErrorKind::NotALibrary: return "not a library";
    case ErrorKind::WrongSystem: return "wrong system";
    case ErrorKind::WrongArchitecture: return "wrong architecture";
    case ErrorKind::LoadFailed: return "load failed";
    case ErrorKind::NoEntry: return "no entry";
    case ErrorKind::EntryNull: return "entry answered null";
    case ErrorKind::BadRecord: return "bad record";
    case ErrorKind::WrongState: return "wrong state";
    case ErrorKind::BadArgument: return "bad argument";
    case ErrorKind::Ambiguous: return "ambiguous";
    case ErrorKind::Crashed: return "crashed";
    case ErrorKind::Hung: return "hung";
    case ErrorKind::EndedProcess: return "ended the process";
    case ErrorKind::BadInputFile: return "bad input file";
    case ErrorKind::OutputFile: return "output file";
    }
    return "other";
}

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

VstIntPtr VST_CALL Host::callback(AEffect* effect, std::int32_t opcode, std::int32_t index, VstIntPtr value,
                                  void* ptr, float opt) noexcept {
    Host* host = (effect != nullptr && effect->user != nullptr) ? static_cast<Host*>(effect->user) : detail::creatingHost;
    if (host == nullptr) return 0;
    const HostRequest request{effect, opcode, index, value, ptr, opt};
    // Nothing may unwind into the plug-in, which is not C++ at all as far as
    // the interface knows: a request that cannot be recorded or answered is
    // answered 0, the interface's "don't know".
    try {
        ++host->counts[static_cast<std::uint32_t>(opcode) < host->counts.size() ? static_cast<std::size_t>(opcode)
                                                                                 : host->counts.size() - 1];
        if (host->record) host->requests.push_back(request);
        return host->answer(request);
    } catch (...) {
        return 0;
    }
}

std::string fourCharString(std::int32_t id) {
    std::string s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>((static_cast<std::uint32_t>(id) >> shift) & 0xff);
        s += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    return s;
}

}  // namespace aerie
