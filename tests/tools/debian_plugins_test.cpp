// The command-line host against the third-party VST 2 plug-ins Debian ships
// (dpf-plugins-vst, zam-plugins: scripts/setup installs them), run as
// binaries only. Skipped where they are not installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <map>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include <aerie/io/wav_writer.h>

#if !defined(_WIN32)

namespace {

namespace fs = std::filesystem;
using testing_tools::readText;
using testing_tools::readWav;
using testing_tools::runTool;
using testing_tools::tmp;

std::string kFolder;  // packageFolder(), once a test has made sure the packages are there

// The VST 2 modules the two packages install, by `dpkg -L`: other makers'
// plug-ins (or libraries that are none) in the same folders are no business
// of these tests.
std::vector<fs::path> packageModules() {
    std::vector<fs::path> modules;
    std::FILE* list = popen("dpkg -L dpf-plugins-vst zam-plugins 2>/dev/null", "r");
    if (list == nullptr) return modules;
    char line[4096];
    while (std::fgets(line, sizeof line, list) != nullptr) {
        std::string path(line);
        while (!path.empty() && (path.back() == '\n' || path.back() == '\r')) path.pop_back();
        if (path.rfind("/usr/lib/vst/", 0) == 0 && fs::path(path).extension() == ".so" && fs::is_regular_file(path)) {
            modules.emplace_back(path);
        }
    }
    pclose(list);
    return modules;
}

// A folder that holds links to those modules and nothing else, made once;
// VST_PATH and LXVST_PATH name it alone and HOME is a folder of its own, so
// that a search by name finds only them.
std::string packageFolder() {
    static const std::string folder = [] {
        const std::string dir = tmp("debian-vst");
        fs::remove_all(dir);
        fs::create_directories(dir);
        for (const fs::path& m : packageModules()) fs::create_symlink(m, dir + "/" + m.filename().string());
        fs::create_directories(tmp("home"));
        return dir;
    }();
    setenv("VST_PATH", folder.c_str(), 1);
    setenv("LXVST_PATH", folder.c_str(), 1);
    setenv("HOME", tmp("home").c_str(), 1);
    return folder;
}

// In the sanitize build the host's leak check would also judge the
// third-party code it loads (ZamHeadX2 leaks when unloaded): the host's own
// leaks are found by the tests with our own modules, so it is off here.
void ignoreTheirLeaks() {
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
}

#define SKIP_WITHOUT_DEBIAN_PLUGINS()                                                                                  \
    do {                                                                                                               \
        if (packageModules().empty()) {                                                                                \
            GTEST_SKIP() << "dpf-plugins-vst and zam-plugins are not installed (scripts/setup installs them)";        \
        }                                                                                                              \
        kFolder = packageFolder();                                                                                     \
        ignoreTheirLeaks();                                                                                            \
    } while (false)

// Half a second of noise, mono, so that it feeds every input of any effect.
std::string noise(const std::string& name) {
    const std::string path = tmp(name);
    std::vector<float> s(22050);
    std::uint32_t x = 12345;
    for (float& v : s) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<float>(static_cast<std::int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 23) * 0.3f;
    }
    const float* channels[] = {s.data()};
    aerie::WavWriter w(path, 1, 44100, aerie::SampleFormat::Float32);
    w.write(channels, s.size());
    w.commit();
    return path;
}

double peak(const testing_tools::Wav& wav) {
    double p = 0;
    for (const auto& c : wav.samples) {
        for (float v : c) p = std::max(p, std::isfinite(v) ? std::abs(static_cast<double>(v)) : 1e9);
    }
    return p;
}

// Every module in the folder: scanned, its parameters listed, and rendered
// (effects from an input file, instruments from notes) without the host
// failing; every one of them gives sound.
TEST(DebianPlugins, EveryOneIsScannedListedAndRendered) {
    SKIP_WITHOUT_DEBIAN_PLUGINS();
    const auto scan = runTool({"scan", kFolder, "--json"});
    ASSERT_EQ(scan.code, 0) << scan.err;
    const auto list = nlohmann::json::parse(scan.out);
    ASSERT_EQ(list.size(), packageModules().size());  // 32 in all: 15 from dpf-plugins-vst, 17 from zam-plugins
    const std::string input = noise("noise.wav");
    std::vector<std::string> silent;
    int instruments = 0;
    for (const auto& entry : list) {
        const std::string path = entry["path"];
        SCOPED_TRACE(path);
        ASSERT_FALSE(entry.contains("error")) << entry.dump();
        const auto params = runTool({"params", path, "--json"});
        ASSERT_EQ(params.code, 0) << params.err;
        EXPECT_EQ(nlohmann::json::parse(params.out).size(), entry["parameters"].get<std::size_t>());
        const bool instrument = entry["kind"] == "instrument";
        instruments += instrument ? 1 : 0;
        const std::string out = tmp("render.wav");
        fs::remove(out);
        std::vector<std::string> args = {"render", path, "--out", out, "--tail", "0.25"};
        if (instrument) {
            args.insert(args.end(), {"--notes", "48:100@0.05+0.2,60:110@0.15,67:120@0.25"});
        } else {
            args.insert(args.end(), {"--input", input});
        }
        const auto run = runTool(args);
        ASSERT_EQ(run.code, 0) << run.err;
        const auto wav = readWav(out);
        EXPECT_EQ(wav.channels, entry["outputs"].get<int>());
        if (peak(wav) < 1e-4) silent.push_back(entry["name"]);
        EXPECT_NE(run.out.find("x real time"), std::string::npos) << run.out;
        // What a plug-in prints (ZamHeadX2 does) goes to standard error.
        EXPECT_EQ(run.out.rfind("wrote " + out + ":", 0), 0u) << run.out;
    }
    EXPECT_EQ(instruments, 2);  // Kars and Nekobi
    EXPECT_EQ(silent, std::vector<std::string>{});
}

// A parameter by name changes the sound; a state saved, loaded into a fresh
// instance and saved again is the same file; the output is the same too.
TEST(DebianPlugins, ParameterByNameAndStateRoundTrip) {
    SKIP_WITHOUT_DEBIAN_PLUGINS();
    const std::string input = noise("noise.wav");
    const std::string module = std::string(kFolder) + "/ZamComp-vst.so";
    auto run = runTool({"render", module, "--input", input, "--out", tmp("plain.wav")});
    ASSERT_EQ(run.code, 0) << run.err;
    run = runTool({"render", module, "--input", input, "--out", tmp("louder.wav"), "--param", "makeup=0.5", "--param", "4=0.3",
                   "--save-state", tmp("first.json")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_GT(peak(readWav(tmp("louder.wav"))), 2 * peak(readWav(tmp("plain.wav"))));
    run = runTool({"render", module, "--input", input, "--out", tmp("again.wav"), "--state", tmp("first.json"), "--save-state",
                   tmp("second.json")});
    ASSERT_EQ(run.code, 0) << run.err;
    EXPECT_EQ(readText(tmp("first.json")), readText(tmp("second.json")));
    EXPECT_EQ(readWav(tmp("louder.wav")).samples, readWav(tmp("again.wav")).samples);
    const auto state = nlohmann::json::parse(readText(tmp("first.json")));
    EXPECT_EQ(state["plugin"]["uniqueId"]["chars"], "ZCMP");
    EXPECT_EQ(state["parameters"][5]["name"], "Makeup");
    EXPECT_EQ(state["parameters"][5]["value"], 0.5);
    // Another plug-in's state.
    run = runTool({"render", std::string(kFolder) + "/MVerb-vst.so", "--input", input, "--out", tmp("x.wav"), "--state",
                   tmp("first.json")});
    EXPECT_EQ(run.code, 5);
    EXPECT_NE(run.err.find("was saved from \"ZamComp\" ('ZCMP'), not MVerb ('MVrb')"), std::string::npos) << run.err;
}

// An instrument into two effects, found by name: the notes go to Kars only.
TEST(DebianPlugins, ChainByName) {
    SKIP_WITHOUT_DEBIAN_PLUGINS();
    const std::string out = tmp("chain.wav");
    const auto run = runTool({"render", "Kars", "ZamComp", "MVerb", "--notes", "60:127@0.05,64:127@0.2", "--out", out,
                              "--tail", "0.5", "-p", "3:mix=1"});
    ASSERT_EQ(run.code, 0) << run.err;
    const auto wav = readWav(out);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_GT(peak(wav), 0.01);
    EXPECT_NE(run.out.find("chain: Kars -> ZamComp -> MVerb"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("note: module 1 (Kars) is mono: it feeds all 2 inputs of module 2 (ZamComp)"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("note: module 2 (ZamComp) is mono: it feeds all 2 inputs of module 3 (MVerb)"), std::string::npos) << run.err;
}

}  // namespace

#endif
