// Shared pieces of Kestravian's black-box suite: the module under test (from
// the test kit: given on the command line, so the same tests run against
// every binary we ship), a host that records what the plug-in asks, and a
// plain reference synthesizer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/kit/kit.h"
#include "tests/reference/reference.h"
#include <aerie/aerie.h>

namespace blackbox {

using kit::module;
using kit::sameBits;

// One instance with its own recording host, set up as hosts usually do:
// sample rate, block size, resume.
struct Plugin : kit::Session {
    using kit::Session::Session;
    void send(aerie::EventList& events) { dispatch(effProcessEvents, 0, 0, events.get()); }
    // One overwriting render call of `frames` frames; returns the first output.
    std::vector<float> render(std::int32_t frames);
    // One accumulating render call onto `buffer`.
    void accumulate(std::vector<float>& buffer);
};

// A note-on to start at an absolute frame of a longer render.
struct Note {
    std::int64_t frame;
    int note;
    int velocity;
};

// Renders `total` frames in blocks of `block`, delivering each note-on in
// the block it falls in with its offset inside that block.
std::vector<float> renderNotes(Plugin& plugin, const std::vector<Note>& notes, std::int64_t total,
                               std::int32_t block);

// The plain reference synthesizer (tests/reference), compared bit for bit.
using Reference = reference::Synth;

// Frames from `from` on until the signal is exactly zero for good.
std::int64_t ringLength(const std::vector<float>& signal, std::int64_t from);

}  // namespace blackbox
