// The validator as a library, as another front end uses it: a report per
// module with each test's status, message and time, results handed on in
// catalogue order, and the JUnit file.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/vst2host/validate/host_answers.h"
#include "tools/vst2host/validate/validator.h"

namespace {

std::string faulty(const char* name) { return std::string(FAULTY_DIR) + "/faulty_" + name + FAULTY_SUFFIX; }

// Windows has no fork: each test's process is the command line's child side.
validate::RunOptions runOptions() {
    validate::RunOptions options;
#if defined(_WIN32)
    options.restart = [](const validate::TestDef& test, const validate::Settings& settings) {
        return validate::childCommandLine(VST2HOST, test, settings);
    };
#endif
    return options;
}

TEST(ValidatorLibrary, ReportsEachTestInCatalogueOrder) {
    validate::RunOptions options = runOptions();
    options.strictness = 3;
    options.only = {"loading", "processing.finite", "processing.guards"};
    const struct {
        const char* fault;
        int failed;
        const char* message;  // a piece of processing.finite's message
    } cases[] = {{"none", 0, ""}, {"nan", 1, "is NaN"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        std::vector<std::string> handed;
        const validate::ModuleReport r =
            validate::validateModule(faulty(c.fault), options, [&](const validate::TestResult& t) { handed.push_back(t.name()); });
        std::vector<std::string> names;
        for (const auto& t : r.tests) names.push_back(t.name());
        EXPECT_EQ(handed, names);
        ASSERT_EQ(names.size(), 7u);  // five loading tests and the two named
        EXPECT_EQ(names.front(), "loading.module");
        EXPECT_EQ(names.back(), "processing.guards");
        EXPECT_EQ(r.failed, c.failed);
        EXPECT_EQ(r.passed + r.failed + r.skipped, 7);
        EXPECT_EQ(r.ok(), c.failed == 0);
        EXPECT_FALSE(r.plugin.empty());
        const validate::TestResult& finite = r.tests[5];
        EXPECT_EQ(finite.status, c.failed != 0 ? validate::TestResult::Status::Failed : validate::TestResult::Status::Passed);
        EXPECT_NE(finite.message().find(c.message), std::string::npos) << finite.message();
        EXPECT_GT(finite.seconds, 0.0);
    }
}

TEST(ValidatorLibrary, PatternsAndTheJunitFile) {
    EXPECT_TRUE(validate::selected("state.chunks", {"state"}));
    EXPECT_TRUE(validate::selected("state.chunks", {"sta*"}));
    EXPECT_FALSE(validate::selected("statements.x", {"state"}));
    EXPECT_EQ(validate::unknownPatterns({"state", "no.such", "loading.*"}), std::vector<std::string>{"no.such"});

    validate::RunOptions options = runOptions();
    options.only = {"loading.module", "loading.record"};
    const std::vector<validate::ModuleReport> reports = {validate::validateModule(faulty("bad_record"), options)};
    ASSERT_EQ(reports[0].failed, 1);
    std::filesystem::create_directories(TEST_TMP);
    const std::string path = std::string(TEST_TMP) + "/library.xml";
    validate::writeJunit(path, reports, options, 1.0);
    std::ifstream in(path);
    std::stringstream xml;
    xml << in.rdbuf();
    EXPECT_NE(xml.str().find("tests=\"2\" failures=\"1\""), std::string::npos) << xml.str();
    EXPECT_NE(xml.str().find("<failure message="), std::string::npos);
    EXPECT_THROW(validate::writeJunit(std::string(TEST_TMP) + "/no/such/folder/x.xml", reports, options, 1.0),
                 std::runtime_error);
}

// The validator's host answers the time from a timeline per scene: the
// position moves on while playing, stays while stopped, and jumps back at
// a loop's end.
TEST(ValidatorHost, TimeFollowsTheScenes) {
    validate::ValidatorHost host;
    host.sampleRate = 48000.0f;
    auto time = [&] {
        return *reinterpret_cast<const VstTimeInfo*>(host.answer({nullptr, audioMasterGetTime, 0, 0, nullptr, 0.0f}));
    };
    const VstTimeInfo first = time();
    EXPECT_EQ(first.ppqPos, 0.0);
    EXPECT_NE(first.flags & kVstTransportChanged, 0);
    EXPECT_NE(first.flags & kVstTransportPlaying, 0);
    host.advance(36000);  // 0.75 s at 120 bpm
    VstTimeInfo t = time();
    EXPECT_DOUBLE_EQ(t.ppqPos, 1.5);
    EXPECT_DOUBLE_EQ(t.samplePos, 36000.0);
    EXPECT_EQ(t.flags & kVstTransportChanged, 0);
    EXPECT_EQ(t.sampleRate, 48000.0);

    validate::Transport stopped;
    stopped.playing = false;
    host.setTransport(stopped);
    host.advance(48000);
    t = time();
    EXPECT_DOUBLE_EQ(t.ppqPos, 1.5);
    EXPECT_EQ(t.flags & kVstTransportPlaying, 0);
    EXPECT_NE(t.flags & kVstTransportChanged, 0);

    validate::Transport loop;
    loop.tempo = 96.0;
    loop.numerator = 7;
    loop.denominator = 8;
    loop.looping = true;
    loop.loopStart = 4.0;
    loop.loopEnd = 4.5;
    host.setTransport(loop);
    EXPECT_DOUBLE_EQ(time().ppqPos, 4.0);  // moved into the loop
    host.advance(22500);                   // 0.75 quarter notes at 96 bpm: once round, a quarter in
    t = time();
    EXPECT_DOUBLE_EQ(t.ppqPos, 4.25);
    EXPECT_DOUBLE_EQ(t.tempo, 96.0);
    EXPECT_EQ(t.timeSigNumerator, 7);
    EXPECT_DOUBLE_EQ(t.barStartPos, 3.5);
    EXPECT_DOUBLE_EQ(t.cycleEndPos, 4.5);
    EXPECT_NE(t.flags & kVstTransportCycleActive, 0);
    EXPECT_NE(t.flags & kVstTransportChanged, 0);  // the jump back
    EXPECT_EQ(host.timeRequests(), 5);
}

}  // namespace
