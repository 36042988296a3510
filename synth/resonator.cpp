#include "synth/resonator.h"

#include <cmath>

namespace {

constexpr float kNoteOffset = 1.0f;
constexpr float kDampingPerUnit = -0.001f;  // -0.0010000000474974513 as a float
constexpr float kAnglePerUnit = 0.01f;      // 0.009999999776482582 as a float

}  // namespace

std::complex<float> Resonator::coefficientFor(int note, float rateFactor) noexcept {
    const auto x = static_cast<float>(static_cast<double>(static_cast<float>(note) + kNoteOffset) * rateFactor);
    const auto zRe = static_cast<float>(static_cast<double>(kDampingPerUnit) * x);
    const auto zIm = static_cast<float>(static_cast<double>(kAnglePerUnit) * x);
    const double magnitude = std::exp(static_cast<double>(zRe));
    const auto cosine = static_cast<float>(std::cos(static_cast<double>(zIm)));
    const auto sine = static_cast<float>(std::sin(static_cast<double>(zIm)));
    return {static_cast<float>(magnitude * cosine), static_cast<float>(magnitude * sine)};
}

bool Resonator::libraryBelowSilence(float re, float im) noexcept {
    const float modulus = std::abs(std::complex<float>(re, im));
    return !(static_cast<double>(modulus) >= kSilence);  // NaN closes the gate too
}
