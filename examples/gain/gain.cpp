// Gain: the smallest effect on kstv::Plugin. One parameter, in dB, smoothed
// over 10 ms; a block without a change costs one multiply per sample.
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
    void startBlock(std::int32_t) override {
        if (normalised(0) != seen_) gain_.setTarget(target());
    }
    void render(const float* const* in, float* const* out, std::int32_t frames) override {
        // The ramp's frames first, its gain computed per frame, then the rest
        // at the value reached: one multiply per sample.
        const std::int32_t ramp = gain_.left() < frames ? gain_.left() : frames;
        const float start = gain_.current(), step = gain_.step();
        for (std::int32_t i = 0; i < ramp; ++i) {
            const float g = start + step * static_cast<float>(i + 1);
            out[0][i] = in[0][i] * g;
            out[1][i] = in[1][i] * g;
        }
        gain_.skip(ramp);
        const float g = gain_.current();
        for (std::int32_t i = ramp; i < frames; ++i) {
            out[0][i] = in[0][i] * g;
            out[1][i] = in[1][i] * g;
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
