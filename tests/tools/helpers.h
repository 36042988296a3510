// Test helpers: building MIDI files byte by byte, reading WAV files back,
// running the command-line host as a user would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <aerie/process.h>

namespace testing_tools {

using Bytes = std::vector<unsigned char>;

inline void put32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
}
inline void put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}
inline void putVar(Bytes& b, std::uint32_t v) {
    unsigned char tmp[5];
    int n = 0;
    tmp[n++] = static_cast<unsigned char>(v & 0x7f);
    while ((v >>= 7) != 0) tmp[n++] = static_cast<unsigned char>(0x80 | (v & 0x7f));
    while (n > 0) b.push_back(tmp[--n]);
}

// One track's events, each after a delta time in ticks.
class Track {
public:
    Track& event(std::uint32_t delta, std::initializer_list<unsigned char> bytes) {
        putVar(data, delta);
        data.insert(data.end(), bytes);
        return *this;
    }
    Track& noteOn(std::uint32_t delta, int note, int velocity, int channel = 0) {
        return event(delta, {static_cast<unsigned char>(0x90 | channel), static_cast<unsigned char>(note),
                             static_cast<unsigned char>(velocity)});
    }
    Track& tempo(std::uint32_t delta, std::uint32_t microsPerQuarter) {
        return event(delta, {0xFF, 0x51, 0x03, static_cast<unsigned char>(microsPerQuarter >> 16),
                             static_cast<unsigned char>(microsPerQuarter >> 8), static_cast<unsigned char>(microsPerQuarter)});
    }
    Track& end(std::uint32_t delta = 0) { return event(delta, {0xFF, 0x2F, 0x00}); }
    Bytes data;
};

inline Bytes midiFile(int format, std::uint16_t division, const std::vector<Track>& tracks) {
    Bytes b = {'M', 'T', 'h', 'd'};
    put32(b, 6);
    put16(b, static_cast<std::uint32_t>(format));
    put16(b, static_cast<std::uint32_t>(tracks.size()));
    put16(b, division);
    for (const Track& t : tracks) {
        b.insert(b.end(), {'M', 'T', 'r', 'k'});
        put32(b, static_cast<std::uint32_t>(t.data.size()));
        b.insert(b.end(), t.data.begin(), t.data.end());
    }
    return b;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A WAV file read back: format tag, layout and the samples as floats,
// channel-major (samples[c][i]).
struct Wav {
    int formatTag = 0;
    int channels = 0;
    std::uint32_t rate = 0;
    int bits = 0;
    std::vector<std::vector<float>> samples;
    std::size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

inline std::uint32_t le(const std::string& s, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

// Empty result (channels 0) for a file that is not a complete WAV file.
inline Wav readWav(const std::string& path) {
    Wav w;
    const std::string s = readText(path);
    if (s.size() < 12 || s.compare(0, 4, "RIFF") != 0 || s.compare(8, 4, "WAVE") != 0) return w;
    if (le(s, 4, 4) + 8 != s.size()) return w;
    std::size_t pos = 12;
    int channels = 0;
    while (pos + 8 <= s.size()) {
        const std::string id = s.substr(pos, 4);
        const std::uint32_t size = le(s, pos + 4, 4);
        const std::size_t body = pos + 8;
        if (body + size > s.size()) return Wav{};
        if (id == "fmt ") {
            w.formatTag = static_cast<int>(le(s, body, 2));
            channels = static_cast<int>(le(s, body + 2, 2));
            w.rate = le(s, body + 4, 4);
            w.bits = static_cast<int>(le(s, body + 14, 2));
            if (w.formatTag == 0xFFFE) w.formatTag = static_cast<int>(le(s, body + 24, 2));
        } else if (id == "data") {
            const std::size_t bytes = static_cast<std::size_t>(w.bits / 8);
            const std::size_t frames = size / (bytes * static_cast<std::size_t>(channels));
            w.samples.assign(static_cast<std::size_t>(channels), std::vector<float>(frames));
            for (std::size_t i = 0; i < frames; ++i) {
                for (int c = 0; c < channels; ++c) {
                    const std::size_t at = body + (i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)) * bytes;
                    float v = 0;
                    if (w.formatTag == 3) {
                        const std::uint32_t u = le(s, at, 4);
                        std::memcpy(&v, &u, 4);
                    } else if (w.bits == 16) {
                        v = static_cast<float>(static_cast<std::int16_t>(le(s, at, 2))) / 32768.0f;
                    } else if (w.bits == 24) {
                        const auto u = static_cast<std::int32_t>(le(s, at, 3) << 8) >> 8;
                        v = static_cast<float>(u) / 8388608.0f;
                    }
                    w.samples[static_cast<std::size_t>(c)][i] = v;
                }
            }
        }
        pos = body + size + (size & 1u);
    }
    w.channels = channels;
    return w;
}

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
    bool crashed = false;
};

// A folder of the running test's own: ctest runs tests in parallel, and a
// test that looks for stray files must see only its own.
inline std::string tmpDir() {
    std::string dir = TEST_TMP;
    if (const auto* test = ::testing::UnitTest::GetInstance()->current_test_info()) {
        dir += std::string("/") + test->test_suite_name() + "." + test->name();
    }
    std::filesystem::create_directories(dir);
    return dir;
}

// A file of that name in the test's own folder.
inline std::string tmp(const std::string& name) { return tmpDir() + "/" + name; }

// Leftover temporary files of interrupted writes (names holding `marker`)
// in the test's folder.
inline std::vector<std::string> partFiles(const std::string& marker = ".part") {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(tmpDir())) {
        if (entry.path().filename().string().find(marker) != std::string::npos) found.push_back(entry.path().string());
    }
    return found;
}

// Runs the command-line host with `args`, standard input from `stdinPath`.
inline ToolRun runTool(const std::vector<std::string>& args, const std::string& stdinPath = "") {
    static int counter = 0;
    const std::string base = tmpDir() + "/run" + std::to_string(aerie::currentProcessId()) + "_" + std::to_string(counter++);
    aerie::ProcessOptions o;
    o.stdoutPath = base + ".out";
    o.stderrPath = base + ".err";
    o.stdinPath = stdinPath;
    o.timeoutSeconds = 100;
    std::vector<std::string> argv = {VST2HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    const aerie::ProcessResult r = aerie::runProcess(argv, o);
    ToolRun run;
    run.code = r.end == aerie::ProcessResult::End::Exited ? r.exitCode : -1;
    run.crashed = r.end != aerie::ProcessResult::End::Exited;
    // Windows builds end lines with CR LF on the console streams.
    auto lines = [](std::string s) {
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    };
    run.out = lines(readText(o.stdoutPath));
    run.err = lines(readText(o.stderrPath));
    std::filesystem::remove(o.stdoutPath);
    std::filesystem::remove(o.stderrPath);
    return run;
}

}  // namespace testing_tools
