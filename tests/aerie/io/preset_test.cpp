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

using fixtures::put32;
using fixtures::putName;
using fixtures::putTag;

// The header every file starts with, the size of the rest left to patch.
Bytes header(const char* kind, std::uint32_t version, std::uint32_t count) {
    Bytes b;
    putTag(b, "CcnK");
    put32(b, 0);
    putTag(b, kind);
    put32(b, version);
    putTag(b, "Fakw");
    put32(b, 7);
    put32(b, count);
    return b;
}

Bytes sized(Bytes b) {
    const auto rest = static_cast<std::uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(rest >> (24 - 8 * i));
    return b;
}

// The other three kinds, assembled from the layout: a program's chunk after
// its name; a bank's 128 reserved bytes (the current program first, in
// version 2), then whole programs or the chunk.
TEST(PresetFile, EveryOtherKindAssembledFromTheLayoutReads) {
    Bytes programChunk = header("FPCh", 1, 3);
    putName(programChunk, "Dark");
    put32(programChunk, 5);
    programChunk.insert(programChunk.end(), {1, 2, 3, 0, 255});

    Bytes bank = header("FxBk", 2, 2);
    put32(bank, 1);
    bank.insert(bank.end(), 124, 0);
    for (const Bytes& p : {handMadeProgram("Warm", {0.25f, 1.0f}), handMadeProgram("Cold", {0.0f, 0.5f})}) {
        bank.insert(bank.end(), p.begin(), p.end());
    }

    Bytes oldBank = header("FxBk", 1, 1);
    oldBank.insert(oldBank.end(), 128, 0);
    const Bytes one = handMadeProgram("Only", {0.75f});
    oldBank.insert(oldBank.end(), one.begin(), one.end());

    Bytes bankChunk = header("FBCh", 2, 4);
    put32(bankChunk, 2);
    bankChunk.insert(bankChunk.end(), 124, 0);
    put32(bankChunk, 3);
    bankChunk.insert(bankChunk.end(), {'a', 'b', 'c'});

    const struct Case {
        const char* what;
        Bytes bytes;
        aerie::PresetKind kind;
        std::int32_t version, count, current;
        const char* name;
        std::vector<unsigned char> chunk;
        std::vector<std::pair<std::string, std::vector<float>>> programs;
    } cases[] = {
        {"FPCh", sized(programChunk), aerie::PresetKind::ProgramChunk, 1, 3, 0, "Dark", {1, 2, 3, 0, 255}, {}},
        {"FxBk version 2", sized(bank), aerie::PresetKind::Bank, 2, 2, 1, "", {}, {{"Warm", {0.25f, 1.0f}}, {"Cold", {0.0f, 0.5f}}}},
        {"FxBk version 1", sized(oldBank), aerie::PresetKind::Bank, 1, 1, 0, "", {}, {{"Only", {0.75f}}}},
        {"FBCh", sized(bankChunk), aerie::PresetKind::BankChunk, 2, 4, 2, "", {'a', 'b', 'c'}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const aerie::PresetFile p = aerie::parsePreset(c.bytes);
        EXPECT_EQ(p.kind, c.kind);
        EXPECT_EQ(p.formatVersion, c.version);
        EXPECT_EQ(p.uniqueId, 0x46616B77);
        EXPECT_EQ(p.pluginVersion, 7);
        EXPECT_EQ(p.count, c.count);
        EXPECT_EQ(p.currentProgram, c.current);
        EXPECT_EQ(p.name, c.name);
        EXPECT_EQ(p.chunk, c.chunk);
        ASSERT_EQ(p.programs.size(), c.programs.size());
        for (std::size_t i = 0; i < c.programs.size(); ++i) {
            EXPECT_EQ(p.programs[i].uniqueId, 0x46616B77);
            EXPECT_EQ(p.programs[i].pluginVersion, 7);
            EXPECT_EQ(p.programs[i].name, c.programs[i].first);
            EXPECT_EQ(p.programs[i].parameters, c.programs[i].second);
        }
        EXPECT_EQ(aerie::serializePreset(p), c.bytes) << "written back byte for byte";
    }
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
