// Each injected fault of faulty_plugin.cpp is caught by the validator's test
// meant for it, and by no test without a reason to see it. The validator
// runs as a user runs it, with --json, on one build of the fake per fault.
// Under wine every process start costs much, so there only the meant test
// runs. The editor's cases need an X server: the one of DISPLAY, else one
// xvfb-run starts; without either they are skipped.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <aerie/process.h>

namespace {

// The tests that render audio, which any broken output may fail.
const char* const kRenders =
    "threads.instances threads.parameters threads.state-restore state.restore parameters.fuzz processing.midi-variety "
    "processing.time-info lifecycle.latency-tail realtime.safety editor.window lifecycle.suspend-resume lifecycle.rates lifecycle.blocks lifecycle.rate-block-changes "
    "lifecycle.zero-frames processing.finite processing.subnormals processing.guards processing.inputs-untouched "
    "processing.in-place processing.accumulate processing.deterministic parameters.automation programs.switching "
    "state.bad-chunks host.requests";

struct Fault {
    const char* name;     // the module faulty_<name>
    const char* meant;    // the test that must fail ("" for the clean module)
    const char* message;  // a piece of its failure line
    const char* others;   // tests that may fail too, space-separated
    const char* args;     // extra validator options
    bool display = false; // runs with an X server, so that the editor test runs
    bool warns = false;   // the meant test only warns of it: a warning holds the message, and the run passes
};

const Fault kFaults[] = {
    {"none", "", "", "", "", true},
    {"nan", "processing.finite", "is NaN", kRenders, ""},
    {"overrun", "processing.guards", "past the", "lifecycle.blocks lifecycle.zero-frames", ""},
    {"input_write", "processing.inputs-untouched", "was changed", "", ""},
    {"crash", "lifecycle.suspend-resume", "crashed (",
     "lifecycle.rate-block-changes lifecycle.rates lifecycle.blocks processing.guards processing.finite "
     "processing.inputs-untouched",
     ""},
    {"hang", "lifecycle.rates", "made no progress for 3 s", "", "--timeout 3"},
    {"leak", "lifecycle.open-close", "grew steadily", "", ""},
    {"param_range", "parameters.range", "reads back", "", ""},
    {"unterminated", "parameters.texts", "no terminating NUL", "", ""},
    // Under AddressSanitizer the overflow also ends the thread test's child.
    {"overlong", "parameters.texts", "past the end", "threads.parameters", ""},
    {"chunk", "state.chunks", "different bytes", "", ""},
    {"random", "processing.deterministic", "differ", "", "--strictness 8"},
    {"subnormal", "processing.subnormals", "is subnormal", "", ""},
    {"in_place", "processing.in-place", "differs", "", ""},
    {"accumulate", "processing.accumulate", "overwrites the outputs", "", ""},
    {"program", "programs.switching", "effGetProgram answers", "", ""},
    {"bad_chunk", "state.bad-chunks", "crashed (", "", ""},
    {"identity", "loading.identity", "differs between two instances", "", ""},
    {"shared", "threads.instances", "share state", "state.restore threads.state-restore", ""},
    {"bad_record", "loading.record", "-1 (expected", "", ""},
    {"zero_frames", "lifecycle.zero-frames", "of 0 frames", "", ""},
    {"unwritten", "processing.finite", "was not written", kRenders, ""},
    {"underrun", "processing.guards", "written before the first frame", "lifecycle.blocks lifecycle.zero-frames", ""},
    {"exit", "loading.record", "ended the process (exit code 3) while opening", "", ""},
    {"allocate", "realtime.safety", "during processReplacing, called from", "", "--rt-safety"},
    {"lock", "realtime.safety", "pthread_mutex_lock on the audio thread", "", "--rt-safety"},
    {"editor_crash", "editor.window", "while opening the editor", "", "", true},
    {"chunk_ignored", "state.restore", "renders differently from the instance it was saved from", "", ""},
    {"latency", "lifecycle.latency-tail", "initialDelay is 8388608 frames", "", ""},
    {"unresolved", "loading.module", "undefined symbol: kstv_faulty_nowhere_defined", "", ""},
    {"no_entry", "loading.entry", "no entry point (neither VSTPluginMain nor main)", "", ""},
    // Every test's first instance would be slow: only the meant test runs.
    {"slow_open", "loading.scan-cost", "loading and opening one instance 1.", "", "--only loading.scan-cost", false, true},
    {"long_block", "lifecycle.blocks", "was not written", "", "--strictness 7"},
    {"running_change", "lifecycle.rate-block-changes", "after a change while running", "", "--strictness 6"},
    {"silent", "processing.notes", "the instrument stays silent", "", "--strictness 8"},
    {"pressure", "processing.midi-variety", "is NaN", "", ""},
    {"slow_tempo", "processing.time-info", "is NaN", "", ""},
    {"ramp", "parameters.automation", "is NaN", "parameters.fuzz threads.parameters", ""},
    {"short_after_change", "parameters.fuzz", "is NaN", "", ""},
    {"param_thread", "threads.parameters", "while another thread sets and reads parameters", "", ""},
    // state.chunks sets its chunks into a resumed instance too.
    {"chunk_while_running", "threads.state-restore", "reads back otherwise than restored into an idle instance",
     "state.chunks", "--strictness 7"},
    {"foreign_record", "host.requests", "came with a record that is not the instance's", "", "", false, true},
    {"null_write", "requests.null-pointers", "crashed (", "", "--strictness 6"},
    {"buffer_fill", "requests.buffer-bounds", "wrote byte 152", "", "--strictness 6"},
    {"negative_frames", "requests.odd-orders", "written outside the -1 frames", "", "--strictness 6"},
};

// Where an X server is: DISPLAY's, or xvfb-run to start one; empty when
// there is none.
std::vector<std::string> displayPrefix(bool& available) {
    available = true;
#if !defined(_WIN32)
    const char* display = std::getenv("DISPLAY");
    if (display != nullptr && *display != '\0') return {};
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        const std::string xvfb = std::string(dir) + "/xvfb-run";
        if (std::filesystem::exists(xvfb)) return {xvfb, "-a"};
    }
    available = false;
#endif
    return {};
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The build of the fake with fault `name`.
std::string faulty(const char* name) { return std::string(FAULTY_DIR) + "/faulty_" + name + FAULTY_SUFFIX; }

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class Faults : public testing::TestWithParam<Fault> {};

TEST_P(Faults, CaughtByTheTestMeantForIt) {
    const Fault& f = GetParam();
    const std::string module = faulty(f.name);
    // Strictness 3 runs every test but the strictest variants, in less time
    // than the default; the clean module runs at the default.
    std::vector<std::string> argv = {VST2HOST, "validate", module, "--json"};
    if (f.display) {
        bool available = false;
        const std::vector<std::string> prefix = displayPrefix(available);
        if (!available && std::string(f.meant) == "editor.window") GTEST_SKIP() << "no X server and no xvfb-run";
        argv.insert(argv.begin(), prefix.begin(), prefix.end());
    }
    if (std::string(f.args).find("--strictness") == std::string::npos) {
        argv.insert(argv.end(), {"--strictness", f.meant[0] != '\0' ? "3" : "5"});
    }
    for (const std::string& a : words(f.args)) argv.push_back(a);
#if defined(_WIN32) || defined(FAULTS_ONLY_MEANT)
    if (std::string(f.args).find("--only") == std::string::npos) {
        argv.push_back("--only");
        argv.push_back(f.meant[0] != '\0' ? f.meant : "processing");
    }
#endif
    std::filesystem::create_directories(TEST_TMP);
    const std::string out = std::string(TEST_TMP) + "/faults_" + f.name + ".json";
    aerie::ProcessOptions options;
    options.stdoutPath = out;
    options.stderrPath = out + ".stderr";
    options.timeoutSeconds = 120;
    const aerie::ProcessResult r = aerie::runProcess(argv, options);
    ASSERT_EQ(r.end, aerie::ProcessResult::End::Exited) << r.why;
    std::ifstream in(out);
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << "no JSON in " << out;

    // A fault whose test did not run is not shown to be caught: that fails
    // (faults this build cannot catch are left out of the table below).
    for (const auto& t : report["modules"][0]["tests"]) {
        if (t["name"] == f.meant && t["result"] == "skipped") FAIL() << f.meant << " was skipped: " << t["reason"].get<std::string>();
    }
    EXPECT_EQ(r.exitCode, f.meant[0] != '\0' && !f.warns ? 8 : 0);
    const std::vector<std::string> others = words(f.others);
    bool caught = f.meant[0] == '\0';
    for (const auto& t : report["modules"][0]["tests"]) {
        const std::string name = t["name"];
        if (f.warns && name == f.meant) {
            std::string lines;
            for (const auto& line : t["warnings"]) lines += line.get<std::string>() + "\n";
            caught = lines.find(f.message) != std::string::npos;
            EXPECT_TRUE(caught) << name << " warned otherwise than expected:\n" << lines;
        }
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

// The faults this build can catch. The real-time watch replaces the
// allocator, which AddressSanitizer provides itself, so the sanitizer build
// has no real-time test: its faults are caught in the plain build; the
// watch is Linux's only. A Windows module cannot be linked with a symbol
// nowhere defined.
std::vector<Fault> faultsForThisBuild() {
    std::vector<Fault> faults(std::begin(kFaults), std::end(kFaults));
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
    std::erase_if(faults, [](const Fault& f) { return std::string(f.meant) == "realtime.safety"; });
#endif
#if defined(_WIN32)
    // A Windows module cannot be linked with a symbol nowhere defined; and
    // wine's process times need not count a module's busy first open.
    std::erase_if(faults, [](const Fault& f) { return std::string(f.name) == "unresolved" || std::string(f.name) == "slow_open"; });
#endif
    return faults;
}

INSTANTIATE_TEST_SUITE_P(Validator, Faults, testing::ValuesIn(faultsForThisBuild()),
                         [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

// vst2host with `args`: its exit code and standard output.
std::pair<int, std::string> run(std::vector<std::string> args) {
    std::filesystem::create_directories(TEST_TMP);
    const std::string out = std::string(TEST_TMP) + "/cli_" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
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
}

// What a user meets first: the options.
TEST(ValidatorCommandLine, ExitCodesListAndSummary) {
    const std::string clean = faulty("none");
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
    EXPECT_EQ(tests.size(), 40u);
    for (const auto& t : tests) EXPECT_FALSE(t["why"].get<std::string>().empty()) << t["name"];

    // Groups select, skips subtract, the summary is the last line alone.
    const auto [code, text] = run({"validate", clean, "--only", "loading,state", "--skip", "state.bad-chunks"});
    EXPECT_EQ(code, 0);
    EXPECT_NE(text.find("\n7 passed, 0 failed, 0 skipped\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("bad-chunks"), std::string::npos) << text;

    // A module that is not there fails loading and skips the rest.
    const auto [missingCode, missing] = run({"validate", clean + ".missing", "--only", "loading"});
    EXPECT_EQ(missingCode, 8);
    EXPECT_NE(missing.find("FAIL  loading.module: module not found"), std::string::npos) << missing;
    EXPECT_NE(missing.find("\n0 passed, 1 failed, 4 skipped\n"), std::string::npos) << missing;
}

// Below the strictness a test fails from, its failures are warnings and the
// run passes: the catalogue's threshold (threads.state-restore fails from 7)
// and a test's own (processing.deterministic compares bit for bit from 8).
TEST(ValidatorCommandLine, StrictnessTurnsFailuresIntoWarnings) {
    const struct Case {
        const char* fault;
        const char* test;
        const char* strictness;
        const char* warning;
    } cases[] = {
        {"chunk_while_running", "threads.state-restore", "6", "(a failure at strictness 7)"},
        {"random", "processing.deterministic", "7", "(a failure at strictness 8)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        const auto [code, text] = run({"validate", faulty(c.fault), "--only", c.test, "--strictness", c.strictness, "--json"});
        EXPECT_EQ(code, 0) << text;
        const nlohmann::json report = nlohmann::json::parse(text, nullptr, false);
        ASSERT_FALSE(report.is_discarded()) << text;
        const auto& t = report["modules"][0]["tests"][0];
        EXPECT_EQ(t["result"], "passed");
        ASSERT_EQ(t["warnings"].size(), 1u) << t;
        EXPECT_NE(t["warnings"][0].get<std::string>().find(c.warning), std::string::npos) << t;
    }
}

// --seed chooses the random values, the same ones every time; --repeat runs
// each test with the seeds from --seed on, until one fails, and says which.
// Fault short_after_change is caught by parameters.fuzz only where its
// random blocks put a short block after a change: with seeds 1, 2 and 4,
// not with 3 (std::mt19937_64 and libstdc++'s distributions, in every build).
TEST(ValidatorCommandLine, SeedAndRepeat) {
    auto fuzz = [](std::vector<std::string> extra) {
        std::vector<std::string> args = {"validate", faulty("short_after_change"), "--only", "parameters.fuzz", "--strictness", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(args);
    };
    auto failure = [](const std::string& text) {
        const std::size_t at = text.find("FAIL  parameters.fuzz: ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    };
    const auto [code1, seed1] = fuzz({"--seed", "1"});
    EXPECT_EQ(code1, 8);
    EXPECT_NE(seed1.find("at strictness 1, seed 1\n"), std::string::npos) << seed1;
    ASSERT_FALSE(failure(seed1).empty()) << seed1;
    EXPECT_EQ(failure(fuzz({"--seed", "1"}).second), failure(seed1));
    const auto [code2, seed2] = fuzz({"--seed", "2"});
    EXPECT_EQ(code2, 8);
    EXPECT_NE(failure(seed2), failure(seed1)) << "the seed changes nothing";

    EXPECT_EQ(fuzz({"--seed", "3"}).first, 0);
    const auto [repeated, text] = fuzz({"--seed", "3", "--repeat", "2"});
    EXPECT_EQ(repeated, 8);
    EXPECT_NE(text.find("FAIL  parameters.fuzz: run 2 (seed 4): "), std::string::npos) << text;
    // The first failure ends the repeats: run 2 of seed 1 is not run.
    const auto [once, first] = fuzz({"--seed", "1", "--repeat", "2"});
    EXPECT_EQ(once, 8);
    EXPECT_NE(first.find("run 1 (seed 1): "), std::string::npos) << first;
    EXPECT_EQ(first.find("run 2 ("), std::string::npos) << first;
}

// JUnit XML for CI, read by a parser that knows nothing of the validator:
// two modules validated side by side (-j 2), one clean and one that fails,
// with the clean one's skips and warnings where CI systems look for them.
TEST(ValidatorCommandLine, JunitReportReadByAnXmlParser) {
    std::filesystem::create_directories(TEST_TMP);
    const std::string xml = std::string(TEST_TMP) + "/report.xml";
    std::filesystem::remove(xml);
    const std::string clean = faulty("none");
    const std::string nan = faulty("nan");
    aerie::ProcessOptions options;
    options.stdoutPath = std::string(TEST_TMP) + "/junit.txt";
    options.stderrPath = options.stdoutPath + ".stderr";
    options.timeoutSeconds = 120;
    // realtime.safety warns for the clean module without failing; the
    // subnormal test is skipped below strictness 3.
    const aerie::ProcessResult r = aerie::runProcess(
        {VST2HOST, "validate", clean, nan, "-j", "2", "--strictness", "2", "--only",
         "loading.record,processing.finite,processing.subnormals,lifecycle.latency-tail", "--junit", xml},
        options);
    ASSERT_EQ(r.end, aerie::ProcessResult::End::Exited) << r.why;
    EXPECT_EQ(r.exitCode, 8);
#if defined(_WIN32) || !defined(PYTHON3)
    GTEST_SKIP() << "python3 reads the file on the build machine only";
#else
    // The parser prints one line per testsuite: name tests failures skipped, then one per testcase.
    const std::string script =
        "import sys, xml.etree.ElementTree as ET\n"
        "root = ET.parse(sys.argv[1]).getroot()\n"
        "assert root.tag == 'testsuites', root.tag\n"
        "for s in root.findall('testsuite'):\n"
        "    float(s.get('time'))\n"
        "    print('suite', s.get('name').rsplit('/', 1)[-1], s.get('tests'), s.get('failures'), s.get('skipped'))\n"
        "    for c in s.findall('testcase'):\n"
        "        float(c.get('time'))\n"
        "        kind = 'failed' if c.find('failure') is not None else 'skipped' if c.find('skipped') is not None else 'passed'\n"
        "        out = c.find('system-out')\n"
        "        print('case', c.get('name'), kind, 'out' if out is not None and out.text else '-')\n";
    const std::string parsed = std::string(TEST_TMP) + "/junit-parsed.txt";
    aerie::ProcessOptions py;
    py.stdoutPath = parsed;
    py.stderrPath = parsed + ".stderr";
    py.timeoutSeconds = 60;
    const aerie::ProcessResult p = aerie::runProcess({PYTHON3, "-c", script, xml}, py);
    ASSERT_EQ(p.end, aerie::ProcessResult::End::Exited) << p.why;
    std::ifstream in(parsed), err(parsed + ".stderr");
    std::stringstream text, errors;
    text << in.rdbuf();
    errors << err.rdbuf();
    ASSERT_EQ(p.exitCode, 0) << errors.str();
    const std::string suffix = FAULTY_SUFFIX;
    EXPECT_NE(text.str().find("suite faulty_none" + suffix + " 4 0 1\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("suite faulty_nan" + suffix + " 4 2 1\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("case processing.subnormals skipped"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("case processing.finite failed"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("case lifecycle.latency-tail passed out"), std::string::npos) << text.str();
#endif
}

// A floating-point exception is a warning at every strictness (plug-ins in
// wide use raise them), with the step it was raised in.
TEST(ValidatorFaults, TrapsAreWarnedAbout) {
    std::filesystem::create_directories(TEST_TMP);
    const std::string out = std::string(TEST_TMP) + "/faults_trap.json";
    aerie::ProcessOptions options;
    options.stdoutPath = out;
    options.stderrPath = out + ".stderr";
    options.timeoutSeconds = 120;
    const std::string module = std::string(FAULTY_DIR) + "/faulty_trap" + FAULTY_SUFFIX;
    const aerie::ProcessResult r = aerie::runProcess(
        {VST2HOST, "validate", module, "--json", "--strictness", "10", "--only", "processing.fp-traps"}, options);
    ASSERT_EQ(r.end, aerie::ProcessResult::End::Exited) << r.why;
    EXPECT_EQ(r.exitCode, 0);
    std::ifstream in(out);
    const nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << "no JSON in " << out;
    const auto& test = report["modules"][0]["tests"][0];
    EXPECT_EQ(test["result"], "passed");
    ASSERT_EQ(test["warnings"].size(), 1u) << test;
    const std::string warning = test["warnings"][0];
    EXPECT_NE(warning.find("crashed ("), std::string::npos) << warning;  // the signal's or the exception's name
    EXPECT_NE(warning.find(") while process at 44100 Hz"), std::string::npos) << warning;
}

}  // namespace
