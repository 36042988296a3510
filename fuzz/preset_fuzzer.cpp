// The preset and bank file reader, on any bytes. A file is either refused
// with a PresetError or read into a preset that keeps the reader's
// promises, and that the writer writes back into a file that reads the
// same.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include <aerie/io/preset.h>

namespace {

bool sameFloats(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);
    aerie::PresetFile p;
    try {
        p = aerie::parsePreset(bytes);
    } catch (const aerie::PresetError&) {
        return 0;
    }
    if (p.count < 0) fuzz::fail("negative count", p.count);
    if (p.formatVersion < 1 || p.formatVersion > 2) fuzz::fail("format version", p.formatVersion);
    if (p.name.size() > 27) fuzz::fail("name length", static_cast<long long>(p.name.size()));
    if (p.kind == aerie::PresetKind::Program && p.parameters.size() != static_cast<std::size_t>(p.count)) {
        fuzz::fail("parameter count", p.count);
    }
    if (p.kind == aerie::PresetKind::Bank && p.programs.size() != static_cast<std::size_t>(p.count)) {
        fuzz::fail("program count", p.count);
    }
    if (bytes.size() < 28) fuzz::fail("a file shorter than its header was read", static_cast<long long>(bytes.size()));
    const std::vector<unsigned char> written = aerie::serializePreset(p);
    aerie::PresetFile q;
    try {
        q = aerie::parsePreset(written);
    } catch (const aerie::PresetError&) {
        fuzz::fail("the writer's file is refused");
    }
    if (q.kind != p.kind || q.uniqueId != p.uniqueId || q.pluginVersion != p.pluginVersion || q.name != p.name ||
        !sameFloats(q.parameters, p.parameters) || q.chunk != p.chunk || q.programs.size() != p.programs.size() ||
        (p.formatVersion >= 2 && aerie::isBank(p.kind) && q.currentProgram != p.currentProgram)) {
        fuzz::fail("read back differently");
    }
    for (std::size_t i = 0; i < p.programs.size(); ++i) {
        if (q.programs[i].name != p.programs[i].name || !sameFloats(q.programs[i].parameters, p.programs[i].parameters)) {
            fuzz::fail("a bank's program read back differently", static_cast<long long>(i));
        }
    }
    return 0;
}
