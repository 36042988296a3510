// kstv::Plugin's saved-state reader, on any bytes a host may hand over (a
// damaged project file among them). The first byte picks a bank or a
// program chunk and the program that is current; the rest is the chunk.
// A chunk is either refused, and then nothing changed (the state written
// before and after is the same, byte for byte), or taken, and then every
// value is finite and in 0..1, every program name fits its field, and the
// state written now reads back into itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/check.h"
#include "host/plugin.h"

namespace {

const char* const kShapes[] = {"Sine", "Square", "Saw"};
const kstv::Parameter kParams[] = {
    {1, "Level", "Lvl", "dB", kstv::Range::linear(-60.0, 12.0), 0.0, kstv::fmt::dbValue},
    {2, "Cutoff", "Cutoff", "Hz", kstv::Range::logarithmic(20.0, 20000.0), 1000.0, kstv::fmt::hertz},
    {3, "Shape", "Shape", "", kstv::Range::choice(kShapes), 1.0, kstv::fmt::choice},
    {7, "Voices", "Voices", "", kstv::Range::stepped(1, 16), 4.0, kstv::fmt::integer},
};
const kstv::Program kPrograms[] = {{"Soft", {-12.0, 400.0, 0.0}}, {"Bright", {0.0, 8000.0, 2.0, 8.0}}, {"Third", {}}};
constexpr std::int32_t kId = fourCharCode('F', 'u', 'z', 'C');

// Keeps data of its own beside the parameters, in two versions, and reads an
// older layout of its own (four raw floats), as a plug-in moving onto the
// layer would.
struct Subject : kstv::Plugin {
    Subject() : Plugin(nullptr, description()) { identify({kId, kPlugCategEffect, false}); }
    static kstv::Description description() {
        return {.name = "Chunk", .vendor = "Fuzz", .product = "Chunk", .parameters = kParams,
                .programs = kPrograms, .dataVersion = 2};
    }
    void render(const float* const*, float* const* out, std::int32_t frames) override {
        std::memset(out[0], 0, sizeof(float) * static_cast<std::size_t>(frames));
    }
    void saveData(kstv::Writer& w) override {
        w.u32(mode);
        w.f32(tune);
    }
    bool loadData(kstv::Reader& r, std::uint32_t version) override {
        if (version > 2) return false;
        const std::uint32_t m = version >= 1 ? r.u32() : 0;  // version 0 had nothing
        const float t = version >= 2 ? r.f32() : 0.0f;
        if (!r.atEnd() || m > 3 || !kstv::isFinite(t)) return false;
        mode = m;
        tune = t;
        return true;
    }
    bool loadOlderChunk(const unsigned char* data, std::size_t size, bool, kstv::Snapshot& into) override {
        if (size != 16) return false;
        for (std::size_t i = 0; i < 4; ++i) {
            float v;
            std::memcpy(&v, data + 4 * i, 4);
            into.programs[0].values[i] = v;  // taken unchecked: the layer must still keep them in range
        }
        return true;
    }

    std::vector<unsigned char> chunk(bool preset) {
        void* data = nullptr;
        const VstIntPtr size = dispatcher(effGetChunk, preset ? 1 : 0, 0, &data, 0.0f);
        if (size <= 0 || data == nullptr) fuzz::fail("no state written", size);
        const auto* p = static_cast<const unsigned char*>(data);
        return {p, p + size};
    }
    VstIntPtr load(std::vector<unsigned char> bytes, bool preset) {
        return dispatcher(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(bytes.size()),
                          bytes.empty() ? nullptr : bytes.data(), 0.0f);
    }

    std::uint32_t mode = 1;
    float tune = 0.5f;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool preset = (data[0] & 1) != 0;
    Subject s;
    s.dispatcher(effSetProgram, 0, (data[0] >> 1) % 4, nullptr, 0.0f);  // 3 is out of range: ignored
    const VstIntPtr program = s.dispatcher(effGetProgram, 0, 0, nullptr, 0.0f);
    const std::vector<unsigned char> bank = s.chunk(false), one = s.chunk(true);

    std::vector<unsigned char> bytes(data + 1, data + size);
    const std::vector<unsigned char> given = bytes;
    const VstIntPtr taken = s.dispatcher(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(bytes.size()),
                                         bytes.empty() ? nullptr : bytes.data(), 0.0f);
    if (bytes != given) fuzz::fail("the chunk was written to");
    if (taken != 0 && taken != 1) fuzz::fail("answer", taken);
    if (taken == 0) {
        if (s.dispatcher(effGetProgram, 0, 0, nullptr, 0.0f) != program) fuzz::fail("refused, yet the program changed");
        if (s.chunk(false) != bank || s.chunk(true) != one) fuzz::fail("refused, yet the state changed");
        return 0;
    }

    for (std::int32_t p = 0; p < 3; ++p) {
        s.dispatcher(effSetProgram, 0, p, nullptr, 0.0f);
        for (std::int32_t i = 0; i < 4; ++i) {
            const float v = s.getParameter(i);
            if (!kstv::isFinite(v) || v < 0.0f || v > 1.0f) fuzz::fail("value out of range", i);
        }
        char name[256];
        std::memset(name, 'x', sizeof name);
        name[255] = '\0';
        s.dispatcher(effGetProgramNameIndexed, p, 0, name, 0.0f);
        if (std::strlen(name) > kstv::kProgramNameMax) fuzz::fail("program name too long", p);
    }
    if (s.mode > 3 || !kstv::isFinite(s.tune)) fuzz::fail("own data taken unchecked");

    // What it holds now is written, read back, and written again unchanged.
    s.dispatcher(effSetProgram, 0, program, nullptr, 0.0f);
    const std::vector<unsigned char> now = s.chunk(preset);
    if (s.load(now, preset) != 1) fuzz::fail("its own state refused");
    if (s.chunk(preset) != now) fuzz::fail("state not read back as written");
    return 0;
}
