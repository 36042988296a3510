// Standard MIDI File reader: formats 0 and 1, every track merged into one
// time-ordered list of channel messages, times kept exact through the tempo
// map so that each event lands on one well-defined frame at any sample rate.
// Threads: every function here [any thread; allocates; reads files].
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <aerie/host_error.h>

namespace aerie {

// A file that is not a well-formed MIDI file; what() is one line that says
// what is wrong and where (byte offset, track).
// Its kind is BadInputFile, for callers that tell failures apart by kind.
class MidiError : public HostError {
public:
    explicit MidiError(const std::string& message) : HostError(ErrorKind::BadInputFile, message) {}
};

// An exact point in time: num / den seconds. Every time of one file shares
// the same den (ticks per quarter note times 1,000,000 for metrical files).
struct MidiTime {
    std::uint64_t num = 0;
    std::uint64_t den = 1;

    double seconds() const noexcept { return static_cast<double>(num) / static_cast<double>(den); }
    // The frame at `rate` frames per second, rounded half up, computed in
    // integers so that every platform agrees. Throws MidiError if it does not
    // fit in 63 bits.
    std::uint64_t frame(std::uint32_t rate) const;
};

// One channel message (note on/off, controller, program, pressure, pitch bend).
struct MidiEvent {
    std::uint64_t tick = 0;  // absolute, in the file's ticks
    MidiTime time;
    int track = 0;           // the track it came from, 0-based
    std::uint8_t bytes[3] = {0, 0, 0};
    std::uint8_t size = 0;   // 2 or 3
};

// A tempo meta event: from `tick` on, a quarter note lasts this long.
struct MidiTempo {
    std::uint64_t tick = 0;
    std::uint32_t microsPerQuarter = 500000;
};

// A time signature meta event: numerator / denominator from `tick` on.
struct MidiTimeSignature {
    std::uint64_t tick = 0;
    int numerator = 4;
    int denominator = 4;
};

struct MidiSequence {
    int format = 0;             // 0 or 1
    int trackCount = 0;
    int division = 0;           // ticks per quarter note (> 0) or SMPTE (< 0, raw 16 bits sign-extended)
    int tempoChanges = 0;       // tempo meta events honoured
    std::vector<MidiTempo> tempos;                  // the tempo map, in tick order (metrical files)
    std::vector<MidiTimeSignature> timeSignatures;  // in tick order
    std::vector<MidiEvent> events;  // in time order; ties keep track order, then file order
};

// Parses a whole file held in memory.
MidiSequence parseMidi(const std::vector<unsigned char>& bytes);
// Reads and parses a file; "-" reads standard input. Errors name the file.
MidiSequence readMidiFile(const std::string& path);

}  // namespace aerie
