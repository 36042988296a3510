// Rendering the way a DAW plays: a tempo-synced plug-in on a file's tempo
// map, automation over time, MIDI out through a chain, latency
// compensation, and the pin record written in full.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include <aerie/host.h>
#include <aerie/io/automation.h>
#include <aerie/io/midi_reader.h>
#include <aerie/io/midi_writer.h>
#include <aerie/io/wav_writer.h>
#include <aerie/timeline.h>

namespace {

using testing_tools::readWav;
using testing_tools::runTool;
using testing_tools::Track;
using testing_tools::tmp;

// A MIDI file at 480 ticks per quarter: 120 BPM, 3/4, then 60 BPM from
// tick 960 (frame 48000 at 48 kHz), one note at tick 1440.
std::string tempoChangeMidi() {
    Track t;
    t.event(0, {0xFF, 0x58, 0x04, 3, 2, 24, 8}).tempo(0, 500000).tempo(960, 1000000).noteOn(480, 60, 100).end(480);
    const std::string path = tmp("tempo.mid");
    testing_tools::writeFile(path, testing_tools::midiFile(0, 480, {t}));
    return path;
}

// What the fake heard at each block's first frame (ppq, bar, tempo, frames
// to the next clock, process level), from the MIDI file's map and with
// --tempo replacing it.
TEST(DawRender, ATempoSyncedPlugInHearsTheFilesTempoMap) {
    const std::string midi = tempoChangeMidi();
    struct Case {
        std::vector<std::string> extra;
        std::uint64_t frame;
        float ppq, bar, tempo, toClock;
    } cases[] = {
        {{}, 0, 0.0f, 0.0f, 120.0f, 0.0f},
        {{}, 47616, 47616.0f / 24000.0f, 0.0f, 120.0f, 384.0f},  // block 93, before the change
        {{}, 48128, 2.0f + 128.0f / 48000.0f, 0.0f, 60.0f, 1872.0f},
        {{}, 96256, 3.0f + 256.0f / 48000.0f, 3.0f, 60.0f, 1744.0f},
        {{"--tempo", "60", "--time-signature", "4/4"}, 48128, 48128.0f / 48000.0f, 0.0f, 60.0f, 1872.0f},
        {{"--tempo", "60", "--time-signature", "4/4"}, 96000, 2.0f, 0.0f, 60.0f, 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.frame);
        const std::string out = tmp("time.wav");
        std::vector<std::string> args = {"render", FAKE_TIME, "--midi", midi, "--rate", "48000", "--block", "128",
                                         "--tail", "0.2", "--out", out};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const testing_tools::ToolRun run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        const testing_tools::Wav wav = readWav(out);
        ASSERT_EQ(wav.channels, 6);
        ASSERT_GT(wav.frames(), c.frame);
        EXPECT_FLOAT_EQ(wav.samples[0][c.frame], c.ppq);
        EXPECT_FLOAT_EQ(wav.samples[1][c.frame], c.bar);
        EXPECT_FLOAT_EQ(wav.samples[2][c.frame], c.tempo);
        EXPECT_FLOAT_EQ(wav.samples[3][c.frame], c.toClock);
        EXPECT_EQ(wav.samples[4][c.frame], 4.0f) << "offline";
        EXPECT_EQ(static_cast<int>(wav.samples[5][c.frame]) & kVstTransportPlaying, kVstTransportPlaying);
        EXPECT_NE(run.out.find("audioMasterGetTime x"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("audioMasterGetCurrentProcessLevel x"), std::string::npos) << run.out;
    }
}

std::string writeImpulse(const std::string& name, std::size_t frames, std::size_t at) {
    std::vector<float> x(frames, 0.0f);
    x[at] = 1.0f;
    const float* p = x.data();
    aerie::WavWriter w(tmp(name), 1, 44100, aerie::SampleFormat::Float32);
    w.write(&p, frames);
    w.commit();
    return tmp(name);
}

std::size_t peak(const std::vector<float>& x) {
    return static_cast<std::size_t>(std::max_element(x.begin(), x.end()) - x.begin());
}

// An effect 100 frames late comes out aligned (or late, when asked), the
// file as long either way; its later change to 200 is reported only.
TEST(DawRender, LatencyCompensationAlignsALateEffect) {
    const std::string in = writeImpulse("impulse.wav", 30000, 1000);
    struct Case {
        bool compensate;
        std::size_t at;
        const char* says;
    } cases[] = {{true, 1000, "latency: 100 frames removed"}, {false, 1100, "latency: 100 frames kept"}};
    for (const Case& c : cases) {
        const std::string out = tmp("late.wav");
        std::vector<std::string> args = {"render", FAKE_LATENCY, "--input", in, "--tail", "0", "--out", out};
        if (!c.compensate) args.push_back("--no-latency-compensation");
        const testing_tools::ToolRun run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        const testing_tools::Wav wav = readWav(out);
        ASSERT_EQ(wav.frames(), 30000u);
        EXPECT_EQ(peak(wav.samples[0]), c.at);
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("latency 100 -> 200 frames (not compensated)"), std::string::npos) << run.out;
    }
}

// "Gain" is the fake's level: the automation file sets it at the first block
// boundary at or after each point (512-frame blocks); the fake's own change
// in its fourth block is recorded with --save-automation.
TEST(DawRender, AutomationChangesTheSoundAtTheRightBlock) {
    const std::string csv = tmp("auto.csv");
    {
        std::ofstream f(csv);
        f << "time,parameter,value\n0.5,Gain,0.5\n2b,1,0.25\n";
    }
    const std::string out = tmp("auto.wav");
    const std::string saved = tmp("saved.csv");
    const testing_tools::ToolRun run = runTool({"render", FAKE_MIDI_OUT, "--notes", "60:0@1.5", "--tail", "0", "--automation",
                                                csv, "--save-automation", saved, "--out", out});
    ASSERT_EQ(run.code, 0) << run.err;
    const testing_tools::Wav wav = readWav(out);
    struct Row {
        std::size_t frame;
        float level;
    } rows[] = {{1535, 0.0f}, {2048, 0.75f}, {22527, 0.75f}, {22528, 0.5f}, {44543, 0.5f}, {44544, 0.25f}};
    for (const Row& r : rows) EXPECT_EQ(wav.samples[0].at(r.frame), r.level) << "frame " << r.frame;
    EXPECT_NE(run.out.find("automation: 2 of 2 points applied"), std::string::npos) << run.out;
    const std::vector<aerie::AutomationRow> recorded = aerie::readAutomationFile(saved);
    ASSERT_EQ(recorded.size(), 1u) << "the host's own settings are not the plug-in's";
    EXPECT_EQ(recorded[0].parameter, "1");
    EXPECT_EQ(recorded[0].value, 0.75f);
    EXPECT_NEAR(recorded[0].time, 1536.0 / 44100.0, 1e-9);
}

// The example of the command-line host page works as it says.
TEST(DawRender, TheDocumentedAutomationFileRenders) {
    const testing_tools::ToolRun run = runTool({"render", FAKE_MIDI_OUT, "--notes", "60:0@2.5", "--tail", "0", "--automation",
                                                SOURCE_DIR "/tests/fixtures/automation_example.csv", "--out", tmp("doc.wav")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.out.find("automation: 2 of 2 points applied"), std::string::npos) << run.out;
    const testing_tools::Wav wav = readWav(tmp("doc.wav"));
    EXPECT_EQ(wav.samples[0].at(22528), 0.25f);
    EXPECT_EQ(wav.samples[0].back(), 1.0f);
}

// The fake echoes each note an octave up: --midi-out has it at the note's
// frame, and in a chain the next module hears it beside the file's note.
TEST(DawRender, MidiOutIsCapturedAndRoutedAtItsFrames) {
    const std::string out = tmp("out.wav");
    const std::string mid = tmp("out.mid");
    const testing_tools::ToolRun run = runTool({"render", FAKE_MIDI_OUT, FAKE_IMPULSE, "--notes", "60:100@0.1,64:50@0.25+0.1",
                                                "--tail", "0.1", "--midi-out", mid, "--out", out});
    ASSERT_EQ(run.code, 0) << run.err;
    const aerie::MidiSequence seq = aerie::readMidiFile(mid);
    ASSERT_EQ(seq.events.size(), 2u);
    EXPECT_EQ(seq.events[0].bytes[1], 72);
    EXPECT_EQ(seq.events[0].time.frame(44100), 4410u);
    EXPECT_EQ(seq.events[1].bytes[1], 76);
    EXPECT_EQ(seq.events[1].time.frame(44100), 11025u);
    const testing_tools::Wav wav = readWav(out);
    EXPECT_FLOAT_EQ(wav.samples[0].at(4410), 2.0f * 100.0f / 127.0f) << "the file's note and the routed one";
    EXPECT_FLOAT_EQ(wav.samples[0].at(11025), 2.0f * 50.0f / 127.0f);
    EXPECT_NE(run.out.find("MIDI out: 2 events"), std::string::npos) << run.out;
}

// A module that fills all 128 bytes of each pin record is a correct one.
TEST(DawRender, APlugInThatWritesTheWholePinRecordPassesInfo) {
    const testing_tools::ToolRun run = runTool({"info", FAKE_PINS, "--json"});
    ASSERT_EQ(run.code, 0) << run.err;
    const nlohmann::json j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["outputs"][0]["label"].get<std::string>(), std::string(63, 'Z'));
    ASSERT_FALSE(j["hostAnswers"].empty());
    EXPECT_EQ(j["hostAnswers"][0]["request"], "audioMasterVersion");
    EXPECT_EQ(j["hostAnswers"][0]["answer"], "2400");
}

TEST(DawRender, WrongTimeOptionsAreRefused) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    } cases[] = {
        {{"--tempo", "0"}, "--tempo must be from 1 to 1000"},
        {{"--time-signature", "3/5"}, "--time-signature must be N/D"},
        {{"--loop", "8:4"}, "--loop must be START:END"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", FAKE_IMPULSE, "--notes", "60:100@0", "--out", tmp("x.wav")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const testing_tools::ToolRun run = runTool(args);
        EXPECT_EQ(run.code, 2);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    }
}

}  // namespace
