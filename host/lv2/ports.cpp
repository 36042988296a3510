#include "host/lv2/ports.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/abi/opcodes.h"
#include "host/abi/parameter_properties.h"
#include "host/abi/pins.h"
#include "host/parameter.h"
#include "host/plugin.h"

namespace kstv::lv2 {

namespace {

VstIntPtr ask(AEffect* e, std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
    return e->dispatcher(e, opcode, index, value, ptr, 0.0f);
}

// A text request into a buffer far larger than any limit, cut at its end
// whatever the effect writes.
std::string askText(AEffect* e, std::int32_t opcode, std::int32_t index = 0) {
    char text[256] = {};
    ask(e, opcode, index, 0, text);
    text[sizeof text - 1] = '\0';
    return text;
}

bool canDo(AEffect* e, const char* what) {
    char word[64] = {};
    (void)std::snprintf(word, sizeof word, "%s", what);
    return ask(e, effCanDo, 0, 0, word) > 0;
}

std::vector<AudioPort> pins(AEffect* e, std::int32_t count, bool inputs, int& pairs) {
    std::vector<AudioPort> ports(static_cast<std::size_t>(count > 0 ? count : 0));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        AudioPort& port = ports[i];
        port.symbol = (inputs ? "in" : "out") + std::to_string(i + 1);
        VstPinProperties properties{};
        const bool given = ask(e, inputs ? effGetInputProperties : effGetOutputProperties,
                               static_cast<std::int32_t>(i), 0, &properties) != 0;
        properties.label[sizeof properties.label - 1] = '\0';
        port.name = given && properties.label[0] != '\0' ? properties.label
                                                         : (inputs ? "Input " : "Output ") + std::to_string(i + 1);
        // A pair: a pin marked stereo and the one after it, not already paired.
        if (given && (properties.flags & kVstPinIsStereo) != 0 && i + 1 < ports.size() &&
            (i == 0 || ports[i - 1].pair < 0 || !ports[i - 1].left)) {
            port.pair = pairs;
            port.left = true;
            ports[i + 1].pair = pairs++;
        }
    }
    return ports;
}

ControlPort control(AEffect* e, std::int32_t index, const Parameter* entry) {
    ControlPort port;
    port.parameter = index;
    if (entry != nullptr) {
        port.plain = entry;
        port.symbol = "p" + std::to_string(entry->id);
        port.name = entry->name != nullptr && entry->name[0] != '\0' ? entry->name : port.symbol;
        port.unit = entry->unit != nullptr ? entry->unit : "";
        port.automatable = entry->automatable;
        const Range& r = entry->range;
        port.minimum = r.min;
        port.maximum = r.max;
        port.integer = r.mapping == Mapping::Stepped || r.mapping == Mapping::Choice;
        port.logarithmic = r.mapping == Mapping::Logarithmic;
        if (r.mapping == Mapping::Choice && r.choices != nullptr) {
            port.enumeration = true;
            for (std::int32_t c = 0; c < r.count; ++c) {
                port.points.push_back({static_cast<double>(c), r.choices[c] != nullptr ? r.choices[c] : ""});
            }
        }
        port.toggled = entry->format == fmt::onOff && r.mapping == Mapping::Linear && r.min == 0.0 && r.max == 1.0;
    } else {
        port.symbol = "p" + std::to_string(index);
        VstParameterProperties properties{};
        std::string name;
        if (ask(e, effGetParameterProperties, index, 0, &properties) != 0) {
            properties.label[sizeof properties.label - 1] = '\0';
            name = properties.label;
        }
        if (name.empty()) name = askText(e, effGetParamName, index);
        port.name = name.empty() ? port.symbol : name;
        port.automatable = ask(e, effCanBeAutomated, index) != 0;
    }
    return port;
}

// The effect's programs: each selected in turn, its values read as port
// values; the first selected again at the end.
std::vector<Program> programsOf(AEffect* e, const std::vector<ControlPort>& controls) {
    std::vector<Program> programs;
    const std::int32_t count = e->numPrograms;
    for (std::int32_t p = 0; p < count && p < 4096; ++p) {
        ask(e, effSetProgram, 0, p);
        Program program;
        program.name = askText(e, effGetProgramName);
        if (program.name.empty()) program.name = "Program " + std::to_string(p + 1);
        for (const ControlPort& c : controls) {
            program.values.push_back(c.fromNormalised(e->getParameter(e, c.parameter)));
        }
        programs.push_back(std::move(program));
    }
    if (count > 0) ask(e, effSetProgram, 0, 0);
    return programs;
}

}  // namespace

float ControlPort::fromNormalised(float normalised) const noexcept {
    if (plain == nullptr) return normalised;
    return static_cast<float>(plain->range.toPlain(normalised));
}

float ControlPort::toNormalised(float portValue) const noexcept {
    if (plain == nullptr) return unitOr(portValue, 0.0f);
    if (!isFinite(portValue)) return 0.0f;
    return static_cast<float>(plain->range.toNormalised(portValue));
}

Layout describe(AEffect* e, const Description* layer, bool programs) {
    Layout layout;
    layout.name = askText(e, effGetEffectName);
    layout.vendor = askText(e, effGetVendorString);
    layout.product = askText(e, effGetProductString);
    layout.version = static_cast<std::int32_t>(ask(e, effGetVendorVersion));
    layout.category = static_cast<std::int32_t>(ask(e, effGetPlugCategory));
    layout.instrument = (e->flags & effFlagsIsSynth) != 0 || layout.category == kPlugCategSynth;
    layout.midiIn = layout.instrument || canDo(e, "receiveVstMidiEvent") || canDo(e, "receiveVstEvents");
    layout.midiOut = canDo(e, "sendVstMidiEvent") || canDo(e, "sendVstEvents");
    layout.chunks = (e->flags & effFlagsProgramChunks) != 0;
    int pairs = 0;
    layout.inputs = pins(e, e->numInputs, true, pairs);
    layout.outputs = pins(e, e->numOutputs, false, pairs);
    const std::int32_t count = e->numParams > 0 ? e->numParams : 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const Parameter* entry = layer != nullptr && static_cast<std::size_t>(i) < layer->parameters.size()
                                     ? &layer->parameters[static_cast<std::size_t>(i)]
                                     : nullptr;
        layout.controls.push_back(control(e, i, entry));
        ControlPort& c = layout.controls.back();
        c.defaultValue = c.fromNormalised(e->getParameter(e, i));
    }
    if (programs) layout.programs = programsOf(e, layout.controls);
    return layout;
}

std::string floatText(float value) {
    char text[32] = {};
    for (int digits = 6; digits <= 9; ++digits) {
        (void)std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(value));
        if (std::strtof(text, nullptr) == value) break;
    }
    return text;
}

}  // namespace kstv::lv2
