// Standard preset and bank files: the layout byte by byte, round trips of
// the four kinds, truncated and hostile files, and the command-line host
// saving, loading and converting them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "helpers.h"
#include <aerie/io/preset.h>
#include <aerie/io/wav_writer.h>

namespace {

using testing_tools::Bytes;
using testing_tools::put32;
using testing_tools::readText;
using testing_tools::runTool;
using testing_tools::tmp;

void putTag(Bytes& b, const char* t) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(t[i]));
}
void putFloat(Bytes& b, float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    put32(b, u);
}
void putName(Bytes& b, const char* name) {
    const std::size_t n = std::strlen(name);
    b.insert(b.end(), name, name + n);
    b.insert(b.end(), 28 - n, 0);
}

// An 'FxCk' program of two parameters for 'Fakw' version 7, as the layout
// says: 'CcnK', the size of the rest, the kind, version 1, id, plug-in
// version, count, the name in 28 bytes, the values as big-endian floats.
Bytes handMadeProgram() {
    Bytes b;
    putTag(b, "CcnK");
    put32(b, 20 + 28 + 8);  // from the kind to the end
    putTag(b, "FxCk");
    put32(b, 1);
    putTag(b, "Fakw");
    put32(b, 7);
    put32(b, 2);
    putName(b, "Warm");
    putFloat(b, 0.25f);
    putFloat(b, 1.0f);
    return b;
}

TEST(PresetFile, AFileAssembledFromTheLayoutReads) {
    const Bytes b = handMadeProgram();
    const aerie::PresetFile p = aerie::parsePreset(b);
    EXPECT_EQ(p.kind, aerie::PresetKind::Program);
    EXPECT_EQ(p.uniqueId, 0x46616B77);
    EXPECT_EQ(p.pluginVersion, 7);
    EXPECT_EQ(p.name, "Warm");
    EXPECT_EQ(p.parameters, (std::vector<float>{0.25f, 1.0f}));
    EXPECT_EQ(aerie::serializePreset(p), b) << "written back byte for byte";
}

aerie::PresetFile sample(aerie::PresetKind kind) {
    aerie::PresetFile p;
    p.kind = kind;
    p.uniqueId = 0x5A434D50;
    p.pluginVersion = 262400;
    p.name = "A name of exactly 27 chars!";
    p.parameters = {0.0f, 0.5f, 1.0f};
    p.count = 3;
    p.chunk = {1, 2, 3, 0, 255};
    if (aerie::isBank(kind)) {
        p.formatVersion = 2;
        p.currentProgram = 1;
        p.programs = {{p.uniqueId, p.pluginVersion, "One", {0.1f, 0.2f}}, {p.uniqueId, p.pluginVersion, "Two", {0.3f, 0.4f}}};
        p.count = 2;
    }
    return p;
}

TEST(PresetFile, EveryKindRoundTripsAndEveryTruncationIsRefused) {
    for (const auto kind : {aerie::PresetKind::Program, aerie::PresetKind::ProgramChunk, aerie::PresetKind::Bank,
                            aerie::PresetKind::BankChunk}) {
        SCOPED_TRACE(aerie::presetKindTag(kind));
        const aerie::PresetFile p = sample(kind);
        const Bytes b = aerie::serializePreset(p);
        EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 12), aerie::presetKindTag(kind));
        const aerie::PresetFile q = aerie::parsePreset(b);
        EXPECT_EQ(q.kind, kind);
        EXPECT_EQ(q.uniqueId, p.uniqueId);
        EXPECT_EQ(q.name, kind == aerie::PresetKind::Program || kind == aerie::PresetKind::ProgramChunk ? p.name : "");
        EXPECT_EQ(aerie::serializePreset(q), b);
        for (std::size_t n = 0; n < b.size(); ++n) {
            const Bytes cut(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
            try {
                (void)aerie::parsePreset(cut);
                ADD_FAILURE() << "a file cut to " << n << " bytes was read";
                break;
            } catch (const aerie::PresetError& e) {
                if (n > 0 && std::string(e.what()).find("byte") == std::string::npos) ADD_FAILURE() << e.what();
            }
        }
    }
}

TEST(PresetFile, HostileFilesAreRefusedWithTheOffset) {
    const Bytes good = aerie::serializePreset(sample(aerie::PresetKind::Bank));
    auto with = [&](std::size_t at, std::uint32_t v) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    const Bytes chunkProgram = aerie::serializePreset(sample(aerie::PresetKind::ProgramChunk));
    Bytes negativeChunk = chunkProgram;
    negativeChunk[56] = 0xFF;
    struct Case {
        const char* what;
        Bytes bytes;
        const char* says;
    } cases[] = {
        {"not CcnK", with(0, 0x52494646), "byte 0 holds 'RIFF', 'CcnK' expected"},
        {"unknown kind", with(8, 0x41424344), "byte 8 holds 'ABCD'"},
        {"size too large", with(4, 0x7FFFFFFF), "truncated preset file: byte 4 says 2147483647 bytes follow"},
        {"bytes past the size", longer, "byte 4 says the file ends at byte"},
        {"version 3", with(12, 3), "format version 3, 1 or 2 expected"},
        {"a billion programs", with(24, 1000000000), "byte 24 says 1000000000 programs"},
        {"negative count", with(24, 0xFFFFFFFF), "byte 24 holds a count of -1"},
        {"program of another kind", with(156 + 8, 0x46504368), "holds 'FPCh', 'FxCk' expected (program 1 of the bank)"},
        {"program too long for the bank", with(156 + 4, 1000), "byte 160 says 1000 bytes follow"},
        {"negative chunk size", negativeChunk, "byte 56 holds a chunk size of"},
        {"empty", {}, "it is empty"},
    };
    for (const Case& c : cases) {
        try {
            (void)aerie::parsePreset(c.bytes);
            ADD_FAILURE() << c.what << ": read";
        } catch (const aerie::PresetError& e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

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
    testing_tools::writeFile(fxp, handMadeProgram());
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
    testing_tools::writeFile(fxb, aerie::serializePreset(sample(aerie::PresetKind::Bank)));
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
