#include <aerie/io/wav_writer.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace aerie {

namespace {

void le16(std::vector<unsigned char>& out, std::uint32_t v) {
    out.push_back(static_cast<unsigned char>(v));
    out.push_back(static_cast<unsigned char>(v >> 8));
}
void le32(std::vector<unsigned char>& out, std::uint32_t v) {
    le16(out, v & 0xffff);
    le16(out, v >> 16);
}
void tag(std::vector<unsigned char>& out, const char* fourCC) { out.insert(out.end(), fourCC, fourCC + 4); }

int bytesPerSample(SampleFormat f) {
    switch (f) {
    case SampleFormat::Pcm16: return 2;
    case SampleFormat::Pcm24: return 3;
    case SampleFormat::Float32: break;
    }
    return 4;
}

// Round to nearest, clip to [-scale, scale - 1]; NaN becomes silence.
std::int32_t quantize(float x, double scale) {
    if (std::isnan(x)) return 0;
    const double v = std::floor(static_cast<double>(x) * scale + 0.5);
    if (v >= scale - 1) return static_cast<std::int32_t>(scale - 1);
    if (v <= -scale) return static_cast<std::int32_t>(-scale);
    return static_cast<std::int32_t>(v);
}

int processId() {
#if defined(_WIN32)
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - 128;  // the RIFF size field is 32 bits

}  // namespace

const char* sampleFormatName(SampleFormat format) noexcept {
    switch (format) {
    case SampleFormat::Pcm16: return "pcm16";
    case SampleFormat::Pcm24: return "pcm24";
    case SampleFormat::Float32: break;
    }
    return "float";
}

bool replaceFile(const std::string& from, const std::string& to) noexcept {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

WavWriter::WavWriter(const std::string& path, int channels, std::uint32_t rate, SampleFormat format)
    : path_(path), channels_(channels), rate_(rate), format_(format) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (path.empty()) throw OutputError("no output file given");
    if (fs::is_directory(path, ec)) throw OutputError("cannot write the output file: " + path + " is a folder");
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, ec)) {
        throw OutputError("cannot write the output file: folder " + parent.string() + " does not exist");
    }
    tmpPath_ = path + ".part" + std::to_string(processId());
    file_ = std::fopen(tmpPath_.c_str(), "wb");
    if (file_ == nullptr) {
        const int err = errno;
        throw OutputError("cannot write the output file " + path + ": " + std::strerror(err));
    }
    writeHeader(0);
}

WavWriter::~WavWriter() {
    if (!committed_) discard();
}

void WavWriter::discard() noexcept {
    // Throwing away a file that is not wanted: nothing to do if that fails.
    if (file_ != nullptr) {
        (void)std::fclose(file_);
        file_ = nullptr;
    }
    if (!tmpPath_.empty()) (void)std::remove(tmpPath_.c_str());
}

void WavWriter::put(const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, file_) != size) {
        const int err = errno;
        throw OutputError("cannot write the output file " + path_ + ": " + std::strerror(err));
    }
}

void WavWriter::writeHeader(std::uint32_t dataBytes) {
    const int bytes = bytesPerSample(format_);
    const bool isFloat = format_ == SampleFormat::Float32;
    // More than two channels or more than 16 bits want the extensible header.
    const bool extensible = channels_ > 2;
    const std::uint32_t blockAlign = static_cast<std::uint32_t>(channels_ * bytes);

    std::vector<unsigned char> fmt;
    le16(fmt, extensible ? 0xFFFE : (isFloat ? 3 : 1));
    le16(fmt, static_cast<std::uint32_t>(channels_));
    le32(fmt, rate_);
    le32(fmt, rate_ * blockAlign);
    le16(fmt, blockAlign);
    le16(fmt, static_cast<std::uint32_t>(bytes * 8));
    if (extensible) {
        le16(fmt, 22);
        le16(fmt, static_cast<std::uint32_t>(bytes * 8));  // valid bits
        le32(fmt, 0);                                      // no speaker positions
        le32(fmt, isFloat ? 3 : 1);                        // the sub-format GUID: tag, then the fixed tail
        const unsigned char tail[] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), tail, tail + sizeof tail);
    } else if (isFloat) {
        le16(fmt, 0);
    }

    std::vector<unsigned char> h;
    tag(h, "RIFF");
    le32(h, 0);  // patched below
    tag(h, "WAVE");
    tag(h, "fmt ");
    le32(h, static_cast<std::uint32_t>(fmt.size()));
    h.insert(h.end(), fmt.begin(), fmt.end());
    if (isFloat) {
        tag(h, "fact");
        le32(h, 4);
        le32(h, blockAlign == 0 ? 0 : dataBytes / blockAlign);
    }
    tag(h, "data");
    le32(h, dataBytes);
    const std::uint32_t riff = static_cast<std::uint32_t>(h.size() - 8) + dataBytes + (dataBytes & 1u);
    h[4] = static_cast<unsigned char>(riff);
    h[5] = static_cast<unsigned char>(riff >> 8);
    h[6] = static_cast<unsigned char>(riff >> 16);
    h[7] = static_cast<unsigned char>(riff >> 24);
    headerBytes_ = static_cast<std::uint32_t>(h.size());
    put(h.data(), h.size());
}

void WavWriter::write(const float* const* channels, std::size_t frames) {
    if (frames == 0) return;
    const int bytes = bytesPerSample(format_);
    const std::uint64_t add = static_cast<std::uint64_t>(frames) * static_cast<std::uint64_t>(channels_ * bytes);
    if (dataBytes_ + add > kMaxDataBytes) throw OutputError("the output would exceed the 4 GiB limit of a WAV file");
    // Interleaved into one buffer that is kept from call to call.
    buffer_.resize(static_cast<std::size_t>(add));
    unsigned char* out = buffer_.data();
    const auto stride = static_cast<std::size_t>(channels_) * static_cast<std::size_t>(bytes);
    for (int c = 0; c < channels_; ++c) {
        const float* x = channels[c];
        unsigned char* o = out + static_cast<std::size_t>(c * bytes);
        switch (format_) {
        case SampleFormat::Float32:
            for (std::size_t i = 0; i < frames; ++i, o += stride) {
                std::uint32_t u;
                std::memcpy(&u, &x[i], 4);
                o[0] = static_cast<unsigned char>(u);
                o[1] = static_cast<unsigned char>(u >> 8);
                o[2] = static_cast<unsigned char>(u >> 16);
                o[3] = static_cast<unsigned char>(u >> 24);
            }
            break;
        case SampleFormat::Pcm16:
            for (std::size_t i = 0; i < frames; ++i, o += stride) {
                const auto v = static_cast<std::uint32_t>(quantize(x[i], 32768.0));
                o[0] = static_cast<unsigned char>(v);
                o[1] = static_cast<unsigned char>(v >> 8);
            }
            break;
        case SampleFormat::Pcm24:
            for (std::size_t i = 0; i < frames; ++i, o += stride) {
                const auto v = static_cast<std::uint32_t>(quantize(x[i], 8388608.0));
                o[0] = static_cast<unsigned char>(v);
                o[1] = static_cast<unsigned char>(v >> 8);
                o[2] = static_cast<unsigned char>(v >> 16);
            }
            break;
        }
    }
    put(buffer_.data(), buffer_.size());
    dataBytes_ += add;
    frames_ += frames;
}

void WavWriter::commit() {
    if (dataBytes_ & 1u) {
        const unsigned char pad = 0;
        put(&pad, 1);
    }
    if (std::fseek(file_, 0, SEEK_SET) != 0) throw OutputError("cannot write the output file " + path_);
    writeHeader(static_cast<std::uint32_t>(dataBytes_));
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) throw OutputError("cannot write the output file " + path_ + " (disk full?)");
    if (!replaceFile(tmpPath_, path_)) {
        const int err = errno;
        throw OutputError("cannot put the output file in place at " + path_ + ": " + std::strerror(err));
    }
    committed_ = true;
}

}  // namespace aerie
