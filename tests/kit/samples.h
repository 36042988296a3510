// Checks on rendered samples that any suite (and the fuzz targets, which
// have no test framework) can use.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kit {

// The first frame at which two renders differ in their bits (-0 and +0 told
// apart, NaNs by payload), or -1 when they are the same length and the same
// to the bit; the shorter length when only their lengths differ.
inline std::ptrdiff_t firstDifference(const float* got, std::size_t gotSize, const float* want,
                                      std::size_t wantSize) noexcept {
    const std::size_t n = gotSize < wantSize ? gotSize : wantSize;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0) return static_cast<std::ptrdiff_t>(i);
    }
    return gotSize == wantSize ? -1 : static_cast<std::ptrdiff_t>(n);
}
inline std::ptrdiff_t firstDifference(const std::vector<float>& got, const std::vector<float>& want) noexcept {
    return firstDifference(got.data(), got.size(), want.data(), want.size());
}

// The first sample that is NaN, infinite or subnormal, or -1.
inline std::ptrdiff_t firstUnclean(const float* samples, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        const int kind = std::fpclassify(samples[i]);
        if (kind != FP_NORMAL && kind != FP_ZERO) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// A digest of samples to the bit (FNV-1a over each sample's four bytes, the
// lowest first): what a fixed session renders, to be the same on every
// platform.
class SampleDigest {
public:
    void add(const float* samples, std::size_t size) noexcept {
        for (std::size_t i = 0; i < size; ++i) {
            std::uint32_t bits;
            std::memcpy(&bits, &samples[i], 4);
            for (int b = 0; b < 4; ++b) {
                hash_ ^= (bits >> (8 * b)) & 0xFFu;
                hash_ *= 1099511628211ull;
            }
        }
    }
    void add(const std::vector<float>& samples) noexcept { add(samples.data(), samples.size()); }
    std::uint64_t value() const noexcept { return hash_; }

private:
    std::uint64_t hash_ = 14695981039346656037ull;
};

}  // namespace kit
