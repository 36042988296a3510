// The song position a host reports while it plays: a tempo map and time
// signatures over the frames of a render, answered as the interface's time
// record at any frame.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/abi/time_info.h"

namespace aerie {

// From `tick` on, a quarter note lasts `microsPerQuarter` microseconds (the
// way MIDI files keep tempo: 500000 is 120 beats per minute).
struct TempoChange {
    std::uint64_t tick = 0;
    std::uint32_t microsPerQuarter = 500000;
};

// From `tick` on, bars of numerator / denominator (a power of two).
struct TimeSignature {
    std::uint64_t tick = 0;
    int numerator = 4;
    int denominator = 4;
};

// A loop between two positions in quarter notes (cycleStartPos, cycleEndPos).
struct Loop {
    double start = 0.0;
    double end = 0.0;
};

struct TimelineSettings {
    std::uint32_t sampleRate = 44100;
    int ticksPerQuarter = 960;                 // the MIDI file's division
    std::vector<TempoChange> tempos;           // sorted by tick; none: 120
    std::vector<TimeSignature> signatures;     // sorted by tick; none: 4/4
    std::optional<Loop> loop;
    // A tempo as typed, in beats per minute, for the whole render: it
    // replaces `tempos` and is kept as the number it is, so that 90 is 90
    // and not the 666,667 microseconds per quarter note a MIDI file would
    // hold (which `settings().tempos` then gives, for writing one).
    std::optional<double> bpm;
};

// The timeline of one render. Every position is computed from the frame
// alone, in integers as far as the tempo map goes, so a position does not
// drift over a long render and every block of every module sees the same
// time at the same frame. The transport plays from frame 0 to the end; a
// loop is reported (the cycle fields) but the playhead never jumps.
//
// [any thread] once made: a timeline is only read, so the hosts of every
// module of a chain answer from one timeline, on any thread. Its queries
// take no lock and allocate nothing, for the audio thread's time requests.
class Timeline {
public:
    // Throws HostError for no sample rate, a tempo of 0 (or a typed one
    // outside 0.1 to 1,000,000 BPM) or a signature that is none; of two
    // tempo changes on one tick the later one holds. [allocates]
    explicit Timeline(TimelineSettings settings = {});

    const TimelineSettings& settings() const noexcept { return s_; }
    std::uint32_t sampleRate() const noexcept { return s_.sampleRate; }

    // Quarter notes from the start at `frame`.
    double ppqAt(std::uint64_t frame) const noexcept;
    // Beats per minute in force at `frame`.
    double tempoAt(std::uint64_t frame) const noexcept;
    // The frame (rounded half up) of a tick of the tempo map's division.
    // This and frameOfPpq throw HostError for a position past any
    // renderable length.
    std::uint64_t frameOfTick(std::uint64_t tick) const;
    // The frame (rounded to nearest) of a position in quarter notes.
    std::uint64_t frameOfPpq(double ppq) const;
    // The tick (rounded to nearest) at a frame.
    std::uint64_t tickAt(std::uint64_t frame) const noexcept;

    // The whole record at the first frame of a block. nanoSeconds is the
    // frame's place on the timeline in nanoseconds (an offline render has
    // no wall clock worth reporting, and this keeps renders reproducible).
    // `first` marks the first block (the transport-changed bit).
    void fill(VstTimeInfo& info, std::uint64_t frame, bool first) const noexcept;

private:
    struct Segment {
        std::uint64_t tick;              // where it starts
        std::uint32_t microsPerQuarter;
        std::uint64_t timeNum;           // its start in seconds, times ticks per quarter times 1,000,000
        std::uint64_t startFrame;        // its start in frames: startFrame + startFraction
        double startFraction;            // 0 <= fraction < 1
        double bpm;                      // a tempo as typed; 0: microsPerQuarter holds
    };
    const Segment& segmentAtFrame(std::uint64_t frame) const noexcept;
    const Segment& segmentAtTick(std::uint64_t tick) const noexcept;
    const Segment& segmentAtPpq(double ppq) const noexcept;
    static double tempoOf(const Segment& s) noexcept;
    double framesPerQuarter(const Segment& s) const noexcept;
    // Frames from the segment's start to `frame` (may be negative by less than one).
    double framesInto(const Segment& s, std::uint64_t frame) const noexcept;

    TimelineSettings s_;
    std::vector<Segment> segments_;
    std::uint64_t den_ = 1;  // ticks per quarter times 1,000,000
};

}  // namespace aerie
