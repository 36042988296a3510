// Standard preset and bank files: the layout byte by byte, round trips of
// the four kinds, truncated and hostile files.
#include <gtest/gtest.h>

#include <aerie/io/preset.h>

#include "presets.h"

namespace {

using fixtures::Bytes;
using fixtures::handMadeProgram;
using fixtures::samplePreset;

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

TEST(PresetFile, EveryKindRoundTripsAndEveryTruncationIsRefused) {
    for (const auto kind : {aerie::PresetKind::Program, aerie::PresetKind::ProgramChunk, aerie::PresetKind::Bank,
                            aerie::PresetKind::BankChunk}) {
        SCOPED_TRACE(aerie::presetKindTag(kind));
        const aerie::PresetFile p = samplePreset(kind);
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
    const Bytes good = aerie::serializePreset(samplePreset(aerie::PresetKind::Bank));
    auto with = [&](std::size_t at, std::uint32_t v) {
        Bytes b = good;
        for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
        return b;
    };
    Bytes longer = good;
    longer.push_back(0);
    const Bytes chunkProgram = aerie::serializePreset(samplePreset(aerie::PresetKind::ProgramChunk));
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

}  // namespace
