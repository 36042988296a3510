// The command-line host with audio in: the channel mapping, chains,
// parameters, programs, states, scanning, name lookup and bad plug-ins,
// against fake effects whose outputs are their inputs times twice "Gain".
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include <aerie/io/wav_writer.h>

namespace {

namespace fs = std::filesystem;
using testing_tools::readText;
using testing_tools::readWav;
using testing_tools::runTool;
using testing_tools::tmp;
using testing_tools::partFiles;
using Channels = std::vector<std::vector<float>>;

// Channel c, frame i: (c + 1) / 8 + i / 65536, exact in float and distinct.
float sample(int c, std::size_t i) { return static_cast<float>(c + 1) / 8.0f + static_cast<float>(i) / 65536.0f; }

std::string writeInput(const std::string& name, int channels, std::size_t frames, std::uint32_t rate = 44100) {
    const std::string path = tmp(name);
    Channels data(static_cast<std::size_t>(channels), std::vector<float>(frames));
    std::vector<const float*> pointers;
    for (int c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) data[static_cast<std::size_t>(c)][i] = sample(c, i);
        pointers.push_back(data[static_cast<std::size_t>(c)].data());
    }
    aerie::WavWriter w(path, channels, rate, aerie::SampleFormat::Float32);
    w.write(pointers.data(), frames);
    w.commit();
    return path;
}

// What each output channel holds: input channel k (from 0) times `gain`, or
// silence (-1), followed by the tail's silence.
void expectChannels(const testing_tools::Wav& wav, const std::vector<int>& from, float gain, std::size_t frames,
                    std::size_t tail) {
    ASSERT_EQ(wav.channels, static_cast<int>(from.size()));
    ASSERT_EQ(wav.frames(), frames + tail);
    for (std::size_t c = 0; c < from.size(); ++c) {
        for (std::size_t i = 0; i < frames + tail; ++i) {
            const float want = from[c] < 0 || i >= frames ? 0.0f : sample(from[c], i) * gain;
            if (wav.samples[c][i] != want) {
                ADD_FAILURE() << "channel " << c + 1 << " frame " << i << ": " << wav.samples[c][i] << ", expected " << want;
                return;
            }
        }
    }
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        out.push_back(text.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return out;
}

void setEnv(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

constexpr std::size_t kFrames = 3000;
constexpr std::size_t kTail = 441;  // --tail 0.01 at 44100 Hz

// The mapping rule at both kinds of connection: file into the first module,
// module into module. Notes say where channels are dropped or left silent.
TEST(Vst2HostEffects, ChannelMappingIntoAndAlongTheChain) {
    const std::string mono = writeInput("mono.wav", 1, kFrames);
    const std::string stereo = writeInput("stereo.wav", 2, kFrames);
    const std::string three = writeInput("three.wav", 3, kFrames);
    const struct {
        const char* name;
        std::string input;
        std::vector<std::string> modules;
        std::vector<int> from;  // per output channel: the input channel it carries, -1 silence
        std::string note;       // "" for none
    } cases[] = {
        {"stereo into stereo", stereo, {FAKE_EFFECT}, {0, 1}, ""},
        {"mono feeds every input", mono, {FAKE_EFFECT}, {0, 0}, "note: the input is mono: it feeds all 2 inputs of Fake Effect"},
        {"extra channels dropped", three, {FAKE_EFFECT}, {0, 1},
         "note: the input has 3 channels, Fake Effect takes 2 inputs: the last one dropped"},
        {"missing channels silent", stereo, {FAKE_WIDE}, {0, 1, -1},
         "note: Fake Wide has 3 inputs, the input gives 2: input 3 gets silence"},
        {"chain: mono, then 2 into 3", mono, {FAKE_EFFECT, FAKE_WIDE}, {0, 0, -1},
         "note: the input is mono: it feeds all 2 inputs of module 1 (Fake Effect)\nvst2host: note: module 2 (Fake Wide) has 3 inputs, module 1 (Fake Effect) gives 2: input 3 gets silence"},
        {"chain: 3 into 2", three, {FAKE_WIDE, FAKE_EFFECT}, {0, 1},
         "note: module 1 (Fake Wide) has 3 channels, module 2 (Fake Effect) takes 2 inputs: the last one dropped"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = tmp("mapped.wav");
        std::vector<std::string> args = {"render"};
        args.insert(args.end(), c.modules.begin(), c.modules.end());
        for (const std::string& a : {std::string("--input"), c.input, std::string("--out"), out, std::string("--tail"),
                                     std::string("0.01"), std::string("--block"), std::string("256")}) {
            args.push_back(a);
        }
        const auto run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        expectChannels(readWav(out), c.from, 1.0f, kFrames, kTail);
        if (c.note.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.err, "vst2host: " + c.note + "\n");
        }
        EXPECT_NE(run.out.find("length: input 0.068 s (3000 frames) + tail 0.010 s"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("speed: 0.078 s of audio in "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("inside the plug-in"), std::string::npos) << run.out;
    }
}

// Parameters by number and by name, programs, and chain addressing: the gain
// shows in the output, the other values in the saved state.
TEST(Vst2HostEffects, ParametersAndPrograms) {
    const std::string stereo = writeInput("stereo.wav", 2, kFrames);
    const struct {
        std::vector<std::string> options;
        float gain;
        float trim;  // parameter 2 of the (last) module afterwards
        int program;
    } cases[] = {
        {{}, 1.0f, 0.25f, 1},
        {{"--param", "1=0.25"}, 0.5f, 0.25f, 1},
        {{"--param", "Gain=0.125"}, 0.25f, 0.25f, 1},
        {{"--param", "gain=0.125"}, 0.25f, 0.25f, 1},            // case-insensitive, exact before prefix
        {{"-p", "gain t=0.75", "-p", "Gain=1"}, 2.0f, 0.75f, 1},  // a unique prefix
        {{"--program", "2"}, 0.5f, 0.25f, 2},
        {{"--program", "2", "--param", "1=1"}, 2.0f, 0.25f, 2},   // the parameter comes after the program
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.options) shown += " " + a;
        SCOPED_TRACE(shown);
        const std::string out = tmp("params.wav");
        const std::string state = tmp("params.json");
        std::vector<std::string> args = {"render", FAKE_EFFECT, "--input", stereo, "--out", out, "--tail", "0.01", "--save-state", state};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const auto run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        expectChannels(readWav(out), {0, 1}, c.gain, kFrames, kTail);
        const auto j = nlohmann::json::parse(readText(state));
        EXPECT_EQ(j["parameters"][1]["value"].get<float>(), c.trim);
        EXPECT_EQ(j["program"], c.program);
    }
    // In a chain K: picks the module; the gains multiply.
    const std::string out = tmp("chain.wav");
    const auto run = runTool({"render", FAKE_EFFECT, FAKE_EFFECT, "--input", stereo, "--out", out, "--tail", "0.01", "-p",
                              "1:Gain=0.25", "-p", "2:1=0.75", "--program", "2:2"});
    ASSERT_EQ(run.code, 0) << run.err;
    expectChannels(readWav(out), {0, 1}, 0.5f * 1.5f, kFrames, kTail);
    EXPECT_NE(run.out.find("chain: Fake Effect -> Fake Effect"), std::string::npos) << run.out;
}

// Save, load into a fresh instance, save again: the same file. With chunks
// (the fake effect) and without (the wide one, parameters only).
TEST(Vst2HostEffects, StateRoundTrip) {
    const std::string stereo = writeInput("stereo.wav", 2, 600);
    for (const char* module : {FAKE_EFFECT, FAKE_WIDE}) {
        SCOPED_TRACE(module);
        const std::string first = tmp("first.json");
        const std::string second = tmp("second.json");
        auto run = runTool({"render", module, "--input", stereo, "--out", tmp("a.wav"), "-p", "1=0.375", "-p", "2=0.8125",
                            "--save-state", first});
        ASSERT_EQ(run.code, 0) << run.err;
        run = runTool({"render", module, "--input", stereo, "--out", tmp("b.wav"), "--state", first, "--save-state", second});
        ASSERT_EQ(run.code, 0) << run.err;
        EXPECT_EQ(readText(first), readText(second));
        EXPECT_EQ(readWav(tmp("a.wav")).samples, readWav(tmp("b.wav")).samples);
        const auto j = nlohmann::json::parse(readText(first));
        EXPECT_EQ(j["format"], "vst2host-state");
        EXPECT_EQ(j["plugin"]["uniqueId"]["chars"], std::string(module) == FAKE_EFFECT ? "Fake" : "Fakw");
        EXPECT_EQ(j["parameters"][0]["value"], 0.375);
        EXPECT_EQ(j.contains("chunk"), std::string(module) == FAKE_EFFECT);
    }
}

// MIDI and audio together: the instrument first takes the notes, the effect
// after it takes none (it does not ask) and doubles the impulse.
TEST(Vst2HostEffects, MidiGoesToTheModulesThatAskForIt) {
    const std::string mono = writeInput("mono.wav", 1, 100);
    const std::string out = tmp("midi-chain.wav");
    const auto run = runTool({"render", FAKE_IMPULSE, FAKE_EFFECT, "--input", mono, "--notes", "60:127@0.01", "--out", out,
                              "--tail", "0.01", "-p", "2:Gain=1"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    ASSERT_EQ(wav.channels, 2);
    for (int c = 0; c < 2; ++c) {
        std::vector<std::size_t> marks;
        for (std::size_t i = 0; i < wav.frames(); ++i) {
            if (wav.samples[static_cast<std::size_t>(c)][i] != 0.0f) marks.push_back(i);
        }
        EXPECT_EQ(marks, std::vector<std::size_t>{441});
        EXPECT_EQ(wav.samples[static_cast<std::size_t>(c)][441], 2.0f);
    }
    EXPECT_NE(run.err.find("note: the input has 1 channel, module 1 (Fake Impulse) takes 0 inputs: all dropped"), std::string::npos)
        << run.err;
}

// NaN and infinity: reported with the first frame and channel, written
// anyway with a warning, or refused with --strict.
TEST(Vst2HostEffects, NonFiniteOutputIsReported) {
    const std::string stereo = writeInput("stereo.wav", 2, 2000);
    const std::string out = tmp("poison.wav");
    auto run = runTool({"render", FAKE_EFFECT, "--input", stereo, "--out", out, "-p", "Poison=1"});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(run.err,
              "vst2host: warning: the output holds NaN samples, the first at frame 1000 (0.023 s), channel 2; written "
              "anyway (--strict refuses such output)\n");
    EXPECT_TRUE(std::isnan(readWav(out).samples[1][1000]));
    fs::remove(out);
    run = runTool({"render", FAKE_EFFECT, "--input", stereo, "--out", out, "-p", "Poison=1", "--strict"});
    EXPECT_EQ(run.code, 7);
    EXPECT_EQ(run.err, "vst2host: the output holds NaN samples, the first at frame 1000 (0.023 s), channel 2; no file written (--strict)\n");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(partFiles(), std::vector<std::string>{});
}

// What a user gets wrong, and what bad plug-ins do: one line each (after any
// notes), a distinct exit code, no output file.
TEST(Vst2HostEffects, BadInputsAndBadPlugins) {
    const std::string stereo = writeInput("stereo.wav", 2, 2000);
    const std::string text = tmp("text.wav");
    testing_tools::writeFile(text, {'h', 'e', 'l', 'l', 'o', '\n'});
    const std::string truncated = tmp("truncated.wav");
    std::string bytes = readText(stereo);
    bytes.resize(bytes.size() - 10);
    testing_tools::writeFile(truncated, testing_tools::Bytes(bytes.begin(), bytes.end()));
    const std::string ulaw = tmp("ulaw.wav");
    bytes = readText(stereo);
    bytes[20] = 7;
    testing_tools::writeFile(ulaw, testing_tools::Bytes(bytes.begin(), bytes.end()));
    const std::string wideState = tmp("wide.json");
    ASSERT_EQ(runTool({"render", FAKE_WIDE, "--input", stereo, "--out", tmp("w.wav"), "--save-state", wideState}).code, 0);
    const std::string junkState = tmp("junk.json");
    testing_tools::writeFile(junkState, {'{', '}', '\n'});

    const std::string out = tmp("bad.wav");
    auto render = [&](std::vector<std::string> extra, const char* module = FAKE_EFFECT) {
        std::vector<std::string> args = {"render", module, "--input", stereo, "--out", out};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    const struct {
        std::vector<std::string> args;
        int code;
        std::string message;
    } cases[] = {
        {{"render", FAKE_EFFECT, "--input", text, "--out", out}, 5, "not a WAV file: it does not start with \"RIFF\": "},
        {{"render", FAKE_EFFECT, "--input", truncated, "--out", out}, 5, "truncated WAV file: the \"data\" chunk declares 16000 bytes, only 15990 follow"},
        {{"render", FAKE_EFFECT, "--input", ulaw, "--out", out}, 5, "unsupported WAV encoding: mu-law"},
        {{"render", FAKE_EFFECT, "--input", tmp("none.wav"), "--out", out}, 5, "audio file not found: "},
        {render({"--rate", "48000"}), 2, "--rate 48000 disagrees with the input, which is 44100 Hz"},
        {render({"-p", "Volume=0.5"}), 2,
         "--param Volume=0.5: Fake Effect has no parameter \"Volume\"; its parameters: 1 \"Gain\", 2 \"Gain Trim\", 3 \"Poison\", 4 \"Exit\""},
        {render({"-p", "gai=0.5"}), 2, "\"gai\" is ambiguous in Fake Effect: 1 \"Gain\", 2 \"Gain Trim\" (give the number)"},
        {render({"-p", "5=0.5"}), 2, "--param 5=0.5: Fake Effect has 4 parameters (1 to 4)"},
        {render({"-p", "Gain=1.5"}), 2, "--param Gain=1.5: the value must be from 0 to 1"},
        {render({"-p", "Gain=loud"}), 2, "the value must be a number from 0 to 1 (got \"loud\")"},
        {render({"-p", "Gain"}), 2, "--param Gain: expected [K:]P=V"},
        {render({"--program", "3"}), 2, "--program 3: Fake Effect has 2 programs (1 to 2)"},
        {render({"--state", wideState}), 5, "was saved from \"Fake Wide\" ('Fakw'), not Fake Effect ('Fake'); --force loads it anyway"},
        {render({"--state", junkState}), 5, "not a state file: no \"format\": \"vst2host-state\""},
        {render({"--state", tmp("none.json")}), 5, "state file not found: "},
        {{"render", FAKE_EFFECT, FAKE_WIDE, "--input", stereo, "--out", out, "-p", "Gain=0.5"}, 2,
         "--param Gain=0.5: in a chain of 2 modules, say which one: --param K:Gain=0.5"},
        {{"render", FAKE_EFFECT, FAKE_WIDE, "--input", stereo, "--out", out, "-p", "3:Gain=0.5"}, 2,
         "there is no module 3 (the chain has 2 modules)"},
        {{"render", FAKE_EFFECT, FAKE_NO_ENTRY, "--input", stereo, "--out", out}, 3, "module 2: no entry point"},
        {{"render", FAKE_EFFECT, "--out", out}, 2, "give something to play: --input FILE.wav, --midi FILE or --notes LIST"},
        // Bad plug-ins, alone and in a chain.
        {render({"--timeout", "1"}, FAKE_HANG_RENDER), 4,
         "the module did not answer within 1 s while rendering block 3 (from frame 1024)\n"},
        {render({"-p", "Exit=1"}), 4, "the module ended the process while rendering block 2 (from frame 512) (exit code 9)\n"},
        {{"render", FAKE_EFFECT, FAKE_CRASH_RENDER, "--input", stereo, "--out", out, "--block", "100"}, 4,
         "the module crashed while rendering block 2 (from frame 100) in module 2 (Fake Impulse) ("},
        {{"render", FAKE_EFFECT, FAKE_HANG_OPEN, "--input", stereo, "--out", out, "--timeout", "1"}, 4,
         "the module did not answer within 1 s while opening module 2 (Fake Impulse) (effOpen)"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += " " + a;
        SCOPED_TRACE(shown);
        fs::remove(out);
        const auto run = runTool(c.args);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.code, c.code) << run.err;
        const auto errLines = lines(run.err);
        ASSERT_FALSE(errLines.empty());
        EXPECT_EQ(errLines.back().rfind("vst2host: ", 0), 0u) << run.err;
        EXPECT_EQ(errLines.back().find("note:"), std::string::npos) << run.err;
        EXPECT_NE((errLines.back() + "\n").find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(partFiles(), std::vector<std::string>{});
    // --force loads another plug-in's state, with a note.
    const auto run = runTool(render({"--state", wideState, "--force"}));
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_NE(run.err.find("note: the state " + wideState + " was saved from \"Fake Wide\""), std::string::npos) << run.err;
}

// A folder with a plug-in, one in a sub-folder, a library that is not a
// plug-in, a file that is no library, a module that crashes and one that hangs
// (the fakes' copies keep their names: each takes its variant from its name).
TEST(Vst2HostEffects, ScanListsEveryModuleAndWhyOneFailed) {
    const std::string dir = tmp("plugins");
    fs::remove_all(dir);
    fs::create_directories(dir + "/sub.vst");
    const std::string ext = fs::path(FAKE_EFFECT).extension().string();
    // As the scan names it: joined with the system's own separator.
    auto put = [&](const char* from, const std::string& name) {
        const fs::path to = fs::path(dir) / fs::path(name + ext).make_preferred();
        fs::copy_file(from, to);
        return to.string();
    };
    const std::string effect = put(FAKE_EFFECT, "fake_effect");
    const std::string synth = put(FAKE_IMPULSE, "sub.vst/fake_impulse");
    const std::string notPlugin = put(FAKE_NO_ENTRY, "library");
    const std::string crash = put(FAKE_CRASH_ENTRY, "fake_crash_entry");
    const std::string hang = put(FAKE_HANG_OPEN, "fake_hang_open");
    testing_tools::writeFile(dir + "/readme" + ext, {'h', 'i', '\n'});
    testing_tools::writeFile(dir + "/notes.txt", {'h', 'i', '\n'});

    const auto run = runTool({"scan", dir, "--json", "--timeout", "2"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto list = nlohmann::json::parse(run.out);
    ASSERT_EQ(list.size(), 6u) << run.out;
    std::map<std::string, nlohmann::json> byName;
    for (const auto& e : list) byName[fs::path(e["path"].get<std::string>()).stem().string()] = e;
    EXPECT_EQ(byName["fake_effect"]["name"], "Fake Effect");
    EXPECT_EQ(byName["fake_effect"]["vendor"], "Kestravian Tests");
    EXPECT_EQ(byName["fake_effect"]["uniqueId"], "Fake");
    EXPECT_EQ(byName["fake_effect"]["category"], "effect");
    EXPECT_EQ(byName["fake_effect"]["inputs"], 2);
    EXPECT_EQ(byName["fake_effect"]["outputs"], 2);
    EXPECT_EQ(byName["fake_effect"]["parameters"], 4);
    EXPECT_EQ(byName["fake_effect"]["programs"], 2);
    EXPECT_EQ(byName["fake_impulse"]["kind"], "instrument");
    EXPECT_EQ(byName["fake_impulse"]["category"], "synth");
    const std::pair<const char*, const char*> failures[] = {
        {"library", "not a VST 2 plug-in: no entry point (neither VSTPluginMain nor main)"},
        {"readme", "not a VST 2 plug-in: not a shared library"},
        {"fake_crash_entry", "the module crashed while creating an instance (calling its entry point VSTPluginMain) ("},
        {"fake_hang_open", "the module did not answer within 2 s while opening it (effOpen)"},
    };
    for (const auto& [name, error] : failures) {
        ASSERT_TRUE(byName[name].contains("error")) << name;
        EXPECT_EQ(byName[name]["error"].get<std::string>().rfind(error, 0), 0u) << byName[name]["error"];
        EXPECT_FALSE(byName[name].contains("name"));
    }
    const auto table = runTool({"scan", dir, "--timeout", "2"});
    ASSERT_EQ(table.code, 0) << table.err;
    EXPECT_NE(table.out.find("Fake Effect   Kestravian Tests  Fake  effect       2    2       4      2  " + effect),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("2 plug-ins, 4 files failed\n"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("  " + hang + ": the module did not answer"), std::string::npos) << table.out;
    (void)synth;
    (void)notPlugin;
    (void)crash;
}

// A module named by file name or effect name, searched where scan looks.
TEST(Vst2HostEffects, ModulesByName) {
    const std::string dir = tmp("named");
    fs::remove_all(dir);
    fs::create_directories(dir + "/a");
    fs::create_directories(dir + "/b");
    const std::string ext = fs::path(FAKE_EFFECT).extension().string();
    fs::copy_file(FAKE_EFFECT, dir + "/a/fake_effect" + ext);
    fs::copy_file(FAKE_WIDE, dir + "/a/fake_wide" + ext);
    fs::copy_file(FAKE_WIDE, dir + "/b/fake_wide" + ext);
    setEnv("VST_PATH", dir);
    setEnv("LXVST_PATH", "");
    setEnv("HOME", dir + "/home");
    const struct {
        std::vector<std::string> args;
        int code;
        std::string text;  // in standard output, or the error
    } cases[] = {
        {{"info", "Fake Effect"}, 0, "Effect name        Fake Effect\n"},
        {{"params", "fake_effect"}, 0, "Fake Effect: 4 parameters\n"},
        {{"params", "fake_effect" + ext, "--json"}, 0, "\"name\": \"Gain Trim\""},
        {{"info", "Fake Wide"}, 3, "\"Fake Wide\" is ambiguous: 2 plug-ins have that name: "},
        {{"info", "Nothing Here"}, 3, "module not found: no file and no plug-in named \"Nothing Here\" in " + dir},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const auto run = runTool(c.args);
        EXPECT_EQ(run.code, c.code) << run.err;
        EXPECT_NE((c.code == 0 ? run.out : run.err).find(c.text), std::string::npos) << run.out << run.err;
    }
    const std::string out = tmp("named.wav");
    const auto run = runTool({"render", "Fake Effect", "--input", writeInput("x.wav", 2, 10), "--out", out});
    EXPECT_EQ(run.code, 0) << run.err;
}

}  // namespace
