// Smoothing of parameter values against zipper noise. Set the target once
// per block (or per event), then take one value per frame or a block of
// them at once. [audio thread; no lock, no allocation]
#pragma once

#include <cmath>
#include <cstdint>

namespace kstv {

// A block's worth of a LinearSmoother's values, in a form a loop over the
// block computes without carrying anything from one frame to the next (so
// it vectorises): frame k of the block (0-based) has value(k). Every value
// is the target less whole steps, so the ramp lands on the target exactly
// and gives the same values however the frames are split into blocks.
struct Ramp {
    float target;
    float step;         // change per frame; 0 when not ramping
    std::int32_t left;  // frames of the ramp ahead at the block's start
    float value(std::int32_t k) const noexcept {
        const float behind = static_cast<float>(left - 1 - k);  // steps short of the target
        return target - step * (behind > 0.0f ? behind : 0.0f);
    }
    bool ramping() const noexcept { return left > 0; }
    // The block split in two, for the fewest operations per frame: frames
    // 0 .. ramped(frames) - 1 take onRamp(k), the rest the target.
    std::int32_t ramped(std::int32_t frames) const noexcept { return left < frames ? left : frames; }
    float onRamp(std::int32_t k) const noexcept { return target - step * static_cast<float>(left - 1 - k); }
};

// A straight ramp to each new target over a fixed number of frames; exact at
// its end. Take values one frame at a time (next) or a block at a time
// (block); both give the same values.
class LinearSmoother {
public:
    // The ramp's length; `seconds` at `rate` frames per second, at least 1 frame.
    void setTime(double seconds, double rate) noexcept {
        const double frames = seconds * rate;
        length_ = frames >= 1.0 && frames < 1.0e7 ? static_cast<std::int32_t>(frames) : 1;
    }
    // Jumps to `value` with no ramp (at the start, after a program change).
    void reset(float value) noexcept {
        target_ = value;
        step_ = 0.0f;
        left_ = 0;
    }
    // Ramps from the current value to `value`; nothing changes when it is
    // already the target.
    void setTarget(float value) noexcept {
        if (value == target_) return;
        const float from = current();
        target_ = value;
        left_ = length_;
        step_ = (value - from) / static_cast<float>(length_);
    }
    bool ramping() const noexcept { return left_ > 0; }
    // The value of the frame last taken.
    float current() const noexcept { return ramp().value(-1); }
    float target() const noexcept { return target_; }
    // The next frame's value.
    float next() noexcept {
        if (left_ > 0 && --left_ == 0) step_ = 0.0f;
        return ramp().value(-1);
    }
    // The next `frames` frames' values (value(0) .. value(frames - 1)); the
    // smoother moves on past them.
    Ramp block(std::int32_t frames) noexcept {
        const Ramp r = ramp();
        if (frames > 0) left_ = frames < left_ ? left_ - frames : 0;
        if (left_ == 0) step_ = 0.0f;
        return r;
    }

private:
    Ramp ramp() const noexcept { return {target_, step_, left_}; }

    float target_ = 0.0f;
    float step_ = 0.0f;
    std::int32_t left_ = 0;
    std::int32_t length_ = 1;
};

// A one-pole low-pass toward the target: reaches 63 % of a step in the time
// given. Snaps to the target once within 1e-6 of it, so it comes to rest.
class OnePoleSmoother {
public:
    void setTime(double seconds, double rate) noexcept {
        const double frames = seconds * rate;
        coefficient_ = frames > 1.0 ? 1.0 - std::exp(-1.0 / frames) : 1.0;
    }
    void reset(float value) noexcept { current_ = target_ = value; }
    void setTarget(float value) noexcept { target_ = value; }
    bool ramping() const noexcept { return current_ != target_; }
    float current() const noexcept { return static_cast<float>(current_); }
    float next() noexcept {
        if (current_ != target_) {
            current_ += (target_ - current_) * coefficient_;
            if (std::fabs(target_ - current_) < 1e-6) current_ = target_;
        }
        return static_cast<float>(current_);
    }

private:
    double current_ = 0.0;
    double target_ = 0.0;
    double coefficient_ = 1.0;
};

}  // namespace kstv
