// The command-line host's MIDI file reader, on any bytes. A file is either
// refused with a MidiError or read into a sequence that keeps the reader's
// promises: channel messages only, in time order, every time on the file's
// one denominator, and frames that either fit or are refused, never going
// backwards from one event to the next.
#include <cstdint>
#include <vector>

#include "fuzz/check.h"
#include <aerie/io/midi_reader.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<unsigned char> bytes(data, data + size);
    aerie::MidiSequence seq;
    try {
        seq = aerie::parseMidi(bytes);
    } catch (const aerie::MidiError&) {
        return 0;
    }
    if (seq.format != 0 && seq.format != 1) fuzz::fail("format", seq.format);
    if (seq.trackCount < 1) fuzz::fail("track count", seq.trackCount);
    constexpr std::uint32_t kRates[] = {1u, 44100u, 384000u, 0xFFFFFFFFu};
    std::uint64_t lastFrame[4] = {0, 0, 0, 0};
    const aerie::MidiEvent* previous = nullptr;
    for (const aerie::MidiEvent& e : seq.events) {
        if (e.size != 2 && e.size != 3) fuzz::fail("message size", e.size);
        if (e.bytes[0] < 0x80 || e.bytes[0] >= 0xF0) fuzz::fail("status byte", e.bytes[0]);
        for (int i = 1; i < e.size; ++i) {
            if (e.bytes[i] >= 0x80) fuzz::fail("data byte", e.bytes[i]);
        }
        if (e.track < 0 || e.track >= seq.trackCount) fuzz::fail("track", e.track);
        if (e.time.den == 0) fuzz::fail("zero denominator");
        if (previous != nullptr) {
            if (e.time.den != previous->time.den) fuzz::fail("denominators differ");
            if (e.time.num < previous->time.num || e.tick < previous->tick) fuzz::fail("out of time order");
        }
        previous = &e;
        for (int r = 0; r < 4; ++r) {
            try {
                const std::uint64_t frame = e.time.frame(kRates[r]);
                if (frame < lastFrame[r]) fuzz::fail("frames go backwards", static_cast<long long>(kRates[r]));
                lastFrame[r] = frame;
            } catch (const aerie::MidiError&) {
            }
        }
    }
    return 0;
}
