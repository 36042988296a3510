// The command-line host's WAV reader, on any bytes. A file is either refused
// with a WavError or opened with a format that keeps the reader's promises:
// 1 to 1024 channels, a rate, a sample size of its encoding, and frames that
// lie inside the file; reading them in blocks of any size gives exactly that
// many, PCM samples in -1..1 and float samples as they are (never a
// conversion outside float's range).
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "fuzz/check.h"
#include <aerie/io/wav_reader.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::unique_ptr<aerie::WavReader> reader;
    try {
        reader = aerie::WavReader::fromMemory(std::vector<unsigned char>(data, data + size));
    } catch (const aerie::WavError&) {
        return 0;
    }
    const aerie::WavFormat& f = reader->format();
    const bool isFloat = f.encoding == aerie::WavFormat::Encoding::Float;
    if (f.channels < 1 || f.channels > 1024) fuzz::fail("channels", f.channels);
    if (f.rate == 0) fuzz::fail("rate");
    if (isFloat ? (f.bits != 32 && f.bits != 64) : (f.bits != 8 && f.bits != 16 && f.bits != 24 && f.bits != 32)) {
        fuzz::fail("bits", f.bits);
    }
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(f.channels) * static_cast<std::uint64_t>(f.bits / 8);
    if (f.dataOffset > size || f.frames * frameBytes > size - f.dataOffset) fuzz::fail("frames beyond the file");

    // The block size comes from the first byte, so that every size is tried.
    const std::size_t block = 1 + (size > 0 ? data[0] % 97 : 0);
    std::vector<std::vector<float>> buffers(static_cast<std::size_t>(f.channels), std::vector<float>(block));
    std::vector<float*> channels;
    for (auto& b : buffers) channels.push_back(b.data());
    std::uint64_t total = 0;
    try {
        while (const std::size_t n = reader->read(channels.data(), block)) {
            if (n > block) fuzz::fail("read more than asked", static_cast<long long>(n));
            total += n;
            for (const auto& b : buffers) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (!isFloat && !(b[i] >= -1.0f && b[i] <= 1.0f)) fuzz::fail("PCM sample outside -1..1");
                }
            }
        }
    } catch (const aerie::WavError&) {
        fuzz::fail("reading a file that opened failed");
    }
    if (total != f.frames) fuzz::fail("frames read", static_cast<long long>(total));
    if (reader->position() != f.frames) fuzz::fail("position");
    return 0;
}
