// What a module file is, read from its header without loading it, and what
// this host program is, in the same terms.
#pragma once

#include <string>

namespace aerie {

// What the file on disk is, read from its header without loading it.
struct ModuleFormat {
    enum class Kind { Missing, Unreadable, NotALibrary, Elf, Pe };
    Kind kind = Kind::Missing;
    int bits = 0;              // 32 or 64 for Elf and Pe
    std::string machine;       // "x86-64", "i386", "aarch64", ... ("" when unknown)
    bool sharedLibrary = false;  // ELF ET_DYN, or PE with the DLL characteristic
};
// [any thread; allocates, reads the file]
ModuleFormat inspectModuleFile(const std::string& path);

// The bitness and machine of this host program, in ModuleFormat's terms.
// [any thread]
int hostBits() noexcept;
const char* hostMachine() noexcept;

}  // namespace aerie
