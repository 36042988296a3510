// The command-line host run as a user runs it, against fake plug-in modules
// whose output marks exactly where each note-on arrived.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include <aerie/aerie.h>

namespace {

namespace fs = std::filesystem;
using testing_tools::readText;
using testing_tools::readWav;
using testing_tools::runTool;
using testing_tools::Track;
using testing_tools::tmp;
using testing_tools::partFiles;

bool startsWith(const std::string& s, const std::string& prefix) { return s.rfind(prefix, 0) == 0; }

// Starts a test with no leftovers of earlier runs.
void removePartFiles() {
    for (const std::string& p : partFiles(".wav.part")) fs::remove(p);
}

// Tempo map (track 1) and notes (track 2) of a format 1 file at 96 ticks per
// quarter note. At 48000 Hz one tick lasts 480 frames, then 250 from tick 4,
// then 600 from tick 8.
const std::vector<std::uint64_t> kTempoNoteFrames = {0, 480, 1440, 1920, 2170, 2920, 3520, 4120};

testing_tools::Bytes tempoMapFile() {
    Track tempo;
    tempo.tempo(0, 960000).tempo(4, 500000).tempo(4, 1200000).end();
    Track notes;
    const std::uint32_t ticks[] = {0, 1, 3, 4, 5, 8, 9, 10};
    std::uint32_t at = 0;
    int velocity = 20;
    for (std::uint32_t t : ticks) {
        notes.noteOn(t - at, 60, velocity);
        notes.event(0, {0x80, 60, 0});
        at = t;
        velocity += 10;
    }
    notes.end();
    return testing_tools::midiFile(1, 96, {tempo, notes});
}

// Frames holding anything but silence, and whether the fake raised its alarm
// (an event outside its block, or audio before resume).
std::vector<std::uint64_t> markedFrames(const std::vector<float>& s, bool* alarm) {
    std::vector<std::uint64_t> marks;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != 0.0f) marks.push_back(i);
        if (std::abs(s[i]) >= 9.0f) *alarm = true;
    }
    return marks;
}

TEST(Vst2Host, RenderPutsEveryNoteOnItsExactFrameWhateverTheBlockSize) {
    const std::string mid = tmp("tempo.mid");
    testing_tools::writeFile(mid, tempoMapFile());
    for (const char* block : {"480", "512", "1", "7", "40", "4096"}) {
        SCOPED_TRACE(std::string("block ") + block);
        const std::string out = tmp(std::string("tempo-") + block + ".wav");
        const auto run = runTool({"render", FAKE_IMPULSE, "--midi", mid, "--out", out, "--rate", "48000", "--block", block,
                                  "--tail", "0.5"});
        ASSERT_EQ(run.code, 0) << run.err;
        const auto wav = readWav(out);
        ASSERT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.rate, 48000u);
        ASSERT_EQ(wav.frames(), 4120u + 24000u);
        bool alarm = false;
        EXPECT_EQ(markedFrames(wav.samples[0], &alarm), kTempoNoteFrames);
        EXPECT_FALSE(alarm);
        EXPECT_EQ(wav.samples[0][480], 30.0f / 127.0f);
        EXPECT_NE(run.out.find("28120 frames"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("last event at 0.086 s (frame 4120) + tail 0.500 s"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("2 tracks"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("3 tempo changes"), std::string::npos) << run.out;
    }
}

TEST(Vst2Host, RenderReadsTheMidiFileFromStandardInput) {
    const std::string mid = tmp("stdin.mid");
    testing_tools::writeFile(mid, tempoMapFile());
    const std::string out = tmp("stdin.wav");
    const auto run = runTool({"render", FAKE_IMPULSE, "--midi", "-", "--out", out, "--rate", "48000", "--tail", "0"}, mid);
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    ASSERT_EQ(wav.frames(), 4121u);  // no tail: up to and including the last event's frame
    bool alarm = false;
    EXPECT_EQ(markedFrames(wav.samples[0], &alarm), kTempoNoteFrames);
    EXPECT_NE(run.out.find("standard input"), std::string::npos) << run.out;
}

TEST(Vst2Host, RenderPlaysNotesGivenOnTheCommandLine) {
    const std::string out = tmp("notes.wav");
    const auto run = runTool({"render", FAKE_IMPULSE, "--notes", "60:127@0.10, 72:64@0.50", "--out", out});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    EXPECT_EQ(wav.rate, 44100u);
    // The last event is the second note's release at 0.75 s.
    ASSERT_EQ(wav.frames(), 33075u + 44100u);
    bool alarm = false;
    EXPECT_EQ(markedFrames(wav.samples[0], &alarm), (std::vector<std::uint64_t>{4410, 22050}));
    EXPECT_EQ(wav.samples[0][4410], 1.0f);
    EXPECT_EQ(wav.samples[0][22050], 64.0f / 127.0f);
    EXPECT_NE(run.out.find("last event at 0.750 s (frame 33075) + tail 1.000 s"), std::string::npos) << run.out;
}

// A plug-in with two outputs and no replacing render: one channel per output,
// rendered by accumulating into cleared buffers, here as 16-bit samples.
TEST(Vst2Host, RenderWritesEveryOutputAsAChannel) {
    const std::string out = tmp("stereo.wav");
    const auto run = runTool({"render", FAKE_STEREO, "--notes", "64:100@0.01+0.01", "--out", out, "--rate", "22050",
                              "--tail", "0.1", "--format", "pcm16"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    ASSERT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.bits, 16);
    ASSERT_EQ(wav.frames(), 441u + 2205u);
    bool alarm = false;
    EXPECT_EQ(markedFrames(wav.samples[0], &alarm), std::vector<std::uint64_t>{221});  // 0.01 s rounds up from 220.5
    EXPECT_EQ(markedFrames(wav.samples[1], &alarm), std::vector<std::uint64_t>{221});
    EXPECT_FALSE(alarm);
    EXPECT_NEAR(wav.samples[0][221], 100.0 / 127.0, 1.0 / 32768);
    EXPECT_NEAR(wav.samples[1][221], 64.0 / 127.0, 1.0 / 32768);
    EXPECT_NE(run.out.find("2 channels, 16-bit integer"), std::string::npos) << run.out;
}

TEST(Vst2Host, InfoJsonDescribesTheInstance) {
    const auto run = runTool({"info", FAKE_STEREO, "--json"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto j = nlohmann::json::parse(run.out);
    EXPECT_EQ(j["effectName"], "Fake Stereo");
    EXPECT_EQ(j["vendor"], "Kestravian Tests");
    EXPECT_EQ(j["product"], "Fakes");
    EXPECT_EQ(j["vendorVersion"], 1234);
    EXPECT_EQ(j["uniqueId"]["chars"], "Faks");
    EXPECT_EQ(j["uniqueId"]["hex"], "0x46616B73");
    EXPECT_EQ(j["category"]["name"], "generator");
    EXPECT_EQ(j["interfaceVersion"], 2400);
    EXPECT_EQ(j["recordVersion"], 7);
    EXPECT_EQ(j["module"]["entry"], "VSTPluginMain");
    EXPECT_EQ(j["numInputs"], 1);
    EXPECT_EQ(j["inputs"][0]["label"], "In");
    EXPECT_EQ(j["inputs"][0]["active"], false);
    ASSERT_EQ(j["outputs"].size(), 2u);
    EXPECT_EQ(j["outputs"][1]["label"], "Right");
    EXPECT_EQ(j["outputs"][1]["active"], true);
    EXPECT_EQ(j["flags"]["names"], (std::vector<std::string>{"canMono", "programChunks", "isSynth", "bit 12"}));
    // Programs 1 and 2 answer by index; program 3 only once selected.
    EXPECT_EQ(j["programs"], (std::vector<std::string>{"Init", "Bright", "Dark"}));
    ASSERT_EQ(j["parameters"].size(), 2u);
    EXPECT_EQ(j["parameters"][0]["name"], "Gain");
    EXPECT_EQ(j["parameters"][0]["label"], "dB");
    EXPECT_EQ(j["parameters"][0]["display"], "-6.0");
    EXPECT_EQ(j["parameters"][1]["value"], 0.25);
    EXPECT_EQ(j["canDo"]["receiveVstEvents"], "yes");
    EXPECT_EQ(j["canDo"]["sendVstMidiEvent"], "no");
    EXPECT_EQ(j["canDo"]["offline"], "unknown");
    EXPECT_EQ(j["hostRequests"], std::vector<std::string>{"audioMasterVersion"});
}

TEST(Vst2Host, InfoTextNamesWhatAHostSees) {
    const auto run = runTool({"info", FAKE_IMPULSE});
    ASSERT_EQ(run.code, 0) << run.err;
    for (const char* line : {"Effect name        Fake Impulse\n", "Unique ID          'Faki' (0x46616B69)\n",
                             "Category           synth (2)\n", "  output 1         \"Impulse\" (active)\n",
                             "Flags              0x00000110: canReplacing, isSynth\n", "Programs           0\n",
                             "Can do             receiveVstEvents, receiveVstMidiEvent\n"}) {
        EXPECT_NE(run.out.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << run.out;
    }
}

// A module named without a folder is the file in the working folder, not
// whatever the system loader would find under that name in its own folders.
TEST(Vst2Host, ModuleNamedWithoutAFolderIsTheFileHere) {
    const std::filesystem::path fake(FAKE_IMPULSE);
    struct Restore {
        std::filesystem::path previous = std::filesystem::current_path();
        ~Restore() { std::filesystem::current_path(previous); }
    } restore;
    std::filesystem::current_path(fake.parent_path());
    EXPECT_NO_THROW(EXPECT_NE(aerie::Module::open(fake.filename().string())->entry(), nullptr));
}

// Each mistake a user can make, or each broken module, gives one line on
// standard error, a distinct exit code, nothing on standard output, no
// crash, and no output file.
TEST(Vst2Host, ErrorsAreOneLineWithAnExitCode) {
    removePartFiles();
    const std::string text = tmp("text.so");
    testing_tools::writeFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
    // A module of the other bitness: a header is enough.
    const int otherBits = aerie::hostBits() == 64 ? 32 : 64;
    const testing_tools::Bytes other =
#if defined(_WIN32)
        testing_tools::peHeader(otherBits);
#else
        testing_tools::elfHeader(otherBits, otherBits == 32 ? 3 : 62);
#endif
    const std::string otherMessage =
        std::to_string(otherBits) + "-bit module, this host is " + std::to_string(aerie::hostBits()) + "-bit";
    const std::string otherModule = tmp("other-bits.module");
    testing_tools::writeFile(otherModule, other);

    const std::string goodMid = tmp("good.mid");
    testing_tools::writeFile(goodMid, tempoMapFile());
    const std::string truncatedMid = tmp("truncated.mid");
    const auto whole = tempoMapFile();
    const decltype(whole) cut(whole.begin(), whole.end() - 5);
    testing_tools::writeFile(truncatedMid, cut);
    const std::string malformedMid = tmp("malformed.mid");
    testing_tools::writeFile(malformedMid, testing_tools::midiFile(0, 96, {Track().event(0, {0x3C, 0x40}).end()}));

    const std::string out = tmp("error-case.wav");
    auto render = [&](const std::string& module, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"render", module, "--notes", "60:1@0", "--out", out};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    auto renderMidi = [&](const std::string& midi, const std::string& to) {
        return std::vector<std::string>{"render", FAKE_IMPULSE, "--midi", midi, "--out", to};
    };

    const struct {
        std::vector<std::string> args;
        int code;
        std::string message;
    } cases[] = {
        // The module (each way loading fails is tests/aerie's; here, that
        // the kinds reach the exit codes).
        {{"info", tmp("missing.so")}, 3, "module not found: "},
        {{"info", FAKE_BAD_MAGIC}, 3, "the module's record lacks the interface's magic number"},
        {{"info", FAKE_CRASH_ENTRY}, 4, "the module crashed while creating an instance (calling its entry point VSTPluginMain) ("},
        {{"info", FAKE_CRASH_NAME}, 4, "the module crashed while asking for its effect name (effGetEffectName) ("},
        {{"info", FAKE_EXIT_ENTRY}, 4, "the module ended the process while creating an instance"},
        {{"info", FAKE_HANG_OPEN, "--timeout", "1"}, 4, "the module did not answer within 1 s while opening it (effOpen)"},
        {render(tmp("missing.so")), 3, "module not found: "},
        {render(otherModule), 3, otherMessage},
        {render(FAKE_NULL), 3, "the module's entry answered null"},
        {render(FAKE_BAD_MAGIC), 3, "lacks the interface's magic number"},
        {render(FAKE_CRASH_ENTRY), 4, "the module crashed while creating an instance"},
        {render(FAKE_CRASH_RENDER, {"--block", "64"}), 4, "the module crashed while rendering block 2 (from frame 64) ("},
        // Options.
        {render(FAKE_IMPULSE, {"--rate", "0"}), 2, "--rate must be from 1 to 1000000 Hz (got 0)"},
        {render(FAKE_IMPULSE, {"--block", "0"}), 2, "--block must be from 1 to 1048576 frames (got 0)"},
        {render(FAKE_IMPULSE, {"--tail", "-1"}), 2, "--tail must be from 0 to 3600 seconds"},
        {render(FAKE_IMPULSE, {"--format", "mp3"}), 2, "--format must be float, pcm16 or pcm24 (got \"mp3\")"},
        {render(FAKE_IMPULSE, {"--rate", "fast"}), 2, "--rate"},
        {render(FAKE_IMPULSE, {"--midi", goodMid}), 2, "give either --midi FILE or --notes LIST"},
        {{"render", FAKE_IMPULSE, "--out", out}, 2, "give something to play: --input FILE.wav, --midi FILE or --notes LIST"},
        {{"render", FAKE_IMPULSE, "--notes", "60-127@0.1", "--out", out}, 2, "--notes: cannot read \"60-127@0.1\""},
        {{"render", FAKE_IMPULSE, "--notes", "128:1@0", "--out", out}, 2, "the note must be a number from 0 to 127"},
        {{"render", FAKE_IMPULSE, "--notes", "60:1@soon", "--out", out}, 2, "the time must be a number of seconds"},
        {{"render", FAKE_IMPULSE, "--notes", "60:1@0"}, 2, "--out is required"},
        {{"render", FAKE_IMPULSE, "--notes", "60:1@0", "--out", out, "--loud"}, 2, "--loud"},
        {{}, 2, "A subcommand is required"},
        // The MIDI input.
        {renderMidi(tmp("missing.mid"), out), 5, "MIDI file not found: "},
        {renderMidi(truncatedMid, out), 5, "truncated MIDI file: track 2 declares"},
        {renderMidi(malformedMid, out), 5, "malformed MIDI file: track 1 has data byte 0x3C without a status byte"},
        {renderMidi(text, out), 5, "not a MIDI file: it does not start with \"MThd\""},
        // The output.
        {renderMidi(goodMid, tmp("no-such-folder/out.wav")), 6, "folder "},
        {renderMidi(goodMid, testing_tools::tmpDir()), 6, "is a folder"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + a;
        SCOPED_TRACE(shown);
        fs::remove(out);
        const auto run = runTool(c.args);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_TRUE(startsWith(run.err, "vst2host: ")) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(partFiles(".wav.part"), std::vector<std::string>{});
}

// A render that fails halfway leaves an earlier file of the same name as it was.
TEST(Vst2Host, FailedRenderKeepsThePreviousOutput) {
    removePartFiles();
    const std::string out = tmp("kept.wav");
    testing_tools::writeFile(out, {'o', 'l', 'd'});
    const auto run = runTool({"render", FAKE_CRASH_RENDER, "--notes", "60:1@0", "--out", out, "--block", "16"});
    EXPECT_EQ(run.code, 4) << run.err;
    EXPECT_EQ(readText(out), "old");
    EXPECT_EQ(partFiles(".wav.part"), std::vector<std::string>{});
}

TEST(Vst2Host, HelpShowsUsageAndExitCodes) {
    // Made from the option definitions: every command's usage and options,
    // its prose, and the one exit-code table.
    const auto run = runTool({"--help"});
    EXPECT_EQ(run.code, 0);
    for (const char* text : {"Usage: vst2host info [OPTIONS] MODULE", "Usage: vst2host scan [OPTIONS] [DIR...]",
                             "--notes", "Channel mapping, from the input file into the first module and from each",
                             "Exit codes (every command):", "  8  validate: a test failed"}) {
        EXPECT_NE(run.out.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(run.out.find("__probe"), std::string::npos);
    const auto man = runTool({"__man"});
    EXPECT_EQ(man.code, 0);
    EXPECT_EQ(man.out.rfind(".TH VST2HOST 1", 0), 0u);
    EXPECT_NE(man.out.find("\\-\\-notes"), std::string::npos);
}

}  // namespace
