#include <aerie/module_file.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

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

}  // namespace aerie
