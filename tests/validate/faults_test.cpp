// Each injected fault of faulty_plugin.cpp is caught by the validator's test
// meant for it, and by no test without a reason to see it. The validator
// runs as a user runs it, with --json, on one build of the fake per fault.
// Under wine every process start costs much, so there only the meant test
// runs.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <aerie/process.h>

namespace {

// The tests that render audio, which any broken output may fail.
const char* const kRenders =
    "lifecycle.instances lifecycle.suspend-resume lifecycle.rates lifecycle.blocks lifecycle.rate-block-changes "
    "lifecycle.zero-frames processing.finite processing.subnormals processing.guards processing.inputs-untouched "
    "processing.in-place processing.accumulate processing.deterministic parameters.automation programs.switching "
    "state.bad-chunks host.requests";

struct Fault {
    const char* name;     // the module faulty_<name>
    const char* meant;    // the test that must fail ("" for the clean module)
    const char* message;  // a piece of its failure line
    const char* others;   // tests that may fail too, space-separated
    const char* args;     // extra validator options
};

const Fault kFaults[] = {
    {"none", "", "", "", ""},
    {"nan", "processing.finite", "is NaN", kRenders, ""},
    {"overrun", "processing.guards", "past the", "lifecycle.blocks lifecycle.zero-frames", ""},
    {"input_write", "processing.inputs-untouched", "was changed", "", ""},
    {"crash", "lifecycle.suspend-resume", "crashed (", "lifecycle.rate-block-changes", ""},
    {"hang", "lifecycle.rates", "made no progress for 3 s", "", "--timeout 3"},
    {"leak", "lifecycle.open-close", "grew steadily", "", ""},
    {"param_range", "parameters.range", "reads back", "", ""},
    {"unterminated", "parameters.texts", "no terminating NUL", "", ""},
    {"overlong", "parameters.texts", "past the end", "", ""},
    {"chunk", "state.chunks", "different bytes", "", ""},
    {"random", "processing.deterministic", "differ", "", "--strictness 8"},
    {"subnormal", "processing.subnormals", "is subnormal", "", ""},
    {"in_place", "processing.in-place", "differs", "", ""},
    {"accumulate", "processing.accumulate", "overwrites the outputs", "", ""},
    {"program", "programs.switching", "effGetProgram answers", "", ""},
    {"bad_chunk", "state.bad-chunks", "crashed (", "", ""},
    {"identity", "loading.identity", "differs between two instances", "", ""},
    {"shared", "lifecycle.instances", "share state", "", ""},
    {"bad_record", "loading.record", "-1 (expected", "", ""},
    {"zero_frames", "lifecycle.zero-frames", "of 0 frames", "", ""},
    {"unwritten", "processing.finite", "was not written", kRenders, ""},
    {"underrun", "processing.guards", "written before the first frame", "lifecycle.blocks lifecycle.zero-frames", ""},
    {"exit", "loading.record", "ended the process (exit code 3) while opening", "", ""},
};

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class Faults : public testing::TestWithParam<Fault> {};

TEST_P(Faults, CaughtByTheTestMeantForIt) {
    const Fault& f = GetParam();
    const std::string module = std::string(FAULTY_DIR) + "/faulty_" + f.name + FAULTY_SUFFIX;
    // Strictness 3 runs every test but the strictest variants, in less time
    // than the default; the clean module runs at the default.
    std::vector<std::string> argv = {VST2HOST, "validate", module, "--json"};
    if (std::string(f.args).find("--strictness") == std::string::npos) {
        argv.insert(argv.end(), {"--strictness", f.meant[0] != '\0' ? "3" : "5"});
    }
    for (const std::string& a : words(f.args)) argv.push_back(a);
#if defined(_WIN32)
    argv.push_back("--only");
    argv.push_back(f.meant[0] != '\0' ? f.meant : "processing");
#endif
    std::filesystem::create_directories(TEST_TMP);
    const std::string out = std::string(TEST_TMP) + "/faults_" + f.name + ".json";
    aerie::ProcessOptions options;
    options.stdoutPath = out;
    options.stderrPath = out + ".stderr";
    options.timeoutSeconds = 120;
    const aerie::ProcessResult r = aerie::runProcess(argv, options);
    ASSERT_EQ(r.end, aerie::ProcessResult::End::Exited) << r.why;
    EXPECT_EQ(r.exitCode, f.meant[0] != '\0' ? 1 : 0);
    std::ifstream in(out);
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << "no JSON in " << out;

    const std::vector<std::string> others = words(f.others);
    bool caught = f.meant[0] == '\0';
    for (const auto& t : report["modules"][0]["tests"]) {
        const std::string name = t["name"];
        if (t["result"] != "failed") continue;
        std::string lines;
        for (const auto& line : t["failures"]) lines += line.get<std::string>() + "\n";
        if (name == f.meant) {
            caught = lines.find(f.message) != std::string::npos;
            EXPECT_TRUE(caught) << name << " failed otherwise than expected:\n" << lines;
        } else {
            EXPECT_NE(std::find(others.begin(), others.end(), name), others.end())
                << "fault " << f.name << " also fails " << name << ":\n" << lines;
        }
    }
    EXPECT_TRUE(caught) << "fault " << f.name << " is not caught by " << f.meant;
    if (std::string(f.name) == "bad_record" || std::string(f.name) == "exit") {
        EXPECT_EQ(report["failed"], 1);  // nothing else runs without a usable record
    }
}

INSTANTIATE_TEST_SUITE_P(Validator, Faults, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

// What a user meets first: the options.
TEST(ValidatorCommandLine, ExitCodesListAndSummary) {
    std::filesystem::create_directories(TEST_TMP);
    const std::string out = std::string(TEST_TMP) + "/cli.txt";
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), VST2HOST);
        aerie::ProcessOptions options;
        options.stdoutPath = out;
        options.stderrPath = out + ".stderr";
        options.timeoutSeconds = 120;
        const aerie::ProcessResult r = aerie::runProcess(args, options);
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        return std::make_pair(r.exitCode, text.str());
    };
    const std::string clean = std::string(FAULTY_DIR) + "/faulty_none" + FAULTY_SUFFIX;
    EXPECT_EQ(run({"validate", clean, "--strictness", "0"}).first, 2);
    EXPECT_EQ(run({"validate", clean, "--strictness", "11"}).first, 2);
    EXPECT_EQ(run({"validate", clean, "--only", "no.such.test"}).first, 2);
    EXPECT_EQ(run({"validate", clean, "--rates", "44100,fast"}).first, 2);
    EXPECT_EQ(run({"validate", clean, "--blocks", "0"}).first, 2);
    EXPECT_EQ(run({"validate"}).first, 2);

    const auto [listCode, list] = run({"validate", "--list"});
    EXPECT_EQ(listCode, 0);
    EXPECT_NE(list.find("processing.finite "), std::string::npos);
    const auto [jsonCode, jsonList] = run({"validate", "--list", "--json"});
    EXPECT_EQ(jsonCode, 0);
    const nlohmann::json tests = nlohmann::json::parse(jsonList, nullptr, false);
    ASSERT_TRUE(tests.is_array());
    EXPECT_EQ(tests.size(), 26u);

    // Groups select, skips subtract, the summary is the last line alone.
    const auto [code, text] = run({"validate", clean, "--only", "loading,state", "--skip", "state.bad-chunks"});
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("\n5 passed, 0 failed, 0 skipped\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("bad-chunks"), std::string::npos) << text;

    // A module that is not there fails loading and skips the rest.
    const auto [missingCode, missing] = run({"validate", clean + ".missing", "--only", "loading"});
    EXPECT_EQ(missingCode, 1);
    EXPECT_NE(missing.find("FAIL  loading.module: module not found"), std::string::npos) << missing;
    EXPECT_NE(missing.find("\n0 passed, 1 failed, 3 skipped\n"), std::string::npos) << missing;
}

}  // namespace
