// Gain: the smallest effect on kstv::Plugin. One parameter, in dB, smoothed
// over 10 ms; a block without a change costs one multiply per sample. The
// parameter is read in render rather than startBlock: it has no events, so
// render runs once per block, and the layer then has one call less to make.
#include <cmath>

#include "host/plugin.h"

namespace {

const kstv::Parameter kParams[] = {
    {1, "Gain", "Gain", "dB", kstv::Range::linear(-60.0, 12.0), 0.0, kstv::fmt::dbValue},
};
const kstv::Pin kIns[] = {{"Left in", "L in", true}, {"Right in", "R in"}};
const kstv::Pin kOuts[] = {{"Left out", "L out", true}, {"Right out", "R out"}};
const kstv::Description kDescription{.name = "Gain", .vendor = "Ulvo", .product = "Kestravian Gain",
                                     .parameters = kParams, .inputs = kIns, .outputs = kOuts};

class Gain : public kstv::Plugin {
public:
    explicit Gain(audioMasterCallback host) : Plugin(host, kDescription) { gain_.reset(target()); }

    void resume() override {
        Plugin::resume();
        gain_.setTime(0.01, rate());
        gain_.reset(target());
    }
    void render(const float* const* in, float* const* out, std::int32_t frames) override {
        if (normalised(0) != seen_) gain_.setTarget(target());
        // The block's gains as a ramp: a loop with no dependence from one
        // frame to the next, which the compiler vectorises.
        const kstv::Ramp gain = gain_.block(frames);
        const std::int32_t ramped = gain.ramped(frames);
        for (std::int32_t i = 0; i < ramped; ++i) {
            const float g = gain.onRamp(i);
            out[0][i] = in[0][i] * g;
            out[1][i] = in[1][i] * g;
        }
        for (std::int32_t i = ramped; i < frames; ++i) {
            out[0][i] = in[0][i] * gain.target;
            out[1][i] = in[1][i] * gain.target;
        }
    }

private:
    float target() {
        seen_ = normalised(0);
        return static_cast<float>(std::pow(10.0, plain(0) / 20.0));
    }
    kstv::LinearSmoother gain_;
    float seen_ = -1.0f;  // the value the target was computed from
};

}  // namespace

KSTV_PLUGIN(Gain);
