// The example tremolo through a host's eyes: its sound measured (gains in
// dB, modulation periods free and synced to the host's tempo, the right
// channel's lag in frames), its texts, programs and chunks, those its
// earlier versions saved included. Run as kstv_tremolo_tests --module=PATH
// --data=FOLDER.
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/kit/chunk.h"
#include "tests/kit/kit.h"

namespace {

enum Param : std::int32_t { kRate, kDepth, kShape, kSpread, kSync };
constexpr float kSquare = 1.0f, kTriangle = 0.5f, kSmooth = 0.0f;

// A host that keeps time: a tempo and a time signature, or none.
struct TimeHost : aerie::Host {
    VstIntPtr answer(const aerie::HostRequest& r) override {
        if (r.opcode != audioMasterGetTime) return Host::answer(r);
        if (tempo <= 0.0) return 0;
        time = {};
        time.sampleRate = sampleRate;
        time.tempo = tempo;
        time.timeSigNumerator = numerator;
        time.timeSigDenominator = 4;
        time.flags = kVstTransportPlaying | kVstTempoValid | kVstTimeSigValid;
        return reinterpret_cast<VstIntPtr>(&time);
    }
    double tempo = 0.0;
    std::int32_t numerator = 4;
    VstTimeInfo time{};
};

struct Tremolo {
    explicit Tremolo(float rate = 44100.0f, double tempo = 0.0, std::int32_t numerator = 4) {
        host.sampleRate = rate;
        host.tempo = tempo;
        host.numerator = numerator;
        instance = std::make_unique<aerie::Instance>(kit::module(), host);
        dispatch(effSetSampleRate, 0, 0, nullptr, rate);
        dispatch(effMainsChanged, 0, 1);
    }
    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) {
        return instance->raw().dispatch(opcode, index, value, ptr, opt);
    }
    void set(float rate, float depth, float shape, float spread = 0.0f) {
        const float values[] = {rate, depth, shape, spread};
        for (std::int32_t i = 0; i < 4; ++i) instance->raw().setParameter(i, values[i]);
    }
    // Renders `frames` of constant `left` and `right` input; returns both outputs.
    std::pair<std::vector<float>, std::vector<float>> render(std::int32_t frames, float left = 1.0f,
                                                             float right = 1.0f) {
        std::vector<float> inL(frames, left), inR(frames, right), outL(frames, 99.0f), outR(frames, 99.0f);
        float* ins[2] = {inL.data(), inR.data()};
        float* outs[2] = {outL.data(), outR.data()};
        instance->raw().processReplacing(ins, outs, frames);
        return {outL, outR};
    }
    std::vector<unsigned char> chunk(bool preset) {
        return kit::chunkOf([this](std::int32_t op, std::int32_t i, VstIntPtr v, void* p) { return dispatch(op, i, v, p); }, preset);
    }
    TimeHost host;
    std::unique_ptr<aerie::Instance> instance;
};

std::vector<unsigned char> dataFile(const std::string& name) {
    std::ifstream in(kit::option("data") + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Frames at which a square-shaped gain falls (from its high to its low value).
std::vector<std::int64_t> fallingEdges(const std::vector<float>& signal) {
    std::vector<std::int64_t> edges;
    for (std::size_t i = 1; i < signal.size(); ++i) {
        if (signal[i] < signal[i - 1]) edges.push_back(static_cast<std::int64_t>(i));
    }
    return edges;
}

}  // namespace

TEST(Sound, GainsAreExactlyTheDecibelsShown) {
    const struct {
        float depth;
        const char* shown;  // the lowest gain, in dB
        double db;
    } cases[] = {
        {0.0f, "0.00", 0.0}, {0.5f, "-6.02", -6.0206}, {0.75f, "-12.04", -12.0412}, {1.0f, "-inf", -INFINITY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        Tremolo t;
        t.set(0.25f, c.depth, kSquare);  // 5 Hz: 4410 frames high, 4410 low
        EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, kDepth), c.shown);
        const auto [left, right] = t.render(8820, 0.8f, -0.3f);
        EXPECT_EQ(left[100], 0.8f);  // the high half passes the input unchanged
        EXPECT_EQ(right[100], -0.3f);
        const double lowL = left[6000] / static_cast<double>(0.8f);
        const double lowR = right[6000] / static_cast<double>(-0.3f);
        EXPECT_EQ(lowL, 1.0 - c.depth);  // to the bit: these gains need no rounding
        EXPECT_EQ(lowR, 1.0 - c.depth);
        if (c.depth < 1.0f) {
            EXPECT_NEAR(20.0 * std::log10(lowL), c.db, 1e-4);
        }
    }
}

TEST(Sound, ModulationPeriodInFrames) {
    const struct {
        float rate, value;
        double period;  // frames
        const char* shown;
    } cases[] = {
        {44100.0f, 0.25f, 8820.0, "5.00"}, {48000.0f, 0.25f, 9600.0, "5.00"},
        {44100.0f, 0.5f, 4410.0, "10.0"},  {96000.0f, 1.0f, 4800.0, "20.0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << " at " << c.rate << " Hz");
        Tremolo t(c.rate);
        t.set(c.value, 1.0f, kSquare);
        EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, kRate), c.shown);
        EXPECT_EQ(t.instance->raw().text(effGetParamLabel, kRate), "Hz");
        const auto edges = fallingEdges(t.render(static_cast<std::int32_t>(10.6 * c.period)).first);
        ASSERT_EQ(edges.size(), 11u);
        for (std::size_t k = 0; k < edges.size(); ++k) {
            // Half a period high first, then low; a frame either way for the
            // rounding of the phase's steps.
            EXPECT_NEAR(static_cast<double>(edges[k]), (k + 0.5) * c.period, 1.0) << "edge " << k;
        }
    }
}

TEST(Sound, ShapesBetweenTheirHighAndLowGain) {
    // At a quarter period the triangle is halfway down, the smooth shape too
    // (it is symmetric about it), and both reach the low gain at half a period.
    for (float shape : {kTriangle, kSmooth}) {
        Tremolo t;
        t.set(0.25f, 0.5f, shape);
        const auto left = t.render(8820).first;
        EXPECT_EQ(left[0], 1.0f);
        EXPECT_NEAR(left[2205], 0.75f, 1e-6);
        EXPECT_EQ(left[4410], 0.5f);
        EXPECT_LT(left[1000], shape == kTriangle ? 0.9f : 0.95f);
        EXPECT_GT(left[1000], shape == kTriangle ? 0.85f : 0.9f);
    }
}

TEST(Sound, RightChannelLagsBySpreadInFrames) {
    Tremolo t;
    t.set(0.25f, 1.0f, kSquare, 0.05f);  // 50 ms: 2205 frames
    EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, kSpread), "50.0");
    EXPECT_EQ(t.instance->raw().text(effGetParamLabel, kSpread), "ms");
    const auto [left, right] = t.render(20000);
    const auto l = fallingEdges(left), r = fallingEdges(right);
    ASSERT_GE(l.size(), 2u);
    ASSERT_GE(r.size(), 2u);
    EXPECT_NEAR(static_cast<double>(r[0] - l[0]), 2205.0, 1.0);
    EXPECT_NEAR(static_cast<double>(r[1] - l[1]), 2205.0, 1.0);
}

TEST(Sound, AccumulateAddsWhatReplacingWrites) {
    Tremolo a, b;
    a.set(0.3f, 0.7f, kSmooth, 0.2f);
    b.set(0.3f, 0.7f, kSmooth, 0.2f);
    const auto [wantL, wantR] = a.render(3000, 0.6f, -0.4f);
    std::vector<float> inL(3000, 0.6f), inR(3000, -0.4f), outL(3000, 0.25f), outR(3000, -0.5f);
    float* ins[2] = {inL.data(), inR.data()};
    float* outs[2] = {outL.data(), outR.data()};
    b.instance->raw().process(ins, outs, 3000);
    for (std::size_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(outL[i], 0.25f + wantL[i]) << i;
        ASSERT_EQ(outR[i], -0.5f + wantR[i]) << i;
    }
}

// A fixed session's samples, hashed bit for bit: every build of the module
// renders exactly these.
TEST(Sound, FixedSessionIsBitIdenticalOnEveryPlatform) {
    std::mt19937 rng(11);
    Tremolo t(48000.0f);
    kit::SampleDigest digest;
    std::vector<float> inL(512), inR(512), outL(512), outR(512);
    for (int block = 0; block < 100; ++block) {
        if (block % 10 == 0) {
            // Values straight from the generator, whose output the standard fixes.
            for (std::int32_t i = 0; i < 4; ++i) t.instance->raw().setParameter(i, static_cast<float>(rng() % 1001) / 1000.0f);
        }
        for (std::size_t i = 0; i < 512; ++i) {
            inL[i] = static_cast<float>(static_cast<std::int32_t>(rng() % 65536) - 32768) / 32768.0f;
            inR[i] = static_cast<float>(static_cast<std::int32_t>(rng() % 65536) - 32768) / 32768.0f;
        }
        float* ins[2] = {inL.data(), inR.data()};
        float* outs[2] = {outL.data(), outR.data()};
        t.instance->raw().processReplacing(ins, outs, 512);
        digest.add(outL);
        digest.add(outR);
    }
    EXPECT_EQ(digest.value(), 0x8d186a29106ef717ull) << std::hex << "digest 0x" << digest.value();
}

TEST(Texts, NamesLabelsAndDisplays) {
    Tremolo t;
    const char* names[] = {"Rate", "Depth", "Shape", "Spread", "Sync"};
    const char* labels[] = {"Hz", "dB", "", "ms", ""};
    for (std::int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(t.instance->raw().text(effGetParamName, i), names[i]);
        EXPECT_EQ(t.instance->raw().text(effGetParamLabel, i), labels[i]);
    }
    const struct {
        std::int32_t param;
        float value;
        const char* shown;
    } cases[] = {
        {kRate, 0.0f, "0.000"}, {kShape, kSmooth, "Smooth"}, {kShape, 0.4f, "Triangle"},
        {kShape, kSquare, "Square"}, {kSpread, 1.0f, "1.00"}, {kSpread, 0.0f, "0.000"},
        {kSync, 0.0f, "Off"}, {kSync, 3.0f / 7.0f, "1/4"}, {kSync, 1.0f, "4 bars"},
    };
    for (const auto& c : cases) {
        t.instance->raw().setParameter(c.param, c.value);
        EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, c.param), c.shown) << names[c.param] << " " << c.value;
    }
    // Out of range and not a number: clamped, or kept as they were.
    t.instance->raw().setParameter(kDepth, 7.0f);
    EXPECT_EQ(t.instance->raw().getParameter(kDepth), 1.0f);
    t.instance->raw().setParameter(kDepth, NAN);
    EXPECT_EQ(t.instance->raw().getParameter(kDepth), 1.0f);
    t.instance->raw().setParameter(kDepth, -1.0f);
    EXPECT_EQ(t.instance->raw().getParameter(kDepth), 0.0f);
}

TEST(Programs, ThreeNamedProgramsEachWithItsOwnValues) {
    Tremolo t;
    ASSERT_EQ(t.instance->numPrograms(), 3);
    const char* names[] = {"Gentle", "Chop", "Wide"};
    for (std::int32_t p = 0; p < 3; ++p) EXPECT_EQ(t.instance->raw().text(effGetProgramNameIndexed, p), names[p]);
    EXPECT_EQ(t.dispatch(effGetProgramNameIndexed, 3, 0, nullptr), 0);

    t.dispatch(effSetProgram, 0, 1);
    EXPECT_EQ(t.instance->raw().text(effGetProgramName), "Chop");
    EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, kShape), "Square");
    t.instance->raw().setParameter(kRate, 0.5f);
    char name[] = "A name longer than twenty-three characters";
    t.dispatch(effSetProgramName, 0, 0, name);
    EXPECT_EQ(t.instance->raw().text(effGetProgramName), "A name longer than twen");

    t.dispatch(effSetProgram, 0, 0);  // the others keep their own
    EXPECT_EQ(t.instance->raw().getParameter(kRate), 0.2f);
    EXPECT_EQ(t.dispatch(effCopyProgram, 2), 1);
    t.dispatch(effSetProgram, 0, 2);
    EXPECT_EQ(t.instance->raw().text(effGetProgramName), "Gentle");
    EXPECT_EQ(t.dispatch(effCopyProgram, 3), 0);
    t.dispatch(effSetProgram, 0, -1);  // below the range: ignored
    EXPECT_EQ(t.dispatch(effGetProgram), 2);
}

TEST(Chunks, BankAndProgramComeBackAsSaved) {
    Tremolo t;
    ASSERT_TRUE(t.instance->hasChunks());
    t.dispatch(effSetProgram, 0, 1);
    t.instance->raw().setParameter(kDepth, 0.125f);
    t.instance->raw().setParameter(kSync, 1.0f);
    const auto bank = t.chunk(false), program = t.chunk(true);
    ASSERT_GT(bank.size(), program.size());

    Tremolo other;
    auto copy = bank;
    EXPECT_EQ(other.dispatch(effSetChunk, 0, static_cast<VstIntPtr>(copy.size()), copy.data()), 1);
    EXPECT_EQ(other.dispatch(effGetProgram), 1);
    EXPECT_EQ(other.instance->raw().getParameter(kDepth), 0.125f);
    EXPECT_EQ(other.instance->raw().text(effGetParamDisplay, kSync), "4 bars");
    EXPECT_EQ(other.chunk(false), bank);

    other.dispatch(effSetProgram, 0, 2);  // a program chunk goes into the current program
    copy = program;
    EXPECT_EQ(other.dispatch(effSetChunk, 1, static_cast<VstIntPtr>(copy.size()), copy.data()), 1);
    EXPECT_EQ(other.instance->raw().text(effGetProgramName), "Chop");
    EXPECT_EQ(other.instance->raw().getParameter(kDepth), 0.125f);
}

// Chunks saved by the tremolo before it had a tempo-synced rate (4
// parameters, its own layout): program 1 renamed "Saved Chop" with depth
// 0.125, program 2 current with rate 0.55 and spread 0.75.
TEST(Chunks, WhatTheFourParameterTremoloSavedLoads) {
    const struct {
        std::int32_t program;
        const char* name;
        float values[4];
    } want[] = {
        {0, "Gentle", {0.2f, 0.3f, 0.0f, 0.0f}},
        {1, "Saved Chop", {0.4f, 0.125f, 1.0f, 0.0f}},
        {2, "Wide", {0.55f, 0.6f, 0.5f, 0.75f}},
    };
    auto bank = dataFile("tremolo-4param-bank.bin"), program = dataFile("tremolo-4param-program.bin");
    ASSERT_EQ(bank.size(), 136u);
    ASSERT_EQ(program.size(), 52u);
    Tremolo t;
    t.instance->raw().setParameter(kSync, 1.0f);
    ASSERT_EQ(t.dispatch(effSetChunk, 0, static_cast<VstIntPtr>(bank.size()), bank.data()), 1);
    EXPECT_EQ(t.dispatch(effGetProgram), 2);
    for (const auto& w : want) {
        SCOPED_TRACE(w.name);
        t.dispatch(effSetProgram, 0, w.program);
        EXPECT_EQ(t.instance->raw().text(effGetProgramName), w.name);
        for (std::int32_t i = 0; i < 4; ++i) EXPECT_EQ(t.instance->raw().getParameter(i), w.values[i]) << i;
        EXPECT_EQ(t.instance->raw().text(effGetParamDisplay, kSync), "Off");  // it had none: the free rate
    }
    Tremolo u;
    ASSERT_EQ(u.dispatch(effSetChunk, 1, static_cast<VstIntPtr>(program.size()), program.data()), 1);
    EXPECT_EQ(u.instance->raw().text(effGetProgramName), "Wide");
    EXPECT_EQ(u.instance->raw().getParameter(kRate), 0.55f);

    // Damaged, they are refused as before and change nothing.
    const auto before = u.chunk(false);
    auto spoiled = bank;
    spoiled[4] = 2;  // version 2 of the old layout never existed
    auto nan = program;
    std::memcpy(nan.data() + 12 + 24, "\x00\x00\xC0\x7F", 4);
    for (auto* c : {&spoiled, &nan}) {
        const bool preset = c == &nan;
        EXPECT_EQ(u.dispatch(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(c->size()), c->data()), 0);
        c->pop_back();
        EXPECT_EQ(u.dispatch(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(c->size()), c->data()), 0);
    }
    EXPECT_EQ(u.chunk(false), before);
}

// Synced to the host's tempo: one period of the square shape per note value,
// at two tempos; without a tempo from the host, 120.
TEST(Sound, SyncedPeriodFollowsTheHostsTempo) {
    const struct {
        double tempo;
        std::int32_t numerator;
        float sync;
        double period;  // frames at 44100 Hz
    } cases[] = {
        {120.0, 4, 3.0f / 7.0f, 22050.0},  // 1/4 at 120: half a second
        {90.0, 4, 3.0f / 7.0f, 29400.0},   // 1/4 at 90
        {90.0, 4, 1.0f / 7.0f, 7350.0},    // 1/16 at 90
        {150.0, 3, 5.0f / 7.0f, 52920.0},  // a bar of 3/4 at 150: 1.2 s
        {0.0, 4, 3.0f / 7.0f, 22050.0},    // no time from the host
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.tempo << " bpm, sync " << c.sync);
        Tremolo t(44100.0f, c.tempo, c.numerator);
        t.set(0.5f, 1.0f, kSquare);  // the free rate (10 Hz) must not matter
        t.instance->raw().setParameter(kSync, c.sync);
        std::vector<float> left;
        for (int block = 0; block < static_cast<int>(4.2 * c.period / 512.0) + 1; ++block) {
            const auto out = t.render(512).first;
            left.insert(left.end(), out.begin(), out.end());
        }
        const auto edges = fallingEdges(left);
        ASSERT_GE(edges.size(), 4u);
        for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR(static_cast<double>(edges[k]), (k + 0.5) * c.period, 1.0) << k;
    }
}
