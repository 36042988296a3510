#include <aerie/io/midi_reader.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace aerie {

namespace {

constexpr std::uint32_t kDefaultTempo = 500000;  // microseconds per quarter note: 120 beats per minute

std::string hex2(unsigned v) {
    char b[8];
    (void)std::snprintf(b, sizeof b, "0x%02X", v & 0xffu);
    return b;
}

// A tempo change or a channel message, with its absolute tick, before times
// are known.
struct RawItem {
    std::uint64_t tick;
    int track;
    bool isTempo;
    std::uint32_t tempo;
    MidiEvent event;
    int sigNumerator = 0;  // > 0: a time signature
    int sigDenominator = 0;
};

class Reader {
public:
    Reader(const std::vector<unsigned char>& bytes, std::size_t begin, std::size_t end, int track)
        : b_(bytes), pos_(begin), end_(end), track_(track) {}

    bool atEnd() const noexcept { return pos_ >= end_; }
    std::size_t pos() const noexcept { return pos_; }

    std::uint8_t byte(const char* what) {
        if (pos_ >= end_) fail(std::string("ends inside ") + what);
        return b_[pos_++];
    }
    std::uint32_t varLen(const char* what) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t c = byte(what);
            v = (v << 7) | (c & 0x7fu);
            if ((c & 0x80u) == 0) return v;
        }
        fail(std::string("has a variable-length number of more than 4 bytes in ") + what);
    }
    void skip(std::uint32_t n, const char* what) {
        if (n > end_ - pos_) fail(std::string("ends inside ") + what);
        pos_ += n;
    }
    [[noreturn]] void fail(const std::string& why) const {
        throw MidiError("malformed MIDI file: track " + std::to_string(track_ + 1) + " " + why + " (byte " +
                        std::to_string(pos_) + ")");
    }

private:
    const std::vector<unsigned char>& b_;
    std::size_t pos_;
    std::size_t end_;
    int track_;
};

std::uint32_t be32(const std::vector<unsigned char>& b, std::size_t at) {
    return (static_cast<std::uint32_t>(b[at]) << 24) | (static_cast<std::uint32_t>(b[at + 1]) << 16) |
           (static_cast<std::uint32_t>(b[at + 2]) << 8) | static_cast<std::uint32_t>(b[at + 3]);
}
std::uint16_t be16(const std::vector<unsigned char>& b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}

void parseTrack(const std::vector<unsigned char>& bytes, std::size_t begin, std::size_t end, int track,
                std::vector<RawItem>& out) {
    Reader r(bytes, begin, end, track);
    std::uint64_t tick = 0;
    std::uint8_t running = 0;
    while (!r.atEnd()) {
        tick += r.varLen("an event's time");
        std::uint8_t status = r.byte("an event");
        std::uint8_t first = 0;
        bool haveFirst = false;
        if (status < 0x80) {
            if (running == 0) r.fail("has data byte " + hex2(status) + " without a status byte before it");
            first = status;
            haveFirst = true;
            status = running;
        }
        if (status < 0xF0) {
            running = status;
            const int dataBytes = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0 ? 1 : 2;
            RawItem item{tick, track, false, 0, {}, 0, 0};
            item.event.bytes[0] = status;
            for (int i = 0; i < dataBytes; ++i) {
                const std::uint8_t d = (i == 0 && haveFirst) ? first : r.byte("a channel message");
                if (d >= 0x80) r.fail("has status byte " + hex2(d) + " inside a channel message");
                item.event.bytes[1 + i] = d;
            }
            item.event.size = static_cast<std::uint8_t>(1 + dataBytes);
            item.event.tick = tick;
            item.event.track = track;
            out.push_back(item);
            continue;
        }
        // System exclusive and meta events cancel running status.
        running = 0;
        if (status == 0xF0 || status == 0xF7) {
            r.skip(r.varLen("a system exclusive message"), "a system exclusive message");
        } else if (status == 0xFF) {
            const std::uint8_t type = r.byte("a meta event");
            const std::uint32_t length = r.varLen("a meta event");
            const std::size_t data = r.pos();
            r.skip(length, "a meta event");
            if (type == 0x2F) return;  // end of track: anything after it is ignored
            if (type == 0x51) {
                if (length != 3) r.fail("has a tempo event of " + std::to_string(length) + " bytes (3 expected)");
                const std::uint32_t tempo = (static_cast<std::uint32_t>(bytes[data]) << 16) |
                                            (static_cast<std::uint32_t>(bytes[data + 1]) << 8) | bytes[data + 2];
                if (tempo == 0) r.fail("has a tempo of 0 microseconds per quarter note");
                out.push_back(RawItem{tick, track, true, tempo, {}, 0, 0});
            } else if (type == 0x58 && length >= 2) {
                // A denominator beyond 2^6 is no time signature any host can show.
                const int numerator = bytes[data];
                const int power = bytes[data + 1];
                if (numerator > 0 && power <= 6) out.push_back(RawItem{tick, track, false, 0, {}, numerator, 1 << power});
            }
        } else {
            r.fail("has status byte " + hex2(status) + ", which a MIDI file may not contain");
        }
    }
}

}  // namespace

std::uint64_t MidiTime::frame(std::uint32_t rate) const {
    const std::uint64_t q = num / den;
    const std::uint64_t r = num % den;
    std::uint64_t whole = 0;
    std::uint64_t part = 0;
    std::uint64_t total = 0;
    if (__builtin_mul_overflow(q, static_cast<std::uint64_t>(rate), &whole) ||
        __builtin_mul_overflow(r, static_cast<std::uint64_t>(rate), &part) ||
        __builtin_add_overflow(whole, (part + den / 2) / den, &total) || total > (std::uint64_t{1} << 62)) {
        throw MidiError("MIDI file too long: an event lies beyond any renderable length");
    }
    return total;
}

MidiSequence parseMidi(const std::vector<unsigned char>& bytes) {
    if (bytes.empty()) throw MidiError("not a MIDI file: it is empty");
    if (bytes.size() < 4 || std::string(bytes.begin(), bytes.begin() + 4) != "MThd") {
        throw MidiError("not a MIDI file: it does not start with \"MThd\"");
    }
    if (bytes.size() < 14) throw MidiError("truncated MIDI file: the header is incomplete");
    const std::uint32_t headerLength = be32(bytes, 4);
    if (headerLength < 6) throw MidiError("malformed MIDI file: header of " + std::to_string(headerLength) + " bytes (6 expected)");
    if (headerLength > bytes.size() - 8) throw MidiError("truncated MIDI file: the header is incomplete");

    MidiSequence seq;
    seq.format = be16(bytes, 8);
    const int declaredTracks = be16(bytes, 10);
    const std::uint16_t division = be16(bytes, 12);
    if (seq.format == 2) throw MidiError("format 2 MIDI files (independent sequences) are not supported");
    if (seq.format > 2) throw MidiError("malformed MIDI file: unknown format " + std::to_string(seq.format));
    if (declaredTracks == 0) throw MidiError("malformed MIDI file: the header declares no tracks");

    // Seconds = num / den with num built up tick by tick from `perTick`.
    std::uint64_t den = 0;
    std::uint64_t smpteTickWeight = 0;  // 0 for metrical files
    if ((division & 0x8000u) == 0) {
        if (division == 0) throw MidiError("malformed MIDI file: 0 ticks per quarter note");
        seq.division = division;
        den = static_cast<std::uint64_t>(division) * 1000000u;
    } else {
        const int fps = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
        const int ticksPerFrame = division & 0xff;
        if ((fps != 24 && fps != 25 && fps != 29 && fps != 30) || ticksPerFrame == 0) {
            throw MidiError("malformed MIDI file: unknown SMPTE time division " + hex2(division >> 8) + hex2(division).substr(2));
        }
        seq.division = static_cast<std::int16_t>(division);
        // 29 stands for 29.97 (30000/1001) frames per second.
        den = static_cast<std::uint64_t>(ticksPerFrame) * (fps == 29 ? 30000u : static_cast<unsigned>(fps));
        smpteTickWeight = fps == 29 ? 1001u : 1u;
    }

    std::vector<RawItem> items;
    std::size_t pos = 8 + headerLength;
    int tracks = 0;
    while (tracks < declaredTracks) {
        if (bytes.size() - pos < 8) {
            if (pos == bytes.size()) {
                throw MidiError("truncated MIDI file: " + std::to_string(tracks) + " of " +
                                std::to_string(declaredTracks) + " tracks present");
            }
            throw MidiError("truncated MIDI file: it ends inside a chunk header (byte " + std::to_string(pos) + ")");
        }
        const std::string type(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                               bytes.begin() + static_cast<std::ptrdiff_t>(pos + 4));
        const std::uint32_t length = be32(bytes, pos + 4);
        pos += 8;
        if (length > bytes.size() - pos) {
            throw MidiError("truncated MIDI file: " + (type == "MTrk" ? "track " + std::to_string(tracks + 1) : "a chunk") +
                            " declares " + std::to_string(length) + " bytes but only " +
                            std::to_string(bytes.size() - pos) + " remain");
        }
        if (type == "MTrk") {
            parseTrack(bytes, pos, pos + length, tracks, items);
            ++tracks;
        }
        // Chunks of other types are skipped, as the format asks.
        pos += length;
    }
    seq.trackCount = tracks;

    std::stable_sort(items.begin(), items.end(), [](const RawItem& a, const RawItem& b) { return a.tick < b.tick; });

    std::uint64_t tempo = kDefaultTempo;
    std::uint64_t lastTick = 0;
    std::uint64_t num = 0;
    for (RawItem& item : items) {
        std::uint64_t step = 0;
        const std::uint64_t weight = smpteTickWeight != 0 ? smpteTickWeight : tempo;
        if (__builtin_mul_overflow(item.tick - lastTick, weight, &step) || __builtin_add_overflow(num, step, &num)) {
            throw MidiError("MIDI file too long: its events lie beyond any renderable length");
        }
        lastTick = item.tick;
        if (item.isTempo) {
            tempo = item.tempo;
            ++seq.tempoChanges;
            if (smpteTickWeight == 0) seq.tempos.push_back(MidiTempo{item.tick, item.tempo});
            continue;
        }
        if (item.sigNumerator > 0) {
            if (smpteTickWeight == 0) {
                seq.timeSignatures.push_back(MidiTimeSignature{item.tick, item.sigNumerator, item.sigDenominator});
            }
            continue;
        }
        item.event.time = MidiTime{num, den};
        seq.events.push_back(item.event);
    }
    return seq;
}

MidiSequence readMidiFile(const std::string& path) {
    std::vector<unsigned char> bytes;
    std::string name = path;
    if (path == "-") {
        name = "standard input";
#if defined(_WIN32)
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        std::ios::sync_with_stdio(false);
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) throw MidiError("MIDI file not found: " + path);
        if (std::filesystem::is_directory(path, ec)) throw MidiError("MIDI file is a directory: " + path);
        std::ifstream in(path, std::ios::binary);
        if (!in) throw MidiError("MIDI file cannot be read: " + path);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (in.bad()) throw MidiError("MIDI file cannot be read: " + path);
    }
    try {
        return parseMidi(bytes);
    } catch (const MidiError& e) {
        throw MidiError(std::string(e.what()) + ": " + name);
    }
}

}  // namespace aerie
