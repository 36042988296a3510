// WAV file reader: PCM 8/16/24/32-bit, IEEE float 32/64-bit, the plain and
// the WAVE_FORMAT_EXTENSIBLE header; chunks other than "fmt " and "data"
// (LIST, bext, fact, cue, ...) are skipped. Our own, like the writer, so
// that the same code runs in every build (Linux and the Windows builds).
// It streams: the header is read when the file is opened, the samples a
// block at a time.
// Threads: a reader [one thread at a time; allocates once opened only when
// read() is given more frames than before; reads files].
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// A file that cannot be read as audio; what() is one line that says why,
// naming the file when there is one.
// Its kind is BadInputFile, for callers that tell failures apart by kind.
class WavError : public HostError {
public:
    explicit WavError(const std::string& message) : HostError(ErrorKind::BadInputFile, message) {}
};

struct WavFormat {
    enum class Encoding { Pcm, Float };
    Encoding encoding = Encoding::Pcm;
    int bits = 0;  // bits per sample as stored: 8, 16, 24 or 32 (PCM), 32 or 64 (float)
    int channels = 0;
    std::uint32_t rate = 0;
    bool extensible = false;        // WAVE_FORMAT_EXTENSIBLE header
    std::uint64_t frames = 0;
    std::uint64_t dataOffset = 0;   // where the first sample is
    std::vector<std::string> skippedChunks;  // ids of the chunks passed over, in file order

    // "16-bit PCM", "32-bit float".
    std::string describe() const;
};

// Frames of one file, read in order.
class WavReader {
public:
    // Opens a file and reads its header; throws WavError.
    static std::unique_ptr<WavReader> open(const std::string& path);
    // The same on bytes in memory (the fuzz target, the tests).
    static std::unique_ptr<WavReader> fromMemory(std::vector<unsigned char> bytes);
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    const WavFormat& format() const noexcept { return format_; }
    // Reads up to `frames` frames into `channels[c][i]` (one buffer per file
    // channel, scaled to -1..1 for PCM); answers how many it read, 0 at the
    // end. Throws WavError when the file cannot be read any more.
    std::size_t read(float* const* channels, std::size_t frames);
    std::uint64_t position() const noexcept { return position_; }

private:
    WavReader() = default;
    void parseHeader();
    bool readAt(std::uint64_t offset, void* into, std::size_t size);
    std::uint64_t size() const noexcept { return size_; }

    std::string name_;  // for messages: the path, or "" in memory
    std::FILE* file_ = nullptr;
    std::vector<unsigned char> memory_;
    std::uint64_t size_ = 0;
    WavFormat format_;
    std::uint64_t position_ = 0;  // frames read so far
    std::vector<unsigned char> raw_;
};

}  // namespace aerie
