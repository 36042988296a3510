#include <aerie/io/wav_writer.h>

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "files.h"

namespace {

using fixtures::readWav;
using aerie::SampleFormat;
using aerie::WavWriter;

std::string path(const char* name) { return fixtures::tmpDir() + "/" + name; }

TEST(WavFile, FloatSamplesRoundTripExactlyInBlocks) {
    const std::string p = path("float.wav");
    const float a[] = {0.0f, 1.0f, -1.0f, 1.0e-30f, 3.5f};
    const float b[] = {0.25f, -0.25f, 0.125f, -2.0f, 1.0f / 3.0f};
    {
        WavWriter w(p, 2, 48000, SampleFormat::Float32);
        const float* first[] = {a, b};
        const float* rest[] = {a + 3, b + 3};
        w.write(first, 3);
        w.write(rest, 2);
        w.commit();
        EXPECT_FALSE(std::filesystem::exists(w.temporaryPath()));
    }
    const auto wav = readWav(p);
    ASSERT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.formatTag, 3);
    EXPECT_EQ(wav.rate, 48000u);
    EXPECT_EQ(wav.bits, 32);
    ASSERT_EQ(wav.frames(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(wav.samples[0][i], a[i]);
        EXPECT_EQ(wav.samples[1][i], b[i]);
    }
}

// Round to nearest, clip at both ends (positive full scale is one step short
// of 1.0), silence for NaN; 24-bit keeps what 16-bit loses.
TEST(WavFile, IntegerFormatsRoundAndClip) {
    const float x[] = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -2.0f, 1.0f / 65536.0f, NAN};
    const float* ch[] = {x};
    for (SampleFormat f : {SampleFormat::Pcm16, SampleFormat::Pcm24}) {
        const std::string p = path(f == SampleFormat::Pcm16 ? "pcm16.wav" : "pcm24.wav");
        WavWriter w(p, 1, 44100, f);
        w.write(ch, 9);
        w.commit();
        const auto wav = readWav(p);
        ASSERT_EQ(wav.channels, 1);
        EXPECT_EQ(wav.formatTag, 1);
        const double scale = f == SampleFormat::Pcm16 ? 32768.0 : 8388608.0;
        const auto& s = wav.samples[0];
        ASSERT_EQ(s.size(), 9u);
        EXPECT_EQ(s[0], 0.0f);
        EXPECT_EQ(s[1], 0.5f);
        EXPECT_EQ(s[2], -0.5f);
        EXPECT_EQ(s[3], static_cast<float>((scale - 1) / scale));
        EXPECT_EQ(s[4], -1.0f);
        EXPECT_EQ(s[5], static_cast<float>((scale - 1) / scale));
        EXPECT_EQ(s[6], -1.0f);
        EXPECT_EQ(s[7], f == SampleFormat::Pcm16 ? 1.0f / 32768.0f : 1.0f / 65536.0f);  // 0.5 step rounds up
        EXPECT_EQ(s[8], 0.0f);
    }
}

TEST(WavFile, ManyChannelsUseTheExtensibleHeader) {
    const std::string p = path("six.wav");
    std::vector<std::vector<float>> data(6, std::vector<float>(3));
    std::vector<const float*> ch;
    for (std::size_t c = 0; c < 6; ++c) {
        for (std::size_t i = 0; i < 3; ++i) data[c][i] = static_cast<float>(c) / 8.0f + static_cast<float>(i) / 64.0f;
        ch.push_back(data[c].data());
    }
    WavWriter w(p, 6, 44100, SampleFormat::Pcm24);
    w.write(ch.data(), 3);  // 54 bytes of data
    w.commit();
    const std::string raw = fixtures::readText(p);
    EXPECT_EQ(fixtures::le(raw, 20, 2), 0xFFFEu);
    const auto wav = readWav(p);
    ASSERT_EQ(wav.channels, 6);
    for (std::size_t c = 0; c < 6; ++c) EXPECT_EQ(wav.samples[c], data[c]);
}

TEST(WavFile, NothingAppearsUnlessCommitted) {
    const std::string p = path("abandoned.wav");
    std::filesystem::remove(p);
    std::string tmp;
    {
        WavWriter w(p, 1, 44100, SampleFormat::Float32);
        tmp = w.temporaryPath();
        const float x[] = {1.0f};
        const float* ch[] = {x};
        w.write(ch, 1);
        EXPECT_TRUE(std::filesystem::exists(tmp));
    }
    EXPECT_FALSE(std::filesystem::exists(tmp));
    EXPECT_FALSE(std::filesystem::exists(p));
}

TEST(WavFile, CommitReplacesAnExistingFile) {
    const std::string p = path("replace.wav");
    fixtures::writeFile(p, {'o', 'l', 'd'});
    WavWriter w(p, 1, 8000, SampleFormat::Pcm16);
    w.commit();
    const auto wav = readWav(p);
    EXPECT_EQ(wav.channels, 1);
    EXPECT_EQ(wav.frames(), 0u);
}

TEST(WavFile, UnwritablePlacesAreRefusedUpFront) {
    const struct {
        std::string path;
        const char* message;
    } cases[] = {
        {path("no-such-folder/x.wav"), "does not exist"},
        {fixtures::tmpDir(), "is a folder"},
        {"", "no output file given"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        try {
            WavWriter w(c.path, 1, 44100, SampleFormat::Float32);
            ADD_FAILURE() << "accepted";
        } catch (const aerie::OutputError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
