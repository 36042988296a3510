// The command-line host against the real plug-in: what `info` reports, and
// clicks that start exactly on the frames the MIDI timing gives.
#include <gtest/gtest.h>

#include <cmath>

#include <nlohmann/json.hpp>

#include "helpers.h"

#if defined(KESTRAVIAN_MODULE)

namespace {

using testing_tools::readWav;
using testing_tools::runTool;
using testing_tools::Track;
using testing_tools::tmp;

TEST(Kestravian, InfoReportsTheSynthesizer) {
    const auto run = runTool({"info", KESTRAVIAN_MODULE, "--json"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["effectName"], "Kestravian");
    EXPECT_EQ(j["vendor"], "Ulvo");
    EXPECT_EQ(j["product"], "Kestravian");
    EXPECT_EQ(j["vendorVersion"], 1);
    EXPECT_EQ(j["uniqueId"]["chars"], "Kstv");
    EXPECT_EQ(j["uniqueId"]["hex"], "0x4B737476");
    EXPECT_EQ(j["category"]["value"], 2);
    EXPECT_EQ(j["interfaceVersion"], 2);
    EXPECT_EQ(j["numInputs"], 0);
    EXPECT_EQ(j["numOutputs"], 1);
    EXPECT_EQ(j["outputs"][0]["label"], "Click 1");
    EXPECT_EQ(j["outputs"][0]["active"], true);
    EXPECT_EQ(j["flags"]["value"], 272);
    EXPECT_EQ(j["numPrograms"], 0);
    EXPECT_EQ(j["numParams"], 0);
    for (const auto& [word, answer] : j["canDo"].items()) {
        const bool yes = word == "receiveVstEvents" || word == "receiveVstMidiEvent";
        EXPECT_EQ(answer, yes ? "yes" : "no") << word;
    }
}

// The second sample of a fresh click: (v/127) e^(z.re) sin(z.im) with
// z = (n + 1)(44100 / rate)(-0.001 + 0.01i).
double firstSwing(int note, int velocity, double rate) {
    const double x = (note + 1) * (44100.0 / rate);
    return velocity / 127.0 * std::exp(-0.001 * x) * std::sin(0.01 * x);
}

// Tempo changes at 96 ticks per quarter note: at 48000 Hz a tick lasts 480
// frames, then 250 from tick 4, then 600 from tick 8. Notes close together
// cut each other off; a click starts with a 0 sample and swings on the next.
TEST(Kestravian, ClicksStartOnTheFramesOfTheTempoMap) {
    Track tempo;
    tempo.tempo(0, 960000).tempo(4, 500000).tempo(4, 1200000).end();
    Track notes;
    const std::uint32_t ticks[] = {0, 1, 3, 4, 5, 8, 9, 10};
    const int keys[] = {60, 72, 48, 96, 36, 60, 84, 127};
    const std::uint64_t expected[] = {0, 480, 1440, 1920, 2170, 2920, 3520, 4120};
    std::uint32_t at = 0;
    for (int i = 0; i < 8; ++i) {
        notes.noteOn(ticks[i] - at, keys[i], 40 + 10 * i);
        at = ticks[i];
    }
    notes.end();
    const std::string mid = tmp("kestravian-tempo.mid");
    testing_tools::writeFile(mid, testing_tools::midiFile(1, 96, {tempo, notes}));

    std::vector<float> reference;
    for (const char* block : {"480", "512", "1", "7", "4096"}) {
        SCOPED_TRACE(std::string("block ") + block);
        const std::string out = tmp(std::string("kestravian-") + block + ".wav");
        const auto run = runTool({"render", KESTRAVIAN_MODULE, "--midi", mid, "--out", out, "--rate", "48000", "--block",
                                  block, "--tail", "0.2"});
        ASSERT_EQ(run.code, 0) << run.err;
        const auto wav = readWav(out);
        ASSERT_EQ(wav.channels, 1);
        ASSERT_EQ(wav.frames(), 4120u + 9600u);
        const auto& s = wav.samples[0];
        for (int i = 0; i < 8; ++i) {
            const auto k = static_cast<std::size_t>(expected[i]);
            EXPECT_EQ(s[k], 0.0f) << "note " << i << " at frame " << k;
            EXPECT_NEAR(s[k + 1], firstSwing(keys[i], 40 + 10 * i, 48000.0), 2e-6) << "note " << i << " at frame " << k;
        }
        EXPECT_EQ(s.back(), 0.0f);  // the last click has died away within the tail
        // The plug-in renders per frame: the block size must not change a sample.
        if (reference.empty()) {
            reference = s;
        } else {
            EXPECT_EQ(s, reference);
        }
    }
}

TEST(Kestravian, QuickNotesRender) {
    const std::string out = tmp("kestravian-notes.wav");
    const auto run = runTool({"render", KESTRAVIAN_MODULE, "--notes", "60:127@0.10,72:64@0.50", "--out", out,
                              "--format", "pcm24"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    ASSERT_EQ(wav.frames(), 33075u + 44100u);
    EXPECT_EQ(wav.samples[0][4410], 0.0f);
    EXPECT_NEAR(wav.samples[0][4411], firstSwing(60, 127, 44100.0), 1.0 / 8388608.0);
    EXPECT_NEAR(wav.samples[0][22051], firstSwing(72, 64, 44100.0), 1.0 / 8388608.0);
}

}  // namespace

#endif
