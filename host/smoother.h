// Smoothing of parameter values against zipper noise. Set the target once
// per block (or per event), take one value per frame. [audio thread; no
// lock, no allocation]
#pragma once

#include <cmath>
#include <cstdint>

namespace kstv {

// A straight ramp to each new target over a fixed number of frames; exact at
// its end.
class LinearSmoother {
public:
    // The ramp's length; `seconds` at `rate` frames per second, at least 1 frame.
    void setTime(double seconds, double rate) noexcept {
        const double frames = seconds * rate;
        length_ = frames >= 1.0 && frames < 1.0e9 ? static_cast<std::int32_t>(frames) : 1;
    }
    // Jumps to `value` with no ramp (at the start, after a program change).
    void reset(float value) noexcept {
        current_ = target_ = value;
        left_ = 0;
    }
    void setTarget(float value) noexcept {
        if (value == target_) return;
        target_ = value;
        left_ = length_;
        step_ = (static_cast<double>(value) - current_) / length_;
    }
    bool ramping() const noexcept { return left_ > 0; }
    float current() const noexcept { return static_cast<float>(current_); }
    float target() const noexcept { return target_; }
    float next() noexcept {
        if (left_ > 0) {
            current_ = --left_ == 0 ? target_ : current_ + step_;
        }
        return static_cast<float>(current_);
    }
    // For loops that compute the ramp themselves (and vectorise): the frames
    // left of it, the change per frame, and `frames` frames done at once.
    // The value k frames on is current() + k * step(), up to left().
    std::int32_t left() const noexcept { return left_; }
    float step() const noexcept { return static_cast<float>(step_); }
    void skip(std::int32_t frames) noexcept {
        if (frames >= left_) {
            reset(target_);
        } else if (frames > 0) {
            left_ -= frames;
            current_ += step_ * frames;
        }
    }

private:
    double current_ = 0.0;
    double step_ = 0.0;
    float target_ = 0.0f;
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
