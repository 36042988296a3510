// Saved state: the bytes of a chunk, written and read little-endian, and the
// snapshot a chunk is read into before anything is changed.
//
// The chunk kstv::Plugin writes (every integer 32-bit little-endian, every
// value a 32-bit float's bits):
//   "KsSt", layout version, kind (0 bank, 1 program), the plug-in's unique
//   id, the plug-in's own data version, number of programs P, current program
//   then P times: name (24 bytes, NUL-terminated inside), number of values V,
//                 V times (parameter id, 0..1 value)
//   then the plug-in's own data: its size in bytes, the bytes.
// A program chunk holds one program, the current one, and 0 as current.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace kstv {

inline constexpr int kProgramNameMax = 23;  // characters of a program name (the field holds 24 with the NUL)

// Appends little-endian values to a growing buffer. [main thread: allocates]
class Writer {
public:
    explicit Writer(std::vector<unsigned char>& into) : out_(into) {}
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<unsigned char>(v >> (8 * i)));
    }
    void f32(float v) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &v, 4);
        u32(bits);
    }
    void bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        out_.insert(out_.end(), p, p + n);
    }

private:
    std::vector<unsigned char>& out_;
};

// Reads little-endian values from a chunk without ever reading past its
// end: a read beyond it answers 0 and marks the reader failed for good.
class Reader {
public:
    Reader(const void* data, std::size_t size) noexcept
        : at_(static_cast<const unsigned char*>(data)), left_(data != nullptr ? size : 0) {}
    std::uint32_t u32() noexcept {
        if (!need(4)) return 0;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(at_[i]) << (8 * i);
        advance(4);
        return v;
    }
    float f32() noexcept {
        const std::uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, 4);
        return v;
    }
    // The next `n` bytes, or null (and failed) when fewer are left.
    const unsigned char* bytes(std::size_t n) noexcept {
        if (!need(n)) return nullptr;
        const unsigned char* p = at_;
        advance(n);
        return p;
    }
    bool ok() const noexcept { return ok_; }
    std::size_t left() const noexcept { return left_; }
    bool atEnd() const noexcept { return ok_ && left_ == 0; }

private:
    bool need(std::size_t n) noexcept {
        if (!ok_ || left_ < n) ok_ = false;
        return ok_;
    }
    void advance(std::size_t n) noexcept {
        at_ += n;
        left_ -= n;
    }
    const unsigned char* at_;
    std::size_t left_;
    bool ok_ = true;
};

// Programs as a chunk describes them, before they are taken. `values` holds
// one 0..1 value per parameter of the plug-in, in table order; `known`
// marks those the chunk gave (the rest take their defaults).
struct Snapshot {
    struct Program {
        char name[kProgramNameMax + 1] = {};
        std::vector<float> values;
        std::vector<bool> known;
    };
    std::vector<Program> programs;
    std::int32_t current = 0;  // a bank's current program
};

}  // namespace kstv
