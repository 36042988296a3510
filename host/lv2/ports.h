// What an LV2 host sees of a plug-in module: its ports, their ranges and
// names, its programs, what it takes and sends. Worked out by asking the
// effect, as a host's scan asks a VST 2 module, so any effect of the frame is
// served alike; a kstv::Plugin adds its parameter table, whose plain units,
// choices and ranges become the control ports' own.
//
// The port order, which the bundle's description and the running instance
// share: audio inputs, audio outputs, one control input per parameter, the
// latency output, the event input (MIDI in, the song position), and the MIDI
// output where the plug-in sends MIDI.
//
// Port symbols stay the same when the parameter table is reordered: a
// parameter's stable id names its port ("p3"); an effect without a table
// names it by its index, which its saved state uses as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/abi/aeffect.h"

namespace kstv {
struct Description;
struct Parameter;
}  // namespace kstv

namespace kstv::lv2 {

struct AudioPort {
    std::string symbol;  // "in1", "out2"
    std::string name;    // the pin's label
    int pair = -1;       // its stereo pair (numbered from 0 over the inputs, then the outputs), or -1
    bool left = false;   // the pair's first pin
};

struct ScalePoint {
    double value;
    std::string label;
};

struct ControlPort {
    std::int32_t parameter = 0;  // the effect's index
    std::string symbol;
    std::string name;
    double minimum = 0.0, maximum = 1.0, defaultValue = 0.0;
    bool integer = false, enumeration = false, toggled = false, logarithmic = false;
    bool automatable = true;
    std::string unit;  // as the table gives it ("dB"); empty for none
    std::vector<ScalePoint> points;
    // The table's entry: the port holds plain values on its range. Null: the
    // port holds the host's 0..1 value itself.
    const Parameter* plain = nullptr;

    // The port's value of a 0..1 value, and back. [any thread; no lock, no allocation]
    float fromNormalised(float normalised) const noexcept;
    float toNormalised(float portValue) const noexcept;
};

struct Program {
    std::string name;
    std::vector<float> values;  // port values, one per control port
};

struct Layout {
    std::string name, vendor, product;
    std::int32_t version = 0;
    std::int32_t category = 0;  // kPlugCateg...
    bool instrument = false;
    bool midiIn = false, midiOut = false;
    bool chunks = false;  // its whole state is a chunk
    std::vector<AudioPort> inputs, outputs;
    std::vector<ControlPort> controls;
    std::vector<Program> programs;

    // Port indices.
    std::uint32_t firstOutput() const noexcept { return static_cast<std::uint32_t>(inputs.size()); }
    std::uint32_t firstControl() const noexcept { return firstOutput() + static_cast<std::uint32_t>(outputs.size()); }
    std::uint32_t latencyPort() const noexcept { return firstControl() + static_cast<std::uint32_t>(controls.size()); }
    std::uint32_t eventPort() const noexcept { return latencyPort() + 1; }
    std::uint32_t midiOutPort() const noexcept { return eventPort() + 1; }  // where midiOut
    std::uint32_t portCount() const noexcept { return midiOutPort() + (midiOut ? 1 : 0); }
};

// Asks an open effect what it is. `layer` is the parameter table of a
// kstv::Plugin, or null. `programs` walks the programs (setting each and
// reading its values, then going back to the first): for a description,
// not for an instance a host plays. [main thread; allocates] Throws on
// allocation failure only.
Layout describe(AEffect* effect, const Description* layer, bool programs);

// The text of a number that reads back as the same float, as short as
// that allows ("0.3", "-60", "1e-05"). [any thread; allocates]
std::string floatText(float value);

}  // namespace kstv::lv2
