#include <aerie/io/preset.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <aerie/io/wav_writer.h>

namespace aerie {

namespace {

constexpr std::uint32_t tag(const char (&t)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(t[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(t[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(t[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(t[3]));
}

constexpr std::uint32_t kCcnK = tag("CcnK");
constexpr std::size_t kHeader = 28;     // up to and including the count
constexpr std::size_t kNameBytes = 28;
constexpr std::size_t kBankReserved = 128;

std::string tagText(std::uint32_t v) {
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<unsigned char>(v >> shift);
        if (c >= 0x20 && c < 0x7f) {
            s += static_cast<char>(c);
        } else {
            char b[8];
            (void)std::snprintf(b, sizeof b, "\\x%02X", c);
            s += b;
        }
    }
    return s + "'";
}

// Reads a file's bytes within [begin, end) and says where it went wrong.
class Cursor {
public:
    Cursor(const std::vector<unsigned char>& b, std::size_t begin, std::size_t end) : b_(b), pos_(begin), end_(end) {}
    std::size_t pos() const noexcept { return pos_; }
    std::size_t left() const noexcept { return end_ - pos_; }

    void need(std::uint64_t n, const std::string& what) const {
        if (n > end_ - pos_) {
            if (end_ == b_.size()) {
                fail("truncated preset file: it ends at byte " + std::to_string(end_) + ", inside " + what + " (" +
                     std::to_string(n) + " bytes expected from byte " + std::to_string(pos_) + ")");
            }
            fail("inconsistent preset file: " + what + " at byte " + std::to_string(pos_) + " needs " +
                 std::to_string(n) + " bytes, its part of the file ends at byte " + std::to_string(end_));
        }
    }
    std::uint32_t u32(const std::string& what) {
        need(4, what);
        const std::uint32_t v = (static_cast<std::uint32_t>(b_[pos_]) << 24) | (static_cast<std::uint32_t>(b_[pos_ + 1]) << 16) |
                                (static_cast<std::uint32_t>(b_[pos_ + 2]) << 8) | static_cast<std::uint32_t>(b_[pos_ + 3]);
        pos_ += 4;
        return v;
    }
    std::int32_t i32(const std::string& what) { return static_cast<std::int32_t>(u32(what)); }
    float f32(const std::string& what) {
        const std::uint32_t u = u32(what);
        float f;
        std::memcpy(&f, &u, 4);
        return f;
    }
    std::string name() {
        need(kNameBytes, "the program name");
        const auto* p = reinterpret_cast<const char*>(&b_[pos_]);
        std::size_t n = 0;
        while (n < kNameBytes - 1 && p[n] != '\0') ++n;
        pos_ += kNameBytes;
        return std::string(p, n);
    }
    std::vector<unsigned char> bytes(std::size_t n, const std::string& what) {
        need(n, what);
        std::vector<unsigned char> v(b_.begin() + static_cast<std::ptrdiff_t>(pos_), b_.begin() + static_cast<std::ptrdiff_t>(pos_ + n));
        pos_ += n;
        return v;
    }
    void skip(std::size_t n, const std::string& what) {
        need(n, what);
        pos_ += n;
    }
    [[noreturn]] static void fail(const std::string& why) { throw PresetError(why); }

private:
    const std::vector<unsigned char>& b_;
    std::size_t pos_;
    std::size_t end_;
};

struct Header {
    std::uint32_t kind;
    std::int32_t version;
    std::int32_t uniqueId;
    std::int32_t pluginVersion;
    std::int32_t count;
    std::size_t end;  // where the record ends, as its size field says
};

// 'CcnK', the size, the kind and the four int32 fields of a file or of a
// bank's program.
Header readHeader(const std::vector<unsigned char>& b, std::size_t at, std::size_t limit, const char* what) {
    Cursor c(b, at, limit);
    const std::uint32_t magic = c.u32(std::string("the 'CcnK' of ") + what);
    if (magic != kCcnK) {
        Cursor::fail(std::string(at == 0 ? "not a preset file" : "inconsistent preset file") + ": byte " +
                     std::to_string(at) + " holds " + tagText(magic) + ", 'CcnK' expected (" + what + ")");
    }
    const std::uint32_t size = c.u32(std::string("the size of ") + what);
    const std::size_t start = c.pos();
    if (size > limit - start) {
        if (limit == b.size()) {
            Cursor::fail("truncated preset file: byte " + std::to_string(at + 4) + " says " + std::to_string(size) +
                         " bytes follow, the file has " + std::to_string(limit - start));
        }
        Cursor::fail("inconsistent preset file: byte " + std::to_string(at + 4) + " says " + std::to_string(size) +
                     " bytes follow, " + what + " has room for " + std::to_string(limit - start));
    }
    Cursor body(b, start, start + size);
    Header h{};
    h.kind = body.u32("the kind");
    h.version = body.i32("the format version");
    h.uniqueId = body.i32("the unique id");
    h.pluginVersion = body.i32("the plug-in version");
    const std::size_t countAt = body.pos();
    h.count = body.i32("the count");
    if (h.count < 0) {
        Cursor::fail("inconsistent preset file: byte " + std::to_string(countAt) + " holds a count of " +
                     std::to_string(h.count) + ", 0 or more expected");
    }
    if (h.version < 1 || h.version > 2) {
        Cursor::fail("inconsistent preset file: byte " + std::to_string(start + 4) + " holds format version " +
                     std::to_string(h.version) + ", 1 or 2 expected");
    }
    h.end = start + size;
    return h;
}

void endsAt(const Cursor& c, std::size_t end, const char* what) {
    if (c.pos() != end) {
        Cursor::fail("inconsistent preset file: " + std::string(what) + " ends at byte " + std::to_string(c.pos()) +
                     ", its size field says byte " + std::to_string(end));
    }
}

std::vector<float> readParameters(Cursor& c, std::int32_t count) {
    const auto n = static_cast<std::size_t>(count);
    c.need(std::uint64_t{4} * n, std::to_string(count) + " parameter values");  // 64-bit: no wrap on 32-bit systems
    std::vector<float> v;
    v.reserve(n);
    for (std::size_t i = 0; i < n; ++i) v.push_back(c.f32("a parameter value"));
    return v;
}

std::vector<unsigned char> readChunk(Cursor& c) {
    const std::size_t at = c.pos();
    const std::int32_t size = c.i32("the chunk size");
    if (size < 0) {
        Cursor::fail("inconsistent preset file: byte " + std::to_string(at) + " holds a chunk size of " +
                     std::to_string(size) + ", 0 or more expected");
    }
    return c.bytes(static_cast<std::size_t>(size), "the chunk of " + std::to_string(size) + " bytes");
}

void put32(std::vector<unsigned char>& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
}
void putName(std::vector<unsigned char>& b, const std::string& name) {
    const std::size_t n = std::min(name.size(), kNameBytes - 1);
    b.insert(b.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(n));
    b.insert(b.end(), kNameBytes - n, 0);
}
void putFloat(std::vector<unsigned char>& b, float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    put32(b, u);
}
// Writes the header with a size to fill in later; answers where the size goes.
std::size_t putHeader(std::vector<unsigned char>& b, std::uint32_t kind, std::int32_t version, std::int32_t id,
                      std::int32_t pluginVersion, std::size_t count) {
    put32(b, kCcnK);
    const std::size_t sizeAt = b.size();
    put32(b, 0);
    put32(b, kind);
    put32(b, static_cast<std::uint32_t>(version));
    put32(b, static_cast<std::uint32_t>(id));
    put32(b, static_cast<std::uint32_t>(pluginVersion));
    put32(b, static_cast<std::uint32_t>(count));
    return sizeAt;
}
void patchSize(std::vector<unsigned char>& b, std::size_t sizeAt) {
    const auto size = static_cast<std::uint32_t>(b.size() - sizeAt - 4);
    for (int i = 0; i < 4; ++i) b[sizeAt + static_cast<std::size_t>(i)] = static_cast<unsigned char>(size >> (24 - 8 * i));
}

}  // namespace

const char* presetKindTag(PresetKind kind) noexcept {
    switch (kind) {
    case PresetKind::Program: return "FxCk";
    case PresetKind::ProgramChunk: return "FPCh";
    case PresetKind::Bank: return "FxBk";
    case PresetKind::BankChunk: return "FBCh";
    }
    return "?";
}

const char* presetKindName(PresetKind kind) noexcept {
    switch (kind) {
    case PresetKind::Program: return "program (parameters)";
    case PresetKind::ProgramChunk: return "program (chunk)";
    case PresetKind::Bank: return "bank (parameters)";
    case PresetKind::BankChunk: return "bank (chunk)";
    }
    return "?";
}

bool isBank(PresetKind kind) noexcept { return kind == PresetKind::Bank || kind == PresetKind::BankChunk; }

PresetFile parsePreset(const std::vector<unsigned char>& b) {
    if (b.empty()) throw PresetError("not a preset file: it is empty");
    const Header h = readHeader(b, 0, b.size(), "the file");
    if (h.end != b.size()) {
        Cursor::fail("inconsistent preset file: byte 4 says the file ends at byte " + std::to_string(h.end) + ", it has " +
                     std::to_string(b.size()) + " bytes");
    }
    PresetFile p;
    p.formatVersion = h.version;
    p.uniqueId = h.uniqueId;
    p.pluginVersion = h.pluginVersion;
    p.count = h.count;
    Cursor c(b, kHeader, h.end);
    if (h.kind == tag("FxCk") || h.kind == tag("FPCh")) {
        p.kind = h.kind == tag("FxCk") ? PresetKind::Program : PresetKind::ProgramChunk;
        p.name = c.name();
        if (p.kind == PresetKind::Program) {
            p.parameters = readParameters(c, h.count);
        } else {
            p.chunk = readChunk(c);
        }
        endsAt(c, h.end, "the program");
        return p;
    }
    if (h.kind != tag("FxBk") && h.kind != tag("FBCh")) {
        Cursor::fail("not a preset file: byte 8 holds " + tagText(h.kind) + ", 'FxCk', 'FPCh', 'FxBk' or 'FBCh' expected");
    }
    p.kind = h.kind == tag("FxBk") ? PresetKind::Bank : PresetKind::BankChunk;
    const std::size_t reservedAt = c.pos();
    c.need(kBankReserved, "the bank's 128 reserved bytes");
    if (h.version >= 2) p.currentProgram = c.i32("the current program");
    c.skip(kBankReserved - (h.version >= 2 ? 4 : 0), "the bank's reserved bytes");
    (void)reservedAt;
    if (p.kind == PresetKind::BankChunk) {
        p.chunk = readChunk(c);
        endsAt(c, h.end, "the bank");
        return p;
    }
    // Each program is at least a header and a name: refuse an impossible
    // count before making room for it.
    if (static_cast<std::size_t>(h.count) > c.left() / (kHeader + kNameBytes)) {
        Cursor::fail("inconsistent preset file: byte 24 says " + std::to_string(h.count) + " programs, " +
                     std::to_string(c.left()) + " bytes cannot hold them");
    }
    for (std::int32_t i = 0; i < h.count; ++i) {
        const std::string what = "program " + std::to_string(i + 1) + " of the bank";
        const std::size_t at = c.pos();
        const Header ph = readHeader(b, at, h.end, what.c_str());
        if (ph.kind != tag("FxCk")) {
            Cursor::fail("inconsistent preset file: byte " + std::to_string(at + 8) + " holds " + tagText(ph.kind) +
                         ", 'FxCk' expected (" + what + ")");
        }
        Cursor pc(b, at + kHeader, ph.end);
        PresetProgram prog;
        prog.uniqueId = ph.uniqueId;
        prog.pluginVersion = ph.pluginVersion;
        prog.name = pc.name();
        prog.parameters = readParameters(pc, ph.count);
        endsAt(pc, ph.end, what.c_str());
        p.programs.push_back(std::move(prog));
        c.skip(ph.end - at, what);
    }
    endsAt(c, h.end, "the bank");
    return p;
}

std::vector<unsigned char> serializePreset(const PresetFile& p) {
    std::vector<unsigned char> b;
    switch (p.kind) {
    case PresetKind::Program:
    case PresetKind::ProgramChunk: {
        const bool chunk = p.kind == PresetKind::ProgramChunk;
        const std::size_t sizeAt = putHeader(b, tag(chunk ? "FPCh" : "FxCk"), p.formatVersion, p.uniqueId, p.pluginVersion,
                                             chunk ? static_cast<std::size_t>(p.count) : p.parameters.size());
        putName(b, p.name);
        if (chunk) {
            put32(b, static_cast<std::uint32_t>(p.chunk.size()));
            b.insert(b.end(), p.chunk.begin(), p.chunk.end());
        } else {
            for (float f : p.parameters) putFloat(b, f);
        }
        patchSize(b, sizeAt);
        return b;
    }
    case PresetKind::Bank:
    case PresetKind::BankChunk: {
        const bool chunk = p.kind == PresetKind::BankChunk;
        const std::size_t sizeAt = putHeader(b, tag(chunk ? "FBCh" : "FxBk"), p.formatVersion, p.uniqueId, p.pluginVersion,
                                             chunk ? static_cast<std::size_t>(p.count) : p.programs.size());
        const std::size_t reserved = b.size();
        b.insert(b.end(), kBankReserved, 0);
        if (p.formatVersion >= 2) {
            for (int i = 0; i < 4; ++i) b[reserved + static_cast<std::size_t>(i)] = static_cast<unsigned char>(static_cast<std::uint32_t>(p.currentProgram) >> (24 - 8 * i));
        }
        if (chunk) {
            put32(b, static_cast<std::uint32_t>(p.chunk.size()));
            b.insert(b.end(), p.chunk.begin(), p.chunk.end());
        } else {
            for (const PresetProgram& prog : p.programs) {
                const std::size_t at = putHeader(b, tag("FxCk"), 1, prog.uniqueId, prog.pluginVersion, prog.parameters.size());
                putName(b, prog.name);
                for (float f : prog.parameters) putFloat(b, f);
                patchSize(b, at);
            }
        }
        patchSize(b, sizeAt);
        return b;
    }
    }
    return b;
}

PresetFile readPresetFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw PresetError("preset file not found: " + path);
    if (std::filesystem::is_directory(path, ec)) throw PresetError("preset file is a directory: " + path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw PresetError("preset file cannot be read: " + path);
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw PresetError("preset file cannot be read: " + path);
    try {
        return parsePreset(bytes);
    } catch (const PresetError& e) {
        throw PresetError(std::string(e.what()) + ": " + path);
    }
}

void writePresetFile(const std::string& path, const PresetFile& preset) {
    const std::vector<unsigned char> bytes = serializePreset(preset);
    const std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw PresetError("cannot write the preset file " + path, ErrorKind::OutputFile);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw PresetError("cannot write the preset file " + path + " (disk full?)", ErrorKind::OutputFile);
        }
    }
    if (!replaceFile(tmp, path)) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw PresetError("cannot put the preset file in place at " + path, ErrorKind::OutputFile);
    }
}

}  // namespace aerie
