// The example gain (examples/gain) written straight on EffectExt, without
// kstv::Plugin: the same parameter, smoothing and arithmetic, for the
// benchmark to measure what the layer costs.
#include <atomic>
#include <cmath>

#include "host/effect_ext.h"
#include "host/entry.h"
#include "host/smoother.h"

namespace {

class PlainGain : public EffectExt {
public:
    explicit PlainGain(audioMasterCallback host) : EffectExt(host, 0, 1) {
        setNumInputs(2);
        setNumOutputs(2);
        setCanReplacing(true);
        setUniqueId(fourCharCode('P', 'G', 'a', 'i'));
        gain_.reset(target());
    }
    void setParameter(std::int32_t index, float value) override {
        if (index == 0 && value >= 0.0f && value <= 1.0f) value_.store(value, std::memory_order_relaxed);
    }
    float getParameter(std::int32_t) override { return value_.load(std::memory_order_relaxed); }
    void resume() override {
        gain_.setTime(0.01, sampleRate);
        gain_.reset(target());
    }
    void process(float** in, float** out, std::int32_t frames) override {
        const kstv::Ramp gain = next(frames);
        for (std::int32_t i = 0; i < frames; ++i) {
            const float g = i < gain.ramped(frames) ? gain.onRamp(i) : gain.target;
            out[0][i] += in[0][i] * g;
            out[1][i] += in[1][i] * g;
        }
    }
    // The example's render, line for line.
    void processReplacing(float** inputs, float** outputs, std::int32_t frames) override {
        const float* const* in = inputs;
        float* const* out = outputs;
        const kstv::Ramp gain = next(frames);
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
    kstv::Ramp next(std::int32_t frames) {
        if (value_.load(std::memory_order_relaxed) != seen_) gain_.setTarget(target());
        return gain_.block(frames);
    }
    float target() {
        seen_ = value_.load(std::memory_order_relaxed);
        return static_cast<float>(std::pow(10.0, (-60.0 + seen_ * 72.0) / 20.0));
    }
    std::atomic<float> value_{60.0f / 72.0f};  // 0 dB
    float seen_ = -1.0f;
    kstv::LinearSmoother gain_;
};

}  // namespace

KSTV_PLUGIN_ENTRY(PlainGain);
