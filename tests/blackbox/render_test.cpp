// The sound: onsets, pitch, decay and exact samples against the plain
// reference, through both render entries and across blocks.
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "tests/blackbox/blackbox.h"

using namespace blackbox;

namespace {

void expectSameSamples(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_TRUE(sameBits(got, want));  // -0 and +0 told apart
}

// Per-frame angle from the zero crossings of a ringing click: sin(n theta)
// crosses zero at n = k pi / theta whatever the decay.
double measuredAngle(const std::vector<float>& s, std::size_t from) {
    double lastCrossing = 0.0;
    int crossings = 0;
    for (std::size_t i = from + 2; i < s.size() && s[i] != 0.0f; ++i) {
        if ((s[i - 1] > 0.0f) != (s[i] > 0.0f)) {
            const double t = (i - 1 - from) + s[i - 1] / (s[i - 1] - s[i]);
            lastCrossing = t;
            ++crossings;
        }
    }
    return crossings > 0 ? crossings * std::numbers::pi / lastCrossing : 0.0;
}

}  // namespace

TEST(Sound, Note60FromItsFrameOnIsTheWorkedSine) {
    Plugin p;
    aerie::EventList events;
    events.addNoteOn(10, 60, 127);
    p.send(events);
    const auto out = p.render(64);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], 0.0f);
    const float expected[] = {0.0f, 0.5390f, 0.8312f, 0.8049f, 0.5057f, 0.0674f};
    for (int m = 0; m < 6; ++m) EXPECT_NEAR(out[10 + m], expected[m], 1e-4) << "frame " << 10 + m;
}

TEST(Sound, RingLengthsOfTheLowestAndHighestNotes) {
    Plugin p;
    const auto low = renderNotes(p, {{0, 0, 127}}, 16384, 512);
    EXPECT_NEAR(static_cast<double>(ringLength(low, 0)), 11513.0, 3.0);
    const auto high = renderNotes(p, {{0, 127, 127}}, 512, 512);
    EXPECT_NEAR(static_cast<double>(ringLength(high, 0)), 90.0, 2.0);
}

TEST(Sound, PitchIsTheSameAtEveryRateSetWithSetSampleRate) {
    for (float rate : {22050.0f, 44100.0f, 48000.0f, 96000.0f}) {
        Plugin p(rate);
        const auto out = renderNotes(p, {{0, 0, 127}}, static_cast<std::int64_t>(rate), 512);
        const double hz = measuredAngle(out, 0) * rate / (2.0 * std::numbers::pi);
        EXPECT_NEAR(hz, 441.0 / (2.0 * std::numbers::pi), 0.05) << "at " << rate << " Hz";
    }
}

TEST(Sound, BlockSizeAndRateTogetherLeaveTheClicksRateAlone) {
    Plugin p;
    p.dispatch(effSetBlockSizeAndSampleRate, 0, 512, nullptr, 22050.0f);
    Reference at44100(44100.0f);
    at44100.noteOn(0, 30, 100);
    aerie::EventList events;
    events.addNoteOn(0, 30, 100);
    p.send(events);
    expectSameSamples(p.render(1024), at44100.render(1024));

    p.dispatch(effSetSampleRate, 0, 0, nullptr, 22050.0f);
    Reference at22050(22050.0f);
    at22050.noteOn(0, 30, 100);
    p.send(events);
    expectSameSamples(p.render(1024), at22050.render(1024));
}

TEST(Sound, RatesThatMakeNoSenseKeepTheLastGoodOne) {
    for (float bad : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(),
                      std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity()}) {
        Plugin p(48000.0f);
        p.dispatch(effSetSampleRate, 0, 0, nullptr, bad);
        Reference at48000(48000.0f);
        at48000.noteOn(3, 50, 127);
        aerie::EventList events;
        events.addNoteOn(3, 50, 127);
        p.send(events);
        expectSameSamples(p.render(4096), at48000.render(4096));
    }
}

// Event lists as hosts send them, and the clicks they must produce.
TEST(Schedule, WhichNoteOnsStartWhichClicks) {
    struct Event {
        std::int32_t frame;
        unsigned char status, data1, data2;
    };
    struct Click {
        std::int32_t frame;
        int note, velocity;
    };
    const struct Case {
        const char* what;
        std::vector<std::vector<Event>> calls;  // one list per effProcessEvents
        std::vector<Click> expected;
    } cases[] = {
        {"louder second wins", {{{10, 0x90, 60, 90}, {10, 0x90, 64, 100}}}, {{10, 64, 100}}},
        {"softer second dropped", {{{10, 0x90, 64, 100}, {10, 0x90, 60, 90}}}, {{10, 64, 100}}},
        {"equal: first stays", {{{10, 0x90, 60, 80}, {10, 0x90, 72, 80}}}, {{10, 60, 80}}},
        {"one event per call merges the same", {{{10, 0x90, 60, 90}}, {{10, 0x90, 64, 100}}, {{10, 0x90, 40, 100}}},
         {{10, 64, 100}}},
        {"every channel", {{{5, 0x9F, 60, 100}, {50, 0x93, 70, 100}}}, {{5, 60, 100}, {50, 70, 100}}},
        {"note-offs and others ignored",
         {{{5, 0x80, 60, 100}, {6, 0x8F, 60, 100}, {7, 0xA0, 60, 100}, {8, 0xB0, 60, 100}, {9, 0xE0, 60, 100}}},
         {}},
        {"data bytes masked", {{{4, 0x90, 0xC5, 0xFF}}}, {{4, 69, 127}}},
        {"negative and zero: one start per frame", {{{0, 0x90, 80, 127}, {-3, 0x90, 40, 127}}},
         {{-3, 40, 127}, {0, 80, 127}}},
        {"visited in frame order", {{{5, 0x90, 60, 127}, {-2, 0x90, 61, 127}, {40, 0x90, 62, 127}}},
         {{-2, 61, 127}, {5, 60, 127}, {40, 62, 127}}},
        {"velocity zero silences", {{{0, 0x90, 20, 127}, {100, 0x90, 60, 0}}}, {{0, 20, 127}, {100, 60, 0}}},
        {"velocity zero loses to a click", {{{100, 0x90, 60, 10}, {100, 0x90, 30, 0}}}, {{100, 60, 10}}},
        {"beyond the block never sounds", {{{256, 0x90, 60, 127}, {1000000, 0x90, 60, 127}}}, {}},
        {"last frame of the block", {{{255, 0x90, 60, 127}}}, {{255, 60, 127}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Plugin p;
        for (const auto& call : c.calls) {
            aerie::EventList events;
            for (const Event& e : call) events.addMidi(e.frame, e.status, e.data1, e.data2);
            EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, events.get()), 1);
        }
        Reference ref;
        for (const Click& k : c.expected) ref.noteOn(k.frame, k.note, k.velocity);
        expectSameSamples(p.render(256), ref.render(256));
        expectSameSamples(p.render(256), ref.render(256));  // nothing left over for the next block
    }
}

TEST(Schedule, OtherEventTypesAndNullEntriesAreSkipped) {
    Plugin p;
    aerie::EventList events;
    VstEvent other{};
    other.type = 6;  // not MIDI, though its bytes look like a note-on
    other.deltaFrames = 1;
    other.data[12] = static_cast<char>(0x90);
    other.data[13] = 60;
    other.data[14] = 127;
    events.addNull();
    events.addRaw(other);
    events.addNull();
    events.addNoteOn(2, 61, 127);
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, events.get()), 1);
    Reference ref;
    ref.noteOn(2, 61, 127);
    expectSameSamples(p.render(128), ref.render(128));

    Plugin q;
    aerie::EventList negative;
    negative.addNoteOn(0, 60, 127);
    VstEvents* n = negative.get();
    n->numEvents = -1;
    EXPECT_EQ(q.dispatch(effProcessEvents, 0, 0, n), 1);
    for (float s : q.render(64)) EXPECT_EQ(s, 0.0f);
}

TEST(Render, AccumulateAddsOntoTheHostsSamples) {
    Plugin p;
    aerie::EventList events;
    events.addNoteOn(5, 60, 127);
    p.send(events);
    std::vector<float> buffer(64, 0.5f);
    buffer[20] = -0.0f;
    p.accumulate(buffer);
    Reference ref;
    ref.noteOn(5, 60, 127);
    const auto click = ref.render(64);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        const float base = i == 20 ? -0.0f : 0.5f;
        EXPECT_EQ(buffer[i], static_cast<float>(static_cast<double>(base) + click[i])) << "frame " << i;
    }
    EXPECT_EQ(buffer[5], 0.5f);  // the starting frame carries nothing from the resonator

    std::vector<float> silent(64, 0.25f);
    for (int i = 0; i < 3; ++i) p.render(4096);  // let it decay fully
    p.accumulate(silent);
    for (float s : silent) EXPECT_EQ(s, 0.25f);
}

TEST(Render, OnlyTheFirstOutputIsWrittenAndNothingPastTheFrames) {
    Plugin p;
    aerie::EventList events;
    events.addNoteOn(0, 60, 127);
    p.send(events);
    std::vector<float> first(72, 7.0f), second(72, 7.0f);
    float* outputs[2] = {first.data() + 4, second.data() + 4};
    p.instance->raw().processReplacing(nullptr, outputs, 64);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(first[i], 7.0f);
    for (int i = 68; i < 72; ++i) EXPECT_EQ(first[i], 7.0f);
    for (float s : second) EXPECT_EQ(s, 7.0f);
}

TEST(Render, EmptyBlocksWriteNothingAndForgetTheSchedule) {
    for (std::int32_t frames : {0, -1, std::numeric_limits<std::int32_t>::min()}) {
        Plugin p;
        aerie::EventList events;
        events.addNoteOn(0, 60, 127);
        p.send(events);
        std::vector<float> buffer(8, 3.0f);
        float* outputs[1] = {buffer.data()};
        p.instance->raw().processReplacing(nullptr, outputs, frames);
        for (float s : buffer) EXPECT_EQ(s, 3.0f);
        for (float s : p.render(64)) EXPECT_EQ(s, 0.0f);
    }
}

TEST(Render, ClicksRingOnAcrossBlocksOfAnySize) {
    Plugin whole, pieces;
    const std::vector<Note> notes = {{10, 12, 127}, {3000, 40, 90}, {3001, 45, 100}};
    const auto once = renderNotes(whole, notes, 8192, 8192);
    const auto blocks = renderNotes(pieces, notes, 8192, 97);
    expectSameSamples(blocks, once);
}

TEST(Render, LongRandomSessionMatchesTheReferenceExactly) {
    std::mt19937 rng(20261209);
    for (float rate : {44100.0f, 48000.0f}) {
        Plugin p(rate);
        Reference ref(rate);
        std::vector<float> got, want;
        for (int block = 0; block < 400; ++block) {
            const std::int32_t frames = std::uniform_int_distribution<std::int32_t>(1, 1024)(rng);
            const int count = std::uniform_int_distribution<int>(0, 4)(rng);
            aerie::EventList events;
            for (int n = 0; n < count; ++n) {
                // Mostly inside the block, sometimes before or after it.
                const std::int32_t frame = std::uniform_int_distribution<std::int32_t>(-8, frames + 8)(rng);
                const int note = std::uniform_int_distribution<int>(0, 127)(rng);
                const int velocity = std::uniform_int_distribution<int>(0, 127)(rng);
                events.addNoteOn(frame, note, velocity);
                ref.noteOn(frame, note, velocity);
            }
            p.send(events);
            const auto a = p.render(frames);
            const auto b = ref.render(frames);
            got.insert(got.end(), a.begin(), a.end());
            want.insert(want.end(), b.begin(), b.end());
        }
        expectSameSamples(got, want);
        for (float s : got) ASSERT_TRUE(std::isfinite(s));
    }
}

// A fixed session's samples, hashed bit for bit. Every build of the module
// must produce exactly these: the same plug-in sounds the same on 32-bit and
// 64-bit hosts (a 32-bit build computing in x87 precision would not).
TEST(Render, FixedSessionIsBitIdenticalOnEveryPlatform) {
    std::mt19937 rng(7);
    Plugin p(48000.0f);
    kit::SampleDigest digest;
    for (int block = 0; block < 200; ++block) {
        aerie::EventList events;
        // Straight from the generator, whose output the standard fixes: the
        // distributions are each library's own and would differ.
        for (int n = 0; n < 3; ++n) {
            const auto frame = static_cast<std::int32_t>(rng() % 512);
            const auto note = static_cast<int>(rng() % 128);
            const auto velocity = static_cast<int>(1 + rng() % 127);
            events.addNoteOn(frame, note, velocity);
        }
        p.send(events);
        digest.add(p.render(512));
    }
    EXPECT_EQ(digest.value(), 0x1e65c43fd71b67c8ull) << std::hex << "digest 0x" << digest.value();
}
