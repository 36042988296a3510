#include <aerie/io/wav_reader.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

namespace aerie {

namespace {

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// A chunk id for messages: printable as it is, otherwise in hex.
std::string chunkName(const unsigned char* id) {
    std::string s = "\"";
    for (int i = 0; i < 4; ++i) {
        if (id[i] < 0x20 || id[i] >= 0x7f) {
            char hex[16];
            (void)std::snprintf(hex, sizeof hex, "0x%08X", le32(id));
            return hex;
        }
        s += static_cast<char>(id[i]);
    }
    return s + "\"";
}

const char* tagName(std::uint16_t tag) {
    switch (tag) {
    case 0x0002: return "Microsoft ADPCM";
    case 0x0006: return "A-law";
    case 0x0007: return "mu-law";
    case 0x0011: return "IMA ADPCM";
    case 0x0031: return "GSM 6.10";
    case 0x0050: return "MPEG";
    case 0x0055: return "MPEG layer 3";
    default: return "an unknown encoding";
    }
}

std::string hex4(std::uint32_t v) {
    char b[16];
    (void)std::snprintf(b, sizeof b, "0x%04X", v);
    return b;
}

constexpr const char* kSupported = "vst2host reads PCM (8, 16, 24, 32-bit) and float (32, 64-bit) WAV files";
// The tail of every WAVE_FORMAT_EXTENSIBLE sub-format GUID of the basic tags.
constexpr unsigned char kGuidTail[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr int kMaxChannels = 1024;
constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

}  // namespace

std::string WavFormat::describe() const {
    return std::to_string(bits) + (encoding == Encoding::Float ? "-bit float" : "-bit PCM");
}

std::unique_ptr<WavReader> WavReader::open(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::exists(path, ec)) throw WavError("audio file not found: " + path);
    if (fs::is_directory(path, ec)) throw WavError("audio file is a folder: " + path);
    std::unique_ptr<WavReader> r(new WavReader);
    r->name_ = path;
    r->file_ = std::fopen(path.c_str(), "rb");
    if (r->file_ == nullptr) {
        const int err = errno;
        throw WavError("audio file cannot be read: " + path + ": " + std::strerror(err));
    }
    const auto size = fs::file_size(path, ec);
    r->size_ = ec ? 0 : static_cast<std::uint64_t>(size);
    r->parseHeader();
    return r;
}

std::unique_ptr<WavReader> WavReader::fromMemory(std::vector<unsigned char> bytes) {
    std::unique_ptr<WavReader> r(new WavReader);
    r->memory_ = std::move(bytes);
    r->size_ = r->memory_.size();
    r->parseHeader();
    return r;
}

WavReader::~WavReader() {
    if (file_ != nullptr) (void)std::fclose(file_);
}

bool WavReader::readAt(std::uint64_t offset, void* into, std::size_t size) {
    if (offset > size_ || size > size_ - offset) return false;
    if (file_ == nullptr) {
        std::memcpy(into, memory_.data() + offset, size);
        return true;
    }
#if defined(_WIN32)
    if (_fseeki64(file_, static_cast<long long>(offset), SEEK_SET) != 0) return false;
#else
    if (fseeko(file_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
    return std::fread(into, 1, size, file_) == size;
}

void WavReader::parseHeader() {
    // Every message names the file it is about.
    auto fail = [&](const std::string& why) -> WavError {
        return WavError(name_.empty() ? why : why + ": " + name_);
    };
    unsigned char head[12];
    if (size_ == 0) throw fail("not a WAV file: it is empty");
    if (!readAt(0, head, sizeof head)) {
        if (readAt(0, head, 4) && std::memcmp(head, "RIFF", 4) == 0) throw fail("truncated WAV file: the RIFF header is incomplete");
        throw fail("not a WAV file: it does not start with \"RIFF\"");
    }
    if (std::memcmp(head, "RF64", 4) == 0) throw fail("RF64 WAV files (over 4 GiB) are not supported");
    if (std::memcmp(head, "RIFF", 4) != 0) throw fail("not a WAV file: it does not start with \"RIFF\"");
    if (std::memcmp(head + 8, "WAVE", 4) != 0) throw fail("not a WAV file: a RIFF file of type " + chunkName(head + 8));

    bool haveFormat = false;
    std::uint16_t tag = 0;
    std::uint16_t blockAlign = 0;
    std::uint64_t pos = 12;
    for (;;) {
        unsigned char chunk[8];
        if (!readAt(pos, chunk, sizeof chunk)) {
            if (pos + 8 > size_ && pos < size_) throw fail("truncated WAV file: it ends inside a chunk header (byte " + std::to_string(pos) + ")");
            throw fail(haveFormat ? "malformed WAV file: no \"data\" chunk" : "malformed WAV file: no \"fmt \" chunk");
        }
        const std::uint32_t declared = le32(chunk + 4);
        const std::uint64_t body = pos + 8;
        const std::uint64_t available = size_ - body;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat) throw fail("malformed WAV file: the \"data\" chunk comes before the \"fmt \" chunk");
            std::uint64_t bytes = declared;
            // Writers that stream to a pipe leave the size open.
            if (declared == 0xFFFFFFFFu) bytes = available;
            if (bytes > available) {
                throw fail("truncated WAV file: the \"data\" chunk declares " + std::to_string(bytes) + " bytes, only " +
                           std::to_string(available) + " follow");
            }
            if (bytes % blockAlign != 0) {
                throw fail("truncated WAV file: the \"data\" chunk ends inside a frame (" + std::to_string(bytes) +
                           " bytes, frames of " + std::to_string(blockAlign) + ")");
            }
            format_.dataOffset = body;
            format_.frames = bytes / blockAlign;
            break;
        }
        if (declared > available) {
            throw fail("truncated WAV file: the " + chunkName(chunk) + " chunk at byte " + std::to_string(pos) +
                       " declares " + std::to_string(declared) + " bytes, only " + std::to_string(available) + " follow");
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (haveFormat) throw fail("malformed WAV file: two \"fmt \" chunks");
            if (declared < 16) {
                throw fail("malformed WAV file: the \"fmt \" chunk holds " + std::to_string(declared) +
                           " bytes, at least 16 expected");
            }
            unsigned char f[40] = {};
            const std::size_t take = std::min<std::size_t>(declared, sizeof f);
            if (!readAt(body, f, take)) throw fail("audio file cannot be read");
            tag = le16(f);
            format_.channels = le16(f + 2);
            format_.rate = le32(f + 4);
            blockAlign = le16(f + 12);
            format_.bits = le16(f + 14);
            if (tag == 0xFFFE) {
                if (declared < 40) {
                    throw fail("malformed WAV file: an extensible \"fmt \" chunk of " + std::to_string(declared) +
                               " bytes, 40 expected");
                }
                format_.extensible = true;
                if (std::memcmp(f + 26, kGuidTail, sizeof kGuidTail) != 0) {
                    throw fail("unsupported WAV encoding: an extensible file of an unknown sub-format; " +
                               std::string(kSupported));
                }
                tag = le16(f + 24);
            }
            if (tag == 1) {
                format_.encoding = WavFormat::Encoding::Pcm;
                if (format_.bits != 8 && format_.bits != 16 && format_.bits != 24 && format_.bits != 32) {
                    throw fail("unsupported WAV sample size: " + std::to_string(format_.bits) + "-bit PCM; " + kSupported);
                }
            } else if (tag == 3) {
                format_.encoding = WavFormat::Encoding::Float;
                if (format_.bits != 32 && format_.bits != 64) {
                    throw fail("unsupported WAV sample size: " + std::to_string(format_.bits) + "-bit float; " + kSupported);
                }
            } else {
                throw fail(std::string("unsupported WAV encoding: ") + tagName(tag) + " (format tag " + hex4(tag) + "); " +
                           kSupported);
            }
            if (format_.channels == 0) throw fail("malformed WAV file: 0 channels");
            if (format_.channels > kMaxChannels) {
                throw fail("unsupported WAV file: " + std::to_string(format_.channels) + " channels (at most " +
                           std::to_string(kMaxChannels) + ")");
            }
            if (format_.rate == 0) throw fail("malformed WAV file: a sample rate of 0 Hz");
            const auto expected = static_cast<std::uint32_t>(format_.channels * (format_.bits / 8));
            if (blockAlign != expected) {
                throw fail("malformed WAV file: frames of " + std::to_string(blockAlign) + " bytes, but " +
                           std::to_string(format_.channels) + " channels of " + std::to_string(format_.bits) +
                           " bits take " + std::to_string(expected));
            }
            haveFormat = true;
        } else {
            format_.skippedChunks.emplace_back(reinterpret_cast<const char*>(chunk), 4);
        }
        pos = body + declared + (declared & 1u);
    }
}

std::size_t WavReader::read(float* const* channels, std::size_t frames) {
    const std::uint64_t left = format_.frames - position_;
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, frames));
    if (n == 0) return 0;
    const auto bytes = static_cast<std::size_t>(format_.bits / 8);
    const auto nch = static_cast<std::size_t>(format_.channels);
    const std::size_t frameBytes = bytes * nch;
    const std::uint64_t at = format_.dataOffset + position_ * frameBytes;
    const unsigned char* p = nullptr;
    if (file_ == nullptr) {
        p = memory_.data() + at;  // inside: the header said so and the size was checked
    } else {
        raw_.resize(n * frameBytes);
        if (!readAt(at, raw_.data(), raw_.size())) {
            throw WavError("audio file cannot be read any more" + (name_.empty() ? std::string() : ": " + name_));
        }
        p = raw_.data();
    }
    const bool isFloat = format_.encoding == WavFormat::Encoding::Float;
    for (std::size_t c = 0; c < nch; ++c) {
        float* out = channels[c];
        const unsigned char* s = p + c * bytes;
        switch (format_.bits) {
        case 8:
            for (std::size_t i = 0; i < n; ++i, s += frameBytes) out[i] = static_cast<float>(static_cast<int>(*s) - 128) * (1.0f / 128.0f);
            break;
        case 16:
            for (std::size_t i = 0; i < n; ++i, s += frameBytes) {
                out[i] = static_cast<float>(static_cast<std::int16_t>(le16(s))) * (1.0f / 32768.0f);
            }
            break;
        case 24:
            for (std::size_t i = 0; i < n; ++i, s += frameBytes) {
                const auto u = static_cast<std::uint32_t>(s[0]) | (static_cast<std::uint32_t>(s[1]) << 8) |
                               (static_cast<std::uint32_t>(s[2]) << 16);
                const auto v = static_cast<std::int32_t>(u << 8) / 256;
                out[i] = static_cast<float>(v) * (1.0f / 8388608.0f);
            }
            break;
        case 32:
            if (isFloat && kLittleEndian) {
                for (std::size_t i = 0; i < n; ++i, s += frameBytes) std::memcpy(&out[i], s, 4);
                break;
            }
            for (std::size_t i = 0; i < n; ++i, s += frameBytes) {
                const std::uint32_t u = le32(s);
                if (isFloat) {
                    std::memcpy(&out[i], &u, 4);
                } else {
                    out[i] = static_cast<float>(static_cast<double>(static_cast<std::int32_t>(u)) * (1.0 / 2147483648.0));
                }
            }
            break;
        default:  // 64-bit float
            for (std::size_t i = 0; i < n; ++i, s += frameBytes) {
                const std::uint64_t u = static_cast<std::uint64_t>(le32(s)) | (static_cast<std::uint64_t>(le32(s + 4)) << 32);
                double d = 0;
                std::memcpy(&d, &u, 8);
                // Beyond float's range is infinite (converting it would be undefined).
                if (d > std::numeric_limits<float>::max()) d = std::numeric_limits<double>::infinity();
                if (d < -std::numeric_limits<float>::max()) d = -std::numeric_limits<double>::infinity();
                out[i] = static_cast<float>(d);
            }
            break;
        }
    }
    position_ += n;
    return n;
}

}  // namespace aerie
