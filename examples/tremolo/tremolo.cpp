// Tremolo: a stereo effect that swings the level of its input up and down.
//
// The gain follows a low-frequency shape between 1 and 1 - depth: 1 at the
// start of each period, lowest halfway. Shapes are smooth (a cubic that
// rises like a half cosine), triangle or square; the right channel may lag
// the left by up to a second. The rate is free (0 to 20 Hz) or follows the
// host's tempo ("1/16" to "4 bars"). Computed in double precision with +, -,
// * and / only, so every platform renders the same samples.
#include <cstring>

#include "host/plugin.h"

namespace {

using kstv::Parameter, kstv::Range, kstv::Shown;
enum Param : std::int32_t { kRate, kDepth, kShape, kSpread, kSync };
constexpr double kMaxRateHz = 20.0;
constexpr double kMaxSpreadSeconds = 1.0;

const char* const kShapes[] = {"Smooth", "Triangle", "Square"};
const char* const kSyncs[] = {"Off", "1/16", "1/8", "1/4", "1/2", "1 bar", "2 bars", "4 bars"};
constexpr double kSyncQuarters[] = {0.0, 0.25, 0.5, 1.0, 2.0, 1.0, 2.0, 4.0};  // from "1 bar" on: bars
constexpr std::int32_t kFirstBar = 5;

// Depth shows the lowest gain it gives, in dB.
void lowestGain(const Parameter&, double depth, Shown& shown) { kstv::formatGainDecibels(1.0 - depth, shown.text); }

const Parameter kParams[] = {
    {1, "Rate", "Rate", "Hz", Range::linear(0.0, kMaxRateHz), 4.0, kstv::fmt::hertz},
    {2, "Depth", "Depth", "dB", Range::linear(0.0, 1.0), 0.3, lowestGain},
    {3, "Shape", "Shape", "", Range::choice(kShapes), 0.0, kstv::fmt::choice},
    {4, "Spread", "Spread", "ms", Range::linear(0.0, 1000.0 * kMaxSpreadSeconds), 0.0, kstv::fmt::milliseconds},
    {5, "Sync", "Sync", "", Range::choice(kSyncs), 0.0, kstv::fmt::choice},
};
const kstv::Program kPrograms[] = {
    {"Gentle", {4.0, 0.3, 0.0, 0.0}},  // smooth, -3.1 dB
    {"Chop", {8.0, 1.0, 2.0, 0.0}},    // square, full depth
    {"Wide", {2.0, 0.6, 1.0, 250.0}},  // triangle, right 250 ms behind
};
const kstv::Pin kIns[] = {{"Tremolo In L", "In L", true}, {"Tremolo In R", "In R"}};
const kstv::Pin kOuts[] = {{"Tremolo Out L", "Out L", true}, {"Tremolo Out R", "Out R"}};
const kstv::Description kDescription{.name = "Tremolo", .vendor = "Ulvo", .product = "Kestravian Tremolo",
                                     .version = 1, .parameters = kParams, .programs = kPrograms,
                                     .inputs = kIns, .outputs = kOuts};

// The shape's fall from 0 (gain 1) to 1 (gain 1 - depth) at phase 0 to 1.
double fall(std::int32_t shape, double phase) noexcept {
    const double t = phase < 0.5 ? 2.0 * phase : 2.0 - 2.0 * phase;  // triangle 0 -> 1 -> 0
    return shape == 0 ? t * t * (3.0 - 2.0 * t) : (shape == 1 ? t : (phase < 0.5 ? 0.0 : 1.0));
}

class Tremolo : public kstv::Plugin {
public:
    explicit Tremolo(audioMasterCallback host) : Plugin(host, kDescription) {}

    void suspend() override { phase_ = 0.0; }  // the next resume starts a period afresh

    void startBlock(std::int32_t) override {
        const auto sync = static_cast<std::int32_t>(plain(kSync));
        step_ = sync == 0 ? plain(kRate) / rate() : rate() > 0.0 ? 1.0 / (periodSeconds(sync) * rate()) : 0.0;
        depth_ = plain(kDepth);
        shape_ = static_cast<std::int32_t>(plain(kShape));
        lag_ = static_cast<double>(normalised(kSpread)) * kMaxSpreadSeconds * rate() * step_;  // in periods
        lag_ -= static_cast<double>(static_cast<std::int64_t>(lag_));
    }

    void render(const float* const* in, float* const* out, std::int32_t frames) override {
        double phase = phase_;
        for (std::int32_t i = 0; i < frames; ++i) {
            double right = phase - lag_;
            if (right < 0.0) right += 1.0;
            const float l = static_cast<float>(in[0][i] * (1.0 - depth_ * fall(shape_, phase)));
            const float r = static_cast<float>(in[1][i] * (1.0 - depth_ * fall(shape_, right)));
            out[0][i] = l;
            out[1][i] = r;
            phase += step_;
            if (phase >= 1.0) phase -= 1.0;
        }
        phase_ = phase;
    }

    // The chunks of the tremolo before this class: "Trem", version 1, kind
    // (0 bank, 1 program); a bank then holds its current program's number;
    // each program is a 24-byte name and the four values as float bits.
    bool loadOlderChunk(const unsigned char* data, std::size_t size, bool isPreset, kstv::Snapshot& into) override {
        kstv::Reader r(data, size);
        const unsigned char* magic = r.bytes(4);
        const std::uint32_t version = r.u32(), kind = r.u32();
        if (!r.ok() || std::memcmp(magic, "Trem", 4) != 0 || version != 1 || kind != (isPreset ? 1u : 0u)) return false;
        into.current = isPreset ? 0 : static_cast<std::int32_t>(r.u32());
        for (auto& program : into.programs) {
            const unsigned char* name = r.bytes(24);
            if (name == nullptr || std::memchr(name, 0, 24) == nullptr) return false;
            std::memcpy(program.name, name, 24);
            for (std::int32_t i = kRate; i <= kSpread; ++i) {
                program.values[static_cast<std::size_t>(i)] = r.f32();
                if (!kstv::inRange(program.values[static_cast<std::size_t>(i)], 0.0, 1.0)) return false;
            }
        }
        return r.atEnd();
    }

private:
    // One period of a synced rate at the host's tempo (120 and 4/4 when it
    // gives none).
    double periodSeconds(std::int32_t sync) {
        const VstTimeInfo* time = hostGetTime(kVstTempoValid | kVstTimeSigValid);
        const bool tempo = time != nullptr && (time->flags & kVstTempoValid) && kstv::inRange(time->tempo, 1.0, 1000.0);
        double quarters = kSyncQuarters[sync];
        if (sync >= kFirstBar) {
            const bool sig = time != nullptr && (time->flags & kVstTimeSigValid) && time->timeSigNumerator > 0 &&
                             time->timeSigNumerator <= 64 && time->timeSigDenominator > 0 && time->timeSigDenominator <= 64;
            quarters *= sig ? 4.0 * time->timeSigNumerator / time->timeSigDenominator : 4.0;
        }
        return quarters * 60.0 / (tempo ? time->tempo : 120.0);
    }

    double phase_ = 0.0;  // of the left channel's period, 0 to 1
    double step_ = 0.0, depth_ = 0.0, lag_ = 0.0;
    std::int32_t shape_ = 0;
};

}  // namespace

KSTV_PLUGIN(Tremolo);
