// Standard MIDI File writer: one track (format 0) holding the tempo map,
// the time signatures and channel messages at their ticks.
// Threads: every function here [any thread; allocates; writes files].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <aerie/io/midi_reader.h>

namespace aerie {

struct MidiOutEvent {
    std::uint64_t tick = 0;
    std::uint8_t bytes[3] = {0, 0, 0};
};

// The file's bytes. Events must be sorted by tick; system messages (status
// 0xF0 and up) and data bytes out of range are not written; tempos are
// kept to what a file holds (1 to 0xFFFFFF microseconds a quarter).
std::vector<unsigned char> serializeMidi(int ticksPerQuarter, const std::vector<MidiTempo>& tempos,
                                         const std::vector<MidiTimeSignature>& signatures,
                                         const std::vector<MidiOutEvent>& events);
// Writes under a temporary name and renames into place; throws MidiError.
void writeMidiFile(const std::string& path, const std::vector<unsigned char>& bytes);

}  // namespace aerie
