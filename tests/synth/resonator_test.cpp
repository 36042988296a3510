// The resonator's shortcuts against the slow ways they stand in for.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "host/abi/opcodes.h"
#include "synth/kestravian.h"
#include "synth/resonator.h"
#include "tests/reference/reference.h"
#include "tests/synth/quiet_host.h"

namespace {

std::uint64_t bitsOf(std::complex<float> z) {
    std::uint64_t bits;
    std::memcpy(&bits, &z, sizeof bits);
    return bits;
}

// The gate decides most states from the sum of squares and asks the library
// only near the threshold; every decision must be the library's. Swept ulp
// by ulp across the threshold, well beyond the band on both sides, at
// angles that put the modulus on an axis, on a diagonal and in between.
TEST(SilenceGate, DecidesAsTheLibraryModulusDoes) {
    const float threshold = static_cast<float>(Resonator::kSilence);
    float from = threshold, to = threshold;
    for (int i = 0; i < 3000; ++i) {
        from = std::nextafter(from, 0.0f);
        to = std::nextafter(to, 1.0f);
    }
    const double angles[] = {0.0, std::numbers::pi / 2, std::numbers::pi / 4, 0.3, 1.0, 2.5, -2.0, 3.1};
    long decided = 0;
    for (double angle : angles) {
        for (float m = from; m <= to; m = std::nextafter(m, 1.0f)) {
            const auto re = static_cast<float>(m * std::cos(angle));
            const auto im = static_cast<float>(m * std::sin(angle));
            ASSERT_EQ(Resonator::belowSilence(re, im), Resonator::libraryBelowSilence(re, im))
                << std::hexfloat << "(" << re << ", " << im << ")";
            ++decided;
        }
    }
    EXPECT_GT(decided, 40000);
}

TEST(SilenceGate, NanInfinityZeroAndExtremesAsTheLibrary) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float big = std::numeric_limits<float>::max();
    const float tiny = std::numeric_limits<float>::denorm_min();
    const float values[] = {0.0f, -0.0f, tiny, -tiny, 1e-6f, -7e-6f, 1e-5f, 0.5f, -1.0f, big, -big, inf, -inf, nan};
    for (float re : values) {
        for (float im : values) {
            EXPECT_EQ(Resonator::belowSilence(re, im), Resonator::libraryBelowSilence(re, im))
                << "(" << re << ", " << im << ")";
        }
    }
    EXPECT_TRUE(Resonator::belowSilence(nan, 1.0f));
    EXPECT_TRUE(Resonator::belowSilence(0.0f, 0.0f));
    EXPECT_FALSE(Resonator::belowSilence(-inf, 0.0f));
}

TEST(SilenceGate, RandomStatesAsTheLibrary) {
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> logModulus(std::log(1e-7), std::log(1e-3));
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    for (int i = 0; i < 200000; ++i) {
        const double m = std::exp(logModulus(rng)), a = angle(rng);
        const auto re = static_cast<float>(m * std::cos(a));
        const auto im = static_cast<float>(m * std::sin(a));
        ASSERT_EQ(Resonator::belowSilence(re, im), Resonator::libraryBelowSilence(re, im))
            << std::hexfloat << "(" << re << ", " << im << ")";
    }
}

// Starts take each note's coefficient from a table kept for the rate in
// force. Whatever rates came before, every note must start with exactly the
// coefficient computed afresh for the current rate.
TEST(CoefficientCache, EveryNoteStartsWithTheCoefficientOfTheRateInForce) {
    auto* effect = new Kestravian(quietHost);
    AEffect* record = effect->getAeffect();
    const auto dispatch = [&](std::int32_t opcode, VstIntPtr value, void* ptr, float opt) {
        return record->dispatcher(record, opcode, 0, value, ptr, opt);
    };
    float sample = 0.0f;
    float* outputs[1] = {&sample};
    for (float rate : {44100.0f, 48000.0f, 44100.0f, 22050.0f, 22050.0f, 96000.0f, 8000.0f, 44100.0f}) {
        dispatch(effSetSampleRate, 0, nullptr, rate);
        for (int note = 0; note < 128; ++note) {
            reference::NoteOnList list(1);
            list.add(0, note, 100);
            dispatch(effProcessEvents, 0, list.get(), 0.0f);
            record->processReplacing(record, nullptr, outputs, 1);
            ASSERT_EQ(bitsOf(effect->getResonator().coefficient),
                      bitsOf(Resonator::coefficientFor(note, effect->getRateFactor())))
                << "note " << note << " at " << rate << " Hz";
        }
    }
    dispatch(effClose, 0, nullptr, 0.0f);
}

}  // namespace
