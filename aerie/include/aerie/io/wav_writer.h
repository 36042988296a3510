// WAV file writer: 32-bit float, 16-bit or 24-bit integer samples, any number
// of channels. The file is written under a temporary name beside the target
// and renamed into place only once complete, so a failed or interrupted
// render never leaves a half-written file under the name the user asked for.
// Threads: a writer [one thread at a time; allocates only when write() is
// given more frames than before; writes files].
#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// The output file cannot be created, written or put in place.
// Its kind is OutputFile, for callers that tell failures apart by kind.
class OutputError : public HostError {
public:
    explicit OutputError(const std::string& message) : HostError(ErrorKind::OutputFile, message) {}
};

enum class SampleFormat { Float32, Pcm16, Pcm24 };

// "float", "pcm16", "pcm24".
const char* sampleFormatName(SampleFormat format) noexcept;

class WavWriter {
public:
    // Creates the temporary file; throws OutputError when that is impossible
    // (missing folder, no permission, the target is a folder).
    WavWriter(const std::string& path, int channels, std::uint32_t rate, SampleFormat format);
    // Removes the temporary file unless commit() succeeded.
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends `frames` frames; `channels[c][i]` is frame i of channel c.
    // Integer formats round to nearest and clip at full scale.
    void write(const float* const* channels, std::size_t frames);
    // Completes the header, closes the file and renames it to the target.
    void commit();

    std::uint64_t frames() const noexcept { return frames_; }
    const std::string& temporaryPath() const noexcept { return tmpPath_; }
    const std::string& path() const noexcept { return path_; }
    // The open temporary file, for crash handlers that must close it before removing it.
    std::FILE* stream() const noexcept { return file_; }

private:
    void writeHeader(std::uint32_t dataBytes);
    void put(const void* data, std::size_t size);
    void discard() noexcept;

    std::string path_;
    std::string tmpPath_;
    std::FILE* file_ = nullptr;
    int channels_;
    std::uint32_t rate_;
    SampleFormat format_;
    std::uint64_t frames_ = 0;
    std::uint64_t dataBytes_ = 0;
    std::uint32_t headerBytes_ = 0;
    bool committed_ = false;
    std::vector<unsigned char> buffer_;
};

// Moves `from` over `to`, replacing an existing file, as one step where the
// system allows it.
bool replaceFile(const std::string& from, const std::string& to) noexcept;

}  // namespace aerie
