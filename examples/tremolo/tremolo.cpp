// Tremolo: a stereo effect that swings the level of its input up and down.
//
// The gain follows a low-frequency shape between 1 and 1 - depth: at the
// start of each period it is 1, halfway through it is lowest. Shapes are
// smooth (a cubic that rises like a half cosine), triangle or square; the
// right channel may lag the left by up to a second. Everything is computed
// in double precision with +, -, * and / only, so every platform renders
// the same samples.
//
// Parameters (host values 0 to 1):
//   0 Rate    0 to 20 Hz                        shown in Hz
//   1 Depth   how far the gain falls, 0 to 1    shown as the lowest gain in dB
//   2 Shape   smooth / triangle / square        shown by name
//   3 Spread  right channel's lag, 0 to 1000 ms shown in ms
// Three programs, each with its own name and values; the whole bank (or one
// program) is saved and restored as a version-tagged chunk.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>

#include "host/effect_ext.h"
#include "host/entry.h"

namespace {

constexpr std::int32_t kNumPrograms = 3;
constexpr std::int32_t kNumParams = 4;
enum Param : std::int32_t { kRate, kDepth, kShape, kSpread };
constexpr double kMaxRateHz = 20.0;
constexpr double kMaxSpreadSeconds = 1.0;
constexpr std::size_t kNameSize = 24;  // a program name with its NUL: the host's buffers hold 24

// The chunk: 'Trem', a version, a kind, then the programs. All integers and
// floats little-endian, the byte order of every platform this builds for.
constexpr char kChunkMagic[4] = {'T', 'r', 'e', 'm'};
constexpr std::uint32_t kChunkVersion = 1;
constexpr std::uint32_t kKindBank = 0, kKindProgram = 1;
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kProgramSize = kNameSize + 4 * kNumParams;
// A bank: the header, the current program's number, every program.
constexpr std::size_t kBankSize = kHeaderSize + 4 + kNumPrograms * kProgramSize;
constexpr std::size_t kPresetSize = kHeaderSize + kProgramSize;

// True for a finite float, decided on its bits: a host may run with
// floating-point traps unmasked, and comparing a NaN would raise one.
bool finite(float value) noexcept {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x7F800000u) != 0x7F800000u;
}

float clampUnit(float value) noexcept { return value < 0.0f ? 0.0f : (value > 1.0f ? 1.0f : value); }

// The shape's fall from 0 (gain 1) to 1 (gain 1 - depth) at phase 0 to 1.
enum class Shape { Smooth, Triangle, Square };
Shape shapeOf(float value) noexcept {
    return value < 1.0f / 3.0f ? Shape::Smooth : (value < 2.0f / 3.0f ? Shape::Triangle : Shape::Square);
}
double fall(Shape shape, double phase) noexcept {
    const double t = phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase;  // triangle 0 -> 1 -> 0
    switch (shape) {
    case Shape::Smooth: return t * t * (3.0 - 2.0 * t);
    case Shape::Triangle: return t;
    case Shape::Square: return phase < 0.5 ? 0.0 : 1.0;
    }
    return 0.0;
}

struct Program {
    char name[kNameSize];
    std::array<float, kNumParams> values;
};

constexpr Program kFactory[kNumPrograms] = {
    {"Gentle", {0.2f, 0.3f, 0.0f, 0.0f}},   // 4 Hz, smooth, -3.1 dB
    {"Chop", {0.4f, 1.0f, 1.0f, 0.0f}},     // 8 Hz, square, full depth
    {"Wide", {0.1f, 0.6f, 0.5f, 0.25f}},    // 2 Hz, triangle, right 250 ms behind
};

void putU32(unsigned char* at, std::uint32_t v) noexcept {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}
std::uint32_t getU32(const unsigned char* at) noexcept {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return v;
}

class Tremolo : public EffectExt {
public:
    explicit Tremolo(audioMasterCallback host) noexcept : EffectExt(host, kNumPrograms, kNumParams) {
        setNumInputs(2);
        setNumOutputs(2);
        setCanReplacing(true);
        setProgramChunks(true);
        setUniqueId(fourCharCode('K', 't', 'T', 'r'));
        for (std::int32_t p = 0; p < kNumPrograms; ++p) {
            std::memcpy(names_[p], kFactory[p].name, kNameSize);
            for (std::int32_t i = 0; i < kNumParams; ++i) values_[p][i].store(kFactory[p].values[i]);
        }
    }

    // ---- audio ---------------------------------------------------------------
    void process(float** inputs, float** outputs, std::int32_t frames) override {
        render<true>(inputs, outputs, frames);
    }
    void processReplacing(float** inputs, float** outputs, std::int32_t frames) override {
        render<false>(inputs, outputs, frames);
    }

    // ---- parameters ----------------------------------------------------------
    void setParameter(std::int32_t index, float value) override {
        if (index >= 0 && index < kNumParams && finite(value)) values_[program()][index].store(clampUnit(value));
    }
    float getParameter(std::int32_t index) override {
        return index >= 0 && index < kNumParams ? values_[program()][index].load() : 0.0f;
    }
    void getParamName(std::int32_t index, char* text) override {
        static constexpr const char* names[kNumParams] = {"Rate", "Depth", "Shape", "Spread"};
        copyHostText(text, index >= 0 && index < kNumParams ? names[index] : "");
    }
    void getParamLabel(std::int32_t index, char* text) override {
        static constexpr const char* labels[kNumParams] = {"Hz", "dB", "", "ms"};
        copyHostText(text, index >= 0 && index < kNumParams ? labels[index] : "");
    }
    void getParamDisplay(std::int32_t index, char* text) override {
        if (text == nullptr) return;
        const float value = getParameter(index);
        switch (index) {
        case kRate: {
            // formatHertz takes a period in frames; below a millionth of a
            // hertz the period would not fit a float, and it shows 0.
            const double hz = value * kMaxRateHz;
            formatHertz(hz >= 1e-6 ? static_cast<float>(rate_ / hz) : 0.0f, text);
            break;
        }
        case kDepth: formatDecibels(1.0f - value, text); break;
        case kShape: {
            static constexpr const char* shapes[] = {"Smooth", "Triangle", "Square"};
            copyHostText(text, shapes[static_cast<int>(shapeOf(value))]);
            break;
        }
        case kSpread: formatMilliseconds(static_cast<float>(value * kMaxSpreadSeconds * rate_), text); break;
        default: copyHostText(text, ""); break;
        }
    }

    // ---- programs ------------------------------------------------------------
    void setProgram(std::int32_t program) override {
        if (program >= 0 && program < kNumPrograms) {
            curProgram = program;
            current_.store(program);
        }
    }
    void setProgramName(char* name) override {
        if (name != nullptr) copyName(names_[program()], name);
    }
    void getProgramName(char* name) override { copyHostText(name, names_[program()]); }
    bool getProgramNameIndexed(std::int32_t, std::int32_t index, char* text) override {
        if (text == nullptr || index < 0 || index >= kNumPrograms) return false;
        copyHostText(text, names_[index]);
        return true;
    }
    bool copyProgram(std::int32_t destination) override {
        if (destination < 0 || destination >= kNumPrograms) return false;
        const std::int32_t from = program();
        std::memcpy(names_[destination], names_[from], kNameSize);
        for (std::int32_t i = 0; i < kNumParams; ++i) values_[destination][i].store(values_[from][i].load());
        return true;
    }

    // ---- state as a chunk ------------------------------------------------------
    std::int32_t getChunk(void* data, bool isPreset) override {
        if (data == nullptr) return 0;
        unsigned char* at = chunk_.data();
        std::memcpy(at, kChunkMagic, 4);
        putU32(at + 4, kChunkVersion);
        putU32(at + 8, isPreset ? kKindProgram : kKindBank);
        at += kHeaderSize;
        if (isPreset) {
            writeProgram(at, program());
        } else {
            putU32(at, static_cast<std::uint32_t>(program()));
            for (std::int32_t p = 0; p < kNumPrograms; ++p) writeProgram(at + 4 + p * kProgramSize, p);
        }
        void* address = chunk_.data();
        std::memcpy(data, &address, sizeof address);  // the host reads our buffer until the next request
        return static_cast<std::int32_t>(isPreset ? kPresetSize : kBankSize);
    }
    // Takes a chunk only if all of it is right: anything else changes nothing.
    std::int32_t setChunk(void* data, std::int32_t byteSize, bool isPreset) override {
        const std::size_t expected = isPreset ? kPresetSize : kBankSize;
        if (data == nullptr || byteSize < 0 || static_cast<std::size_t>(byteSize) != expected) return 0;
        const auto* at = static_cast<const unsigned char*>(data);
        if (std::memcmp(at, kChunkMagic, 4) != 0 || getU32(at + 4) != kChunkVersion ||
            getU32(at + 8) != (isPreset ? kKindProgram : kKindBank)) {
            return 0;
        }
        at += kHeaderSize;
        if (isPreset) {
            Program p;
            if (!readProgram(at, p)) return 0;
            store(program(), p);
            return 1;
        }
        const std::uint32_t current = getU32(at);
        Program bank[kNumPrograms];
        if (current >= kNumPrograms) return 0;
        for (std::int32_t p = 0; p < kNumPrograms; ++p) {
            if (!readProgram(at + 4 + p * kProgramSize, bank[p])) return 0;
        }
        for (std::int32_t p = 0; p < kNumPrograms; ++p) store(p, bank[p]);
        setProgram(static_cast<std::int32_t>(current));
        return 1;
    }

    // ---- configuration and identity ---------------------------------------------
    void setSampleRate(float rate) override {
        Effect::setSampleRate(rate);
        // Rates that are no sample rate keep the last good one.
        if (finite(rate) && rate >= 1.0f && rate <= 1.0e7f) rate_ = rate;
    }
    void setBlockSizeAndSampleRate(std::int32_t size, float rate) override {
        EffectExt::setBlockSizeAndSampleRate(size, rate);
        setSampleRate(rate);
    }
    // The rate the displays convert with: the last one that made sense.
    float getSampleRate() override { return static_cast<float>(rate_); }
    void suspend() override { phase_ = 0.0; }  // the next resume starts a period afresh
    bool getEffectName(char* name) override { return answer(name, "Tremolo"); }
    bool getVendorString(char* text) override { return answer(text, "Ulvo"); }
    bool getProductString(char* text) override { return answer(text, "Kestravian Tremolo"); }
    std::int32_t getVendorVersion() override { return 1; }
    std::int32_t getPlugCategory() override { return kPlugCategEffect; }
    std::int32_t canDo(char* text) override {
        if (text == nullptr) return -1;
        return std::strcmp(text, "2in2out") == 0 || std::strcmp(text, "plugAsChannelInsert") == 0 ? 1 : -1;
    }
    bool getInputProperties(std::int32_t index, VstPinProperties* pin) override {
        return describePin(index, pin, "Tremolo In");
    }
    bool getOutputProperties(std::int32_t index, VstPinProperties* pin) override {
        return describePin(index, pin, "Tremolo Out");
    }

private:
    std::int32_t program() const noexcept { return current_.load(); }

    template <bool accumulate>
    void render(float** inputs, float** outputs, std::int32_t frames) noexcept {
        if (frames <= 0) return;
        const std::int32_t p = program();
        const double step = values_[p][kRate].load() * kMaxRateHz / rate_;  // of a period, per frame
        const double depth = values_[p][kDepth].load();
        const Shape shape = shapeOf(values_[p][kShape].load());
        double lag = values_[p][kSpread].load() * kMaxSpreadSeconds * rate_ * step;  // in periods
        lag -= static_cast<double>(static_cast<std::int64_t>(lag));
        const bool buffers = inputs != nullptr && outputs != nullptr && inputs[0] != nullptr &&
                             inputs[1] != nullptr && outputs[0] != nullptr && outputs[1] != nullptr;
        double phase = phase_;
        for (std::int32_t i = 0; i < frames; ++i) {
            if (buffers) {
                double right = phase - lag;
                if (right < 0.0) right += 1.0;
                const double gainL = 1.0 - depth * fall(shape, phase);
                const double gainR = 1.0 - depth * fall(shape, right);
                const float l = static_cast<float>(inputs[0][i] * gainL);
                const float r = static_cast<float>(inputs[1][i] * gainR);
                if constexpr (accumulate) {
                    outputs[0][i] += l;
                    outputs[1][i] += r;
                } else {
                    outputs[0][i] = l;
                    outputs[1][i] = r;
                }
            }
            phase += step;
            if (phase >= 1.0) phase -= 1.0;
        }
        phase_ = phase;  // a host without buffers still has the time pass
    }

    void writeProgram(unsigned char* at, std::int32_t p) noexcept {
        std::memcpy(at, names_[p], kNameSize);
        for (std::int32_t i = 0; i < kNumParams; ++i) {
            const float v = values_[p][i].load();
            std::uint32_t bits = 0;
            std::memcpy(&bits, &v, 4);
            putU32(at + kNameSize + 4 * i, bits);
        }
    }
    static bool readProgram(const unsigned char* at, Program& p) noexcept {
        if (std::memchr(at, 0, kNameSize) == nullptr) return false;  // a name must end inside its field
        std::memcpy(p.name, at, kNameSize);
        for (std::int32_t i = 0; i < kNumParams; ++i) {
            const std::uint32_t bits = getU32(at + kNameSize + 4 * i);
            float v;
            std::memcpy(&v, &bits, 4);
            if (!finite(v) || v < 0.0f || v > 1.0f) return false;
            p.values[static_cast<std::size_t>(i)] = v;
        }
        return true;
    }
    void store(std::int32_t p, const Program& from) noexcept {
        copyName(names_[p], from.name);
        for (std::int32_t i = 0; i < kNumParams; ++i) values_[p][i].store(from.values[static_cast<std::size_t>(i)]);
    }
    // Keeps at most 23 characters and always ends the name.
    static void copyName(char* dst, const char* src) noexcept {
        std::size_t n = 0;
        while (n + 1 < kNameSize && src[n] != '\0') {
            dst[n] = src[n];
            ++n;
        }
        std::memset(dst + n, 0, kNameSize - n);
    }
    static bool answer(char* dst, const char* text) noexcept {
        if (dst == nullptr) return false;
        copyHostText(dst, text);
        return true;
    }
    static bool describePin(std::int32_t index, VstPinProperties* pin, const char* base) noexcept {
        if (pin == nullptr || index < 0 || index > 1) return false;
        copyHostText(pin->label, base);
        std::strcat(pin->label, index == 0 ? " L" : " R");
        pin->flags = kVstPinIsActive | (index == 0 ? kVstPinIsStereo : 0);
        return true;
    }

    std::atomic<std::int32_t> current_{0};  // curProgram, for the audio thread; always in range
    double rate_ = 44100.0;  // Hz; only rates that make sense get here
    double phase_ = 0.0;     // of the left channel's period, 0 to 1
    char names_[kNumPrograms][kNameSize] = {};
    std::atomic<float> values_[kNumPrograms][kNumParams];  // set from any thread, read by the audio thread
    std::array<unsigned char, kBankSize> chunk_ = {};      // what getChunk hands out
};

}  // namespace

KSTV_PLUGIN_ENTRY(Tremolo);
