// The timeline: positions across tempo changes, bars across time-signature
// changes, two changes on one tick, and the settings it refuses.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include <aerie/host_error.h>
#include <aerie/timeline.h>

namespace {

// A tempo change in beats per minute: the one place that knows how a
// change stores its tempo.
aerie::TempoChange tempoAt(std::uint64_t tick, double beatsPerMinute) {
    return {tick, static_cast<std::uint32_t>(std::lround(60e6 / beatsPerMinute))};
}

// At 120 beats per minute and 44.1 kHz a quarter note is 22050 frames; 960
// ticks per quarter.
constexpr double kQuarter = 22050.0;
constexpr std::uint64_t kTicks = 960;

std::uint64_t frameAt(double ppq) { return static_cast<std::uint64_t>(ppq * kQuarter); }

// 48 kHz, 480 ticks per quarter: 120 BPM for two quarters (one second,
// 48000 frames), then 60 BPM; 3/4 throughout.
aerie::TimelineSettings tempoChange() {
    aerie::TimelineSettings s;
    s.sampleRate = 48000;
    s.ticksPerQuarter = 480;
    s.tempos = {{0, 500000}, {960, 1000000}};
    s.signatures = {{0, 3, 4}};
    return s;
}

TEST(Timeline, PositionsAcrossATempoChangeAreExact) {
    const aerie::Timeline t(tempoChange());
    struct Row {
        std::uint64_t frame;
        double ppq, bar, tempo;
        std::int32_t toClock;
    } rows[] = {
        {0, 0.0, 0.0, 120.0, 0},
        {100, 100.0 / 24000.0, 0.0, 120.0, 900},     // next clock at 1/24 quarter = frame 1000
        {24000, 1.0, 0.0, 120.0, 0},
        {48000, 2.0, 0.0, 60.0, 0},                  // the change itself
        {48001, 2.0 + 1.0 / 48000.0, 0.0, 60.0, 1999},
        {72000, 2.5, 0.0, 60.0, 0},
        {96000, 3.0, 3.0, 60.0, 0},                  // bar 2 of 3/4
        {480000, 11.0, 9.0, 60.0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.frame);
        VstTimeInfo info{};
        t.fill(info, r.frame, r.frame == 0);
        EXPECT_DOUBLE_EQ(info.ppqPos, r.ppq);
        EXPECT_DOUBLE_EQ(info.barStartPos, r.bar);
        EXPECT_DOUBLE_EQ(info.tempo, r.tempo);
        EXPECT_EQ(info.samplesToNextClock, r.toClock);
        EXPECT_DOUBLE_EQ(info.samplePos, static_cast<double>(r.frame));
        EXPECT_DOUBLE_EQ(info.nanoSeconds, static_cast<double>(r.frame) / 48000.0 * 1e9);
        EXPECT_EQ(info.timeSigNumerator, 3);
        EXPECT_EQ(info.timeSigDenominator, 4);
        const std::int32_t valid = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid |
                                   kVstClockValid | kVstNanosValid;
        EXPECT_EQ(info.flags, valid | (r.frame == 0 ? kVstTransportChanged : 0));
    }
    EXPECT_EQ(t.frameOfTick(960), 48000u);
    EXPECT_EQ(t.frameOfTick(1440), 96000u);
    EXPECT_EQ(t.tickAt(96000), 1440u);
    EXPECT_EQ(t.frameOfPpq(2.5), 72000u);

    // A change between two frames: 120 BPM for one tick of 480 (45.9375
    // frames at 44.1 kHz), then 100 BPM (26460 frames a quarter).
    aerie::TimelineSettings odd;
    odd.sampleRate = 44100;
    odd.ticksPerQuarter = 480;
    odd.tempos = {{0, 500000}, {1, 600000}};
    odd.loop = aerie::Loop{4.0, 8.0};
    const aerie::Timeline u(odd);
    EXPECT_DOUBLE_EQ(u.ppqAt(45), 45.0 / 22050.0);
    EXPECT_DOUBLE_EQ(u.ppqAt(46), 1.0 / 480.0 + 0.0625 / 26460.0);
    VstTimeInfo info{};
    u.fill(info, 46, false);
    EXPECT_DOUBLE_EQ(info.tempo, 100.0);
    EXPECT_EQ(info.flags & (kVstTransportCycleActive | kVstCyclePosValid), kVstTransportCycleActive | kVstCyclePosValid);
    EXPECT_DOUBLE_EQ(info.cycleStartPos, 4.0);
    EXPECT_DOUBLE_EQ(info.cycleEndPos, 8.0);
}

TEST(TimelineSignatures, BarsCountFromEachSignatureAsItStarts) {
    aerie::TimelineSettings s;
    // 4/4 for a bar, 3/4 for a bar, then 7/8; and 2/4 from the middle of a
    // 7/8 bar, where bars count anew.
    s.signatures = {{0, 4, 4}, {4 * kTicks, 3, 4}, {7 * kTicks, 7, 8}, {14 * kTicks, 2, 4}};
    const aerie::Timeline t(s);
    const struct Row {
        double ppq;
        double bar;
        int numerator, denominator;
    } rows[] = {
        {0.0, 0.0, 4, 4},   {3.5, 0.0, 4, 4},   {4.0, 4.0, 3, 4},    {6.5, 4.0, 3, 4},  {7.0, 7.0, 7, 8},
        {10.0, 7.0, 7, 8},  {10.5, 10.5, 7, 8}, {13.5, 10.5, 7, 8}, {14.0, 14.0, 2, 4}, {17.0, 16.0, 2, 4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.ppq);
        VstTimeInfo info{};
        t.fill(info, frameAt(r.ppq), false);
        EXPECT_DOUBLE_EQ(info.ppqPos, r.ppq);
        EXPECT_DOUBLE_EQ(info.barStartPos, r.bar);
        EXPECT_EQ(info.timeSigNumerator, r.numerator);
        EXPECT_EQ(info.timeSigDenominator, r.denominator);
        EXPECT_EQ(info.flags & (kVstBarsValid | kVstTimeSigValid), kVstBarsValid | kVstTimeSigValid);
    }
}

TEST(TimelineSignatures, OfTwoChangesOnOneTickTheLaterHolds) {
    aerie::TimelineSettings s;
    s.tempos = {tempoAt(0, 120), tempoAt(kTicks, 60), tempoAt(kTicks, 80)};
    s.signatures = {{0, 4, 4}, {0, 3, 4}, {3 * kTicks, 5, 4}, {3 * kTicks, 6, 8}};
    const aerie::Timeline t(s);
    VstTimeInfo info{};
    t.fill(info, 0, true);
    EXPECT_EQ(info.timeSigNumerator, 3);
    EXPECT_DOUBLE_EQ(info.tempo, 120.0);
    // One quarter at 120, then quarters of 33075 frames at 80.
    t.fill(info, 22050 + 33075, false);
    EXPECT_DOUBLE_EQ(info.tempo, 80.0);
    EXPECT_DOUBLE_EQ(info.ppqPos, 2.0);
    EXPECT_EQ(t.frameOfTick(3 * kTicks), 22050u + 2 * 33075u);
    t.fill(info, 22050 + 2 * 33075, false);
    EXPECT_EQ(info.timeSigNumerator, 6);
    EXPECT_EQ(info.timeSigDenominator, 8);
    EXPECT_DOUBLE_EQ(info.barStartPos, 3.0);
}

TEST(TimelineSignatures, ImpossibleSettingsAreRefused) {
    const struct Case {
        const char* what;
        aerie::TimelineSettings settings;
        const char* says;
    } cases[] = {
        {"no sample rate", {0, 960, {}, {}, {}, {}}, "a timeline needs a sample rate"},
        {"a tempo of 0", {44100, 960, {tempoAt(0, 120), {kTicks, 0}}, {}, {}, {}}, "a tempo of 0"},
        {"a tempo of 0 from the start", {44100, 960, {{0, 0}}, {}, {}, {}}, "a tempo of 0"},
        {"no beats", {44100, 960, {}, {{0, 0, 4}}, {}, {}}, "a time signature of 0/4"},
        {"negative beats", {44100, 960, {}, {{kTicks, -3, 4}}, {}, {}}, "a time signature of -3/4"},
        {"no beat length", {44100, 960, {}, {{0, 3, 0}}, {}, {}}, "a time signature of 3/0"},
        {"a beat length not a power of two", {44100, 960, {}, {{0, 4, 4}, {kTicks, 5, 6}}, {}, {}}, "a time signature of 5/6"},
        {"a negative beat length", {44100, 960, {}, {{0, 3, -4}}, {}, {}}, "a time signature of 3/-4"},
        {"a typed tempo of 0", {44100, 960, {}, {}, {}, 0.0}, "a tempo of 0"},
        {"a typed tempo past any", {44100, 960, {}, {}, {}, 2e6}, "a tempo of 2000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            const aerie::Timeline t(c.settings);
            ADD_FAILURE() << "taken";
        } catch (const aerie::HostError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

}  // namespace
