// The damped complex resonator that sounds every click.
//
// A click loads `state` with the note's amplitude and `coefficient` with a
// per-frame rotation-and-decay e^z; each frame the output is state's
// imaginary part, then state is multiplied by the coefficient. The product
// is formed in double precision and each part rounded to float, so the
// sound is the same bit for bit wherever it is computed in IEEE arithmetic.
#pragma once

#include <array>
#include <bit>
#include <bitset>
#include <complex>
#include <cstddef>
#include <cstdint>

struct Resonator {
    std::complex<float> state{0.0f, 0.0f};
    std::complex<float> coefficient{0.0f, 0.0f};

    // Below this modulus (or at NaN) a ringing state is set to exact zero.
    static constexpr double kSilence = 0.00001;
    // Turns velocity 127 into amplitude 1.0.
    static constexpr double kVelocityScale = 0.007874015748031496;  // 1/127

    void reset() noexcept {
        state = {0.0f, 0.0f};
        coefficient = {0.0f, 0.0f};
    }

    // Starts a click of `note` at `velocity`, cutting off whatever rings.
    // `rateFactor` is 44100 / sample rate: pitch and decay per second stay
    // the same at every rate.
    void start(int note, int velocity, float rateFactor) noexcept {
        start(coefficientFor(note, rateFactor), velocity);
    }

    // The same with the note's coefficient already at hand.
    void start(std::complex<float> noteCoefficient, int velocity) noexcept {
        coefficient = noteCoefficient;
        state = {static_cast<float>(velocity * kVelocityScale), 0.0f};
    }

    // The per-frame multiplier e^z of `note` at `rateFactor`.
    static std::complex<float> coefficientFor(int note, float rateFactor) noexcept;

    bool silent() const noexcept { return state.real() == 0.0f && state.imag() == 0.0f; }

    // One frame's product without the gate, on parts held in locals:
    // state * coefficient with products and sums in double, each new part
    // rounded to float.
    static void multiply(float& re, float& im, double cr, double ci) noexcept {
        const auto nextRe = static_cast<float>(re * cr - im * ci);
        im = static_cast<float>(re * ci + im * cr);
        re = nextRe;
    }

    // The gate's decision: is |re + i im|, as the standard library's float
    // complex modulus computes it, below kSilence or NaN? Decided from the
    // exact sum of squares when it is clearly on one side; the library is
    // asked only in a narrow band around the threshold (and for NaN), so the
    // decision is always the library's own.
    static bool belowSilence(float re, float im) noexcept {
        const double squares = static_cast<double>(re) * re + static_cast<double>(im) * im;
        if (squares < kClearlyBelow) return true;
        if (squares > kClearlyAbove) return false;
        return libraryBelowSilence(re, im);
    }

    static bool libraryBelowSilence(float re, float im) noexcept;

private:
    // The largest float below kSilence is 9.999999747378752e-06, the next one
    // up 1.0000000656873453e-05. A modulus library within a few units in the
    // last place decides everything outside [below, above] the same way; the
    // squares of the band's ends are taken a further few units out.
    static constexpr double kFloatBelow = 9.999999747378752e-06;
    static constexpr double kFloatAbove = 1.0000000656873453e-05;
    static constexpr double kBand = 4.0 / 16777216.0;  // four float ulps, relative
    static constexpr double kClearlyBelow = (kFloatBelow * (1.0 - kBand)) * (kFloatBelow * (1.0 - kBand));
    static constexpr double kClearlyAbove = (kFloatAbove * (1.0 + kBand)) * (kFloatAbove * (1.0 + kBand));
};

// The coefficients of the notes a host plays, at the rateFactor in force.
// Computing one takes an exponential, a cosine and a sine, which would cost
// a click start more than rendering several frames; a note's coefficient
// depends on nothing but the note and rateFactor, so each is computed by
// Resonator::coefficientFor the first time its note starts and reused, bit
// for bit the same, until rateFactor changes.
class CoefficientCache {
public:
    std::complex<float> get(int note, float rateFactor) noexcept {
        if (note < 0 || note >= kNotes) return Resonator::coefficientFor(note, rateFactor);
        const auto rateBits = std::bit_cast<std::uint32_t>(rateFactor);
        if (rateBits != rateBits_) {
            known_.reset();
            rateBits_ = rateBits;
        }
        if (!known_[static_cast<std::size_t>(note)]) {
            values_[static_cast<std::size_t>(note)] = Resonator::coefficientFor(note, rateFactor);
            known_[static_cast<std::size_t>(note)] = true;
        }
        return values_[static_cast<std::size_t>(note)];
    }

private:
    static constexpr int kNotes = 128;
    std::array<std::complex<float>, kNotes> values_{};
    std::bitset<kNotes> known_;    // which of values_ hold the note's coefficient at rateBits_
    std::uint32_t rateBits_ = 0;   // the rateFactor they were computed for, as bits
};
