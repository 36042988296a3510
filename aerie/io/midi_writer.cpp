#include <aerie/io/midi_writer.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <aerie/io/wav_writer.h>

namespace aerie {

namespace {

void put32(std::vector<unsigned char>& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
}
void put16(std::vector<unsigned char>& b, std::uint32_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
}
void putVar(std::vector<unsigned char>& b, std::uint64_t v) {
    // At most 28 bits: longer gaps are split by the caller.
    unsigned char tmp[5];
    int n = 0;
    tmp[n++] = static_cast<unsigned char>(v & 0x7f);
    while ((v >>= 7) != 0 && n < 4) tmp[n++] = static_cast<unsigned char>(0x80 | (v & 0x7f));
    while (n > 0) b.push_back(tmp[--n]);
}

// One item of the track: a meta event or a channel message at a tick.
struct Item {
    std::uint64_t tick;
    int order;  // meta events before channel messages at the same tick
    std::vector<unsigned char> bytes;
};

}  // namespace

std::vector<unsigned char> serializeMidi(int ticksPerQuarter, const std::vector<MidiTempo>& tempos,
                                         const std::vector<MidiTimeSignature>& signatures,
                                         const std::vector<MidiOutEvent>& events) {
    std::vector<Item> items;
    for (const MidiTimeSignature& s : signatures) {
        int power = 0;
        while ((1 << power) < s.denominator && power < 6) ++power;
        items.push_back({s.tick, 0,
                         {0xFF, 0x58, 0x04, static_cast<unsigned char>(std::clamp(s.numerator, 1, 255)),
                          static_cast<unsigned char>(power), 24, 8}});
    }
    for (const MidiTempo& t : tempos) {
        // A file holds 24 bits: a slower tempo is written as the slowest it
        // holds (about 3.58 BPM), not cut to its low bits (which could read
        // as any tempo, or as 0, which no reader takes).
        const std::uint32_t us = std::clamp<std::uint32_t>(t.microsPerQuarter, 1, 0xFFFFFF);
        items.push_back({t.tick, 0,
                         {0xFF, 0x51, 0x03, static_cast<unsigned char>(us >> 16), static_cast<unsigned char>(us >> 8),
                          static_cast<unsigned char>(us)}});
    }
    for (const MidiOutEvent& e : events) {
        const unsigned status = e.bytes[0];
        if (status < 0x80 || status >= 0xF0 || e.bytes[1] >= 0x80 || e.bytes[2] >= 0x80) continue;
        const bool two = (status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0;
        Item item{e.tick, 1, {e.bytes[0], e.bytes[1]}};
        if (!two) item.bytes.push_back(e.bytes[2]);
        items.push_back(std::move(item));
    }
    std::stable_sort(items.begin(), items.end(),
                     [](const Item& a, const Item& b) { return a.tick != b.tick ? a.tick < b.tick : a.order < b.order; });
    std::vector<unsigned char> track;
    std::uint64_t last = 0;
    for (const Item& item : items) {
        std::uint64_t delta = item.tick - last;
        // A gap beyond what one delta holds is bridged with empty text events.
        while (delta > 0x0FFFFFFF) {
            putVar(track, 0x0FFFFFFF);
            track.insert(track.end(), {0xFF, 0x01, 0x00});
            delta -= 0x0FFFFFFF;
        }
        putVar(track, delta);
        last = item.tick;
        track.insert(track.end(), item.bytes.begin(), item.bytes.end());
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00});
    std::vector<unsigned char> b = {'M', 'T', 'h', 'd'};
    put32(b, 6);
    put16(b, 0);
    put16(b, 1);
    put16(b, static_cast<std::uint32_t>(std::clamp(ticksPerQuarter, 1, 0x7FFF)));
    b.insert(b.end(), {'M', 'T', 'r', 'k'});
    put32(b, static_cast<std::uint32_t>(track.size()));
    b.insert(b.end(), track.begin(), track.end());
    return b;
}

void writeMidiFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    const std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw MidiError("cannot write the MIDI file " + path);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw MidiError("cannot write the MIDI file " + path + " (disk full?)");
        }
    }
    if (!replaceFile(tmp, path)) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw MidiError("cannot put the MIDI file in place at " + path);
    }
}

}  // namespace aerie
