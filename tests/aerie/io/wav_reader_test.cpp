// The WAV reader on files built byte by byte: every sample format it reads,
// the extensible header, extra chunks, and the files it must refuse.
#include <aerie/io/wav_reader.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "files.h"

namespace {

using fixtures::Bytes;
using aerie::WavReader;

void le(Bytes& b, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}
void tag(Bytes& b, const char* id) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(id[i]));
}

struct Layout {
    int formatTag = 1;
    int bits = 16;
    int channels = 1;
    std::uint32_t rate = 44100;
    bool extensible = false;
    std::vector<std::pair<std::string, Bytes>> before;  // chunks between "fmt " and "data"
};

Layout layout(int formatTag, int bits, int channels, std::uint32_t rate = 44100, bool extensible = false,
              std::vector<std::pair<std::string, Bytes>> before = {}) {
    Layout l;
    l.formatTag = formatTag;
    l.bits = bits;
    l.channels = channels;
    l.rate = rate;
    l.extensible = extensible;
    l.before = std::move(before);
    return l;
}

// A complete file around the given sample bytes.
Bytes wav(const Layout& l, const Bytes& data) {
    Bytes fmt;
    const int blockAlign = l.channels * l.bits / 8;
    le(fmt, l.extensible ? 0xFFFE : static_cast<std::uint64_t>(l.formatTag), 2);
    le(fmt, static_cast<std::uint64_t>(l.channels), 2);
    le(fmt, l.rate, 4);
    le(fmt, l.rate * static_cast<std::uint32_t>(blockAlign), 4);
    le(fmt, static_cast<std::uint64_t>(blockAlign), 2);
    le(fmt, static_cast<std::uint64_t>(l.bits), 2);
    if (l.extensible) {
        le(fmt, 22, 2);
        le(fmt, static_cast<std::uint64_t>(l.bits), 2);
        le(fmt, 3, 4);
        le(fmt, static_cast<std::uint64_t>(l.formatTag), 2);
        const unsigned char tail[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), std::begin(tail), std::end(tail));
    }
    Bytes body;
    tag(body, "WAVE");
    tag(body, "fmt ");
    le(body, fmt.size(), 4);
    body.insert(body.end(), fmt.begin(), fmt.end());
    for (const auto& [id, bytes] : l.before) {
        tag(body, id.c_str());
        le(body, bytes.size(), 4);
        body.insert(body.end(), bytes.begin(), bytes.end());
        if (bytes.size() & 1u) body.push_back(0);
    }
    tag(body, "data");
    le(body, data.size(), 4);
    body.insert(body.end(), data.begin(), data.end());
    Bytes file;
    tag(file, "RIFF");
    le(file, body.size(), 4);
    file.insert(file.end(), body.begin(), body.end());
    return file;
}

std::vector<std::vector<float>> readAll(WavReader& r) {
    const int channels = r.format().channels;
    std::vector<std::vector<float>> out(static_cast<std::size_t>(channels));
    std::vector<std::vector<float>> buffer(static_cast<std::size_t>(channels), std::vector<float>(2));
    std::vector<float*> pointers;
    for (auto& b : buffer) pointers.push_back(b.data());
    // Two frames at a time, so that reading in pieces is exercised.
    while (const std::size_t n = r.read(pointers.data(), 2)) {
        for (int c = 0; c < channels; ++c) {
            out[static_cast<std::size_t>(c)].insert(out[static_cast<std::size_t>(c)].end(), buffer[static_cast<std::size_t>(c)].begin(),
                                                    buffer[static_cast<std::size_t>(c)].begin() + static_cast<long>(n));
        }
    }
    return out;
}

Bytes floats32(std::initializer_list<float> values) {
    Bytes b;
    for (float v : values) {
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        le(b, u, 4);
    }
    return b;
}

Bytes floats64(std::initializer_list<double> values) {
    Bytes b;
    for (double v : values) {
        std::uint64_t u;
        std::memcpy(&u, &v, 8);
        le(b, u, 8);
    }
    return b;
}

TEST(WavReader, ReadsEverySampleFormatExactly) {
    const struct {
        const char* name;
        Layout layout;
        Bytes data;
        std::vector<std::vector<float>> expected;
        const char* description;
    } cases[] = {
        {"pcm8", layout(1, 8, 1), {0, 128, 255, 192}, {{-1.0f, 0.0f, 127.0f / 128, 0.5f}}, "8-bit PCM"},
        {"pcm16 stereo", layout(1, 16, 2), {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x40, 0x01, 0x00, 0xFF, 0xFF},
         {{-1.0f, 0.0f, 1.0f / 32768}, {32767.0f / 32768, 0.5f, -1.0f / 32768}}, "16-bit PCM"},
        {"pcm24", layout(1, 24, 1), {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0xC0},
         {{-1.0f, 8388607.0f / 8388608, -0.5f}}, "24-bit PCM"},
        {"pcm32", layout(1, 32, 1), {0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00},
         {{-1.0f, 0.5f, 0.0f}}, "32-bit PCM"},
        {"float32", layout(3, 32, 1), floats32({0.25f, -3.5f, 1e-30f}), {{0.25f, -3.5f, 1e-30f}}, "32-bit float"},
        {"float64", layout(3, 64, 2), floats64({0.125, -0.75, 1e300, -1e300}),
         {{0.125f, HUGE_VALF}, {-0.75f, -HUGE_VALF}}, "64-bit float"},
        // Extensible, three channels, with chunks to skip (one of odd size).
        {"extensible pcm24",
         layout(1, 24, 3, 48000, true, {{"LIST", Bytes(7, 'x')}, {"bext", Bytes(12, 0)}}),
         {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00},
         {{0.5f}, {-0.5f}, {0.0f}},
         "24-bit PCM"},
        {"extensible float", layout(3, 32, 1, 96000, true), floats32({0.5f}), {{0.5f}}, "32-bit float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = WavReader::fromMemory(wav(c.layout, c.data));
        EXPECT_EQ(reader->format().channels, c.layout.channels);
        EXPECT_EQ(reader->format().rate, c.layout.rate);
        EXPECT_EQ(reader->format().extensible, c.layout.extensible);
        EXPECT_EQ(reader->format().describe(), c.description);
        EXPECT_EQ(reader->format().frames, c.expected[0].size());
        EXPECT_EQ(reader->format().skippedChunks.size(), c.layout.before.size());
        EXPECT_EQ(readAll(*reader), c.expected);
    }
}

TEST(WavReader, RefusesWhatItCannotRead) {
    const Bytes good = wav(layout(1, 16, 2), Bytes(8, 0));
    auto cut = [&](std::size_t n) { return Bytes(good.begin(), good.begin() + static_cast<long>(n)); };
    auto patched = [&](std::size_t at, std::initializer_list<unsigned char> bytes) {
        Bytes b = good;
        for (unsigned char v : bytes) b.at(at++) = v;
        return b;
    };
    Bytes noData = cut(36);
    Bytes dataFirst = {'R', 'I', 'F', 'F', 12, 0, 0, 0, 'W', 'A', 'V', 'E', 'd', 'a', 't', 'a', 0, 0, 0, 0};
    Bytes rf64 = good;
    std::memcpy(rf64.data(), "RF64", 4);
    const struct {
        const char* name;
        Bytes bytes;
        const char* message;
    } cases[] = {
        {"empty", {}, "not a WAV file: it is empty"},
        {"text", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!', '\n'}, "not a WAV file: it does not start with \"RIFF\""},
        {"short RIFF", cut(6), "truncated WAV file: the RIFF header is incomplete"},
        {"AIFF in RIFF", patched(8, {'A', 'I', 'F', 'F'}), "not a WAV file: a RIFF file of type \"AIFF\""},
        {"RF64", rf64, "RF64 WAV files (over 4 GiB) are not supported"},
        {"truncated data", cut(good.size() - 3), "truncated WAV file: the \"data\" chunk declares 8 bytes, only 5 follow"},
        {"inside a chunk header", cut(40), "truncated WAV file: it ends inside a chunk header (byte 36)"},
        {"no data", noData, "malformed WAV file: no \"data\" chunk"},
        {"data before fmt", dataFirst, "the \"data\" chunk comes before the \"fmt \" chunk"},
        {"mu-law", patched(20, {7, 0}), "unsupported WAV encoding: mu-law (format tag 0x0007)"},
        {"ADPCM", patched(20, {2, 0}), "unsupported WAV encoding: Microsoft ADPCM (format tag 0x0002)"},
        {"12-bit", patched(34, {12, 0}), "unsupported WAV sample size: 12-bit PCM"},
        {"0 channels", patched(22, {0, 0}), "malformed WAV file: 0 channels"},
        {"0 Hz", patched(24, {0, 0, 0, 0}), "malformed WAV file: a sample rate of 0 Hz"},
        {"block align", patched(32, {3, 0}), "malformed WAV file: frames of 3 bytes, but 2 channels of 16 bits take 4"},
        {"inside a frame", patched(40, {6, 0, 0, 0}), "truncated WAV file: the \"data\" chunk ends inside a frame"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            auto r = WavReader::fromMemory(c.bytes);
            ADD_FAILURE() << "read without complaint";
        } catch (const aerie::WavError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(WavReader, NamesTheFile) {
    const std::string missing = fixtures::tmpDir() + "/missing.wav";
    EXPECT_THROW(WavReader::open(missing), aerie::WavError);
    const std::string text = fixtures::tmpDir() + "/text.wav";
    fixtures::writeFile(text, {'n', 'o', 'p', 'e'});
    try {
        WavReader::open(text);
        ADD_FAILURE();
    } catch (const aerie::WavError& e) {
        EXPECT_EQ(std::string(e.what()), "not a WAV file: it does not start with \"RIFF\": " + text);
    }
}

}  // namespace
