// Width: a stereo effect that narrows or widens the stereo image and sets
// the level; two parameters, two programs, its state saved by the host.
// docs/writing-plugins.md quotes it between the doc markers.
// [doc:width]
#include <cmath>

#include "host/plugin.h"

namespace {

enum Param : std::int32_t { kWidth, kGain };  // positions in the table below

const kstv::Parameter kParams[] = {
    // id (kept in saved state), name, short name, unit, range, default, display
    {1, "Width", "Width", "%", kstv::Range::linear(0.0, 2.0), 1.0, kstv::fmt::percent},
    {2, "Gain", "Gain", "dB", kstv::Range::linear(-24.0, 12.0), 0.0, kstv::fmt::dbValue},
};
const kstv::Program kPrograms[] = {
    {"Natural", {1.0, 0.0}},  // plain values, in the table's order
    {"Mono", {0.0, -3.0}},
};
const kstv::Pin kIns[] = {{"Left in", "L in", true}, {"Right in", "R in"}};
const kstv::Pin kOuts[] = {{"Left out", "L out", true}, {"Right out", "R out"}};
const kstv::Description kDescription{
    .name = "Width", .vendor = "Ulvo", .product = "Kestravian Width", .version = 1,
    .parameters = kParams, .programs = kPrograms, .inputs = kIns, .outputs = kOuts};

class Width : public kstv::Plugin {
public:
    explicit Width(audioMasterCallback host) : Plugin(host, kDescription) {}

    // Before playing: 20 ms ramps at the host's rate, starting at the values.
    void resume() override {
        Plugin::resume();
        width_.setTime(0.02, rate());
        gain_.setTime(0.02, rate());
        width_.reset(static_cast<float>(plain(kWidth)));
        gain_.reset(decibelsToGain(plain(kGain)));
    }
    // Each block: where the ramps head (the host may have moved a parameter).
    void startBlock(std::int32_t) override {
        width_.setTarget(static_cast<float>(plain(kWidth)));
        gain_.setTarget(decibelsToGain(plain(kGain)));
    }
    // The ramps a block at a time: nothing carried from frame to frame, so
    // the loop vectorises.
    void render(const float* const* in, float* const* out, std::int32_t frames) override {
        const kstv::Ramp width = width_.block(frames), gain = gain_.block(frames);
        for (std::int32_t i = 0; i < frames; ++i) {
            const float left = in[0][i], right = in[1][i];  // read before writing: out may be in
            const float mid = 0.5f * (left + right);
            const float side = 0.5f * (left - right) * width.value(i);
            out[0][i] = (mid + side) * gain.value(i);
            out[1][i] = (mid - side) * gain.value(i);
        }
    }

private:
    static float decibelsToGain(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }
    kstv::LinearSmoother width_, gain_;
};

}  // namespace

KSTV_PLUGIN(Width);
// [/doc:width]
