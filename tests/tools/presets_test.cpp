// The command-line host saving, loading and converting preset and bank
// files (the format itself is tested with the library's tests).
#include <gtest/gtest.h>

#include <filesystem>

#include <aerie/io/preset.h>
#include <aerie/io/wav_writer.h>

#include "helpers.h"
#include "presets.h"

namespace {

using testing_tools::Bytes;
using testing_tools::readText;
using testing_tools::runTool;
using testing_tools::tmp;

// The fake effects keep their state as parameters (Fake Wide) or as a chunk
// (Fake Effect): saved, loaded into a fresh instance, saved again, the
// files agree byte for byte; and the JSON state converts both ways.
TEST(PresetFile, TheHostSavesLoadsAndConvertsBothKinds) {
    struct Case {
        const char* module;
        const char* param;
        const char* kind;
    } cases[] = {{FAKE_WIDE, "Gain=0.3", "FxCk"}, {FAKE_EFFECT, "Gain=0.3", "FPCh"}};
    const std::string notes = "60:100@0";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        const std::string fxp = tmp("a.fxp");
        const std::string fxb = tmp("a.fxb");
        const std::string out = tmp("x.wav");
        auto run = [&](std::vector<std::string> extra) {
            std::vector<std::string> args = {"render", c.module, "--notes", notes, "--tail", "0", "--out", out};
            args.insert(args.end(), extra.begin(), extra.end());
            const testing_tools::ToolRun r = runTool(args);
            EXPECT_EQ(r.code, 0) << r.err;
            return r;
        };
        run({"--param", c.param, "--save-preset", fxp, "--save-bank", fxb});
        EXPECT_EQ(readText(fxp).substr(8, 4), c.kind);
        const std::string again = tmp("b.fxp");
        const std::string bankAgain = tmp("b.fxb");
        run({"--preset", fxp, "--save-preset", again});
        run({"--bank", fxb, "--save-bank", bankAgain});
        EXPECT_EQ(readText(again), readText(fxp));
        EXPECT_EQ(readText(bankAgain), readText(fxb));

        const std::string json = tmp("a.json");
        const std::string back = tmp("c.fxp");
        ASSERT_EQ(runTool({"convert", fxp, json}).code, 0);
        const testing_tools::ToolRun r = runTool({"convert", json, back});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(readText(back), readText(fxp));
        run({"--state", json, "--save-preset", again});
        EXPECT_EQ(readText(again), readText(fxp));
    }
}

TEST(PresetFile, AnotherPlugInsFileNeedsForce) {
    const std::string fxp = tmp("wide.fxp");
    testing_tools::writeFile(fxp, fixtures::handMadeProgram());
    const std::string out = tmp("x.wav");
    std::filesystem::remove(out);
    std::vector<std::string> args = {"render", FAKE_EFFECT, "--notes", "60:100@0", "--out", out, "--preset", fxp};
    testing_tools::ToolRun r = runTool(args);
    EXPECT_EQ(r.code, 5);
    EXPECT_NE(r.err.find("made for 'Fakw', not for this plug-in ('Fake'); --force loads it anyway"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(out));
    // Fake Effect keeps chunks: a parameter file cannot be wrong for it, only foreign.
    args.push_back("--force");
    r = runTool(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("loaded anyway"), std::string::npos) << r.err;
    // A bank given as a preset is refused before anything loads.
    const std::string fxb = tmp("bank.fxb");
    testing_tools::writeFile(fxb, aerie::serializePreset(fixtures::samplePreset(aerie::PresetKind::Bank)));
    r = runTool({"render", FAKE_EFFECT, "--notes", "60:100@0", "--out", out, "--preset", fxb});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("the file holds a bank (parameters); use --bank"), std::string::npos) << r.err;
}

// Debian's plug-ins keep parameters: a bank saved from one loads back into
// a fresh instance and saves the same bytes.
TEST(PresetFile, DebianPlugInsRoundTrip) {
#if defined(_WIN32)
    GTEST_SKIP() << "Debian's plug-ins are Linux modules";
#endif
    int tried = 0;
    for (const char* path : {"/usr/lib/vst/ZamComp-vst.so", "/usr/lib/vst/MVerb-vst.so"}) {
        if (!std::filesystem::exists(path)) continue;
        ++tried;
        SCOPED_TRACE(path);
        const std::string in = tmp("in.wav");
        {
            std::vector<float> x(4410, 0.25f);
            const float* p[2] = {x.data(), x.data()};
            aerie::WavWriter w(in, 2, 44100, aerie::SampleFormat::Float32);
            w.write(p, x.size());
            w.commit();
        }
        const std::string a = tmp("a.fxb");
        const std::string b = tmp("b.fxb");
        const std::string out = tmp("x.wav");
        ASSERT_EQ(runTool({"render", path, "--input", in, "--tail", "0", "--param", "1=0.6", "--out", out, "--save-bank", a}).code, 0);
        const testing_tools::ToolRun r = runTool({"render", path, "--input", in, "--tail", "0", "--bank", a, "--out", out, "--save-bank", b});
        ASSERT_EQ(r.code, 0) << r.err;
        EXPECT_EQ(readText(a), readText(b));
        const std::string saved = readText(a);
        EXPECT_EQ(aerie::parsePreset(Bytes(saved.begin(), saved.end())).programs.at(0).parameters.at(0), 0.6f);
    }
    if (tried == 0) GTEST_SKIP() << "zam-plugins and dpf-plugins-vst are not installed";
}

}  // namespace
