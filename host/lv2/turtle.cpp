// The bundle's description, written at build time by asking the built
// module what it is (host/lv2/ports.h): manifest.ttl names the plug-in, its
// binary and its presets; <name>.ttl its ports; presets.ttl its programs.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "host/abi/opcodes.h"
#include "host/lv2/entry.h"
#include "host/lv2/instance.h"
#include "host/lv2/ports.h"

namespace kstv::lv2 {

namespace {

constexpr const char* kPrefixes =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi:  <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix opts:  <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pg:    <http://lv2plug.in/ns/ext/port-groups#> .\n"
    "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf:   <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix time:  <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n\n";

// A Turtle string literal.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            out += ' ';
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

std::string number(double value) { return floatText(static_cast<float>(value)); }

// LV2's own units for the unit texts it has one for.
const char* lv2Unit(const std::string& unit) {
    struct Known {
        const char* text;
        const char* uri;
    };
    static const Known kKnown[] = {{"dB", "units:db"}, {"Hz", "units:hz"}, {"kHz", "units:khz"}, {"ms", "units:ms"},
                                   {"s", "units:s"},   {"%", "units:pc"},  {"ct", "units:cent"}, {"cents", "units:cent"},
                                   {"bpm", "units:bpm"}, {"BPM", "units:bpm"}, {"st", "units:semitone12TET"}};
    for (const Known& k : kKnown) {
        if (unit == k.text) return k.uri;
    }
    return nullptr;
}

const char* pluginClass(const Layout& layout) {
    if (layout.instrument) return "lv2:InstrumentPlugin";
    switch (layout.category) {
    case kPlugCategAnalysis: return "lv2:AnalyserPlugin";
    case kPlugCategMastering: return "lv2:DynamicsPlugin";
    case kPlugCategSpacializer:
    case kPlugCategSurroundFx: return "lv2:SpatialPlugin";
    case kPlugCategRoomFx: return "lv2:ReverbPlugin";
    case kPlugCategRestoration: return "lv2:UtilityPlugin";
    case kPlugCategGenerator: return "lv2:GeneratorPlugin";
    default: return nullptr;
    }
}

void audioPorts(std::ostream& out, const std::string& uri, const std::vector<AudioPort>& ports, bool inputs,
                std::uint32_t& index) {
    for (const AudioPort& p : ports) {
        out << " , [\n    a lv2:" << (inputs ? "Input" : "Output") << "Port , lv2:AudioPort ;\n"
            << "    lv2:index " << index++ << " ;\n    lv2:symbol " << quoted(p.symbol) << " ;\n"
            << "    lv2:name " << quoted(p.name);
        if (p.pair >= 0) {
            out << " ;\n    pg:group <" << uri << "#pair" << p.pair << "> ;\n    lv2:designation "
                << (p.left ? "pg:left" : "pg:right");
        }
        out << "\n  ]";
    }
}

void controlPort(std::ostream& out, const ControlPort& c, std::uint32_t index) {
    out << " , [\n    a lv2:InputPort , lv2:ControlPort ;\n    lv2:index " << index << " ;\n"
        << "    lv2:symbol " << quoted(c.symbol) << " ;\n    lv2:name " << quoted(c.name) << " ;\n"
        << "    lv2:default " << number(c.defaultValue) << " ;\n    lv2:minimum " << number(c.minimum) << " ;\n"
        << "    lv2:maximum " << number(c.maximum);
    std::string properties;
    const auto add = [&properties](const char* p) { properties += properties.empty() ? p : std::string(" , ") + p; };
    if (c.integer) add("lv2:integer");
    if (c.enumeration) add("lv2:enumeration");
    if (c.toggled) add("lv2:toggled");
    if (c.logarithmic) add("pprops:logarithmic");
    if (!c.automatable) add("pprops:notAutomatic");
    if (!properties.empty()) out << " ;\n    lv2:portProperty " << properties;
    if (!c.unit.empty()) {
        if (const char* known = lv2Unit(c.unit)) {
            out << " ;\n    units:unit " << known;
        } else {
            out << " ;\n    units:unit [ a units:Unit ; rdfs:label " << quoted(c.unit) << " ; units:symbol "
                << quoted(c.unit) << " ; units:render " << quoted("%f " + c.unit) << " ]";
        }
    }
    for (std::size_t k = 0; k < c.points.size(); ++k) {
        out << (k == 0 ? " ;\n    lv2:scalePoint " : " , ") << "[ rdfs:label " << quoted(c.points[k].label)
            << " ; rdf:value " << number(c.points[k].value) << " ]";
    }
    out << "\n  ]";
}

std::string pluginTurtle(const std::string& uri, const Layout& layout) {
    std::ostringstream out;
    out << kPrefixes;
    // The stereo pairs.
    for (const auto* ports : {&layout.inputs, &layout.outputs}) {
        const bool inputs = ports == &layout.inputs;
        int pair = 0;  // "in", "in2", ...
        for (std::size_t i = 0; i < ports->size(); ++i) {
            const AudioPort& p = (*ports)[i];
            if (!p.left) continue;
            out << "<" << uri << "#pair" << p.pair << ">\n    a pg:StereoGroup , pg:" << (inputs ? "Input" : "Output")
                << "Group ;\n    lv2:symbol " << quoted(std::string(inputs ? "in" : "out") + (pair++ > 0 ? std::to_string(pair) : ""))
                << " ;\n    rdfs:label " << quoted(p.name + " / " + (*ports)[i + 1].name) << " .\n\n";
        }
    }
    // The vendor and product, as the project the plug-in belongs to.
    const std::string project = layout.product.empty() ? layout.name : layout.product;
    if (!project.empty() || !layout.vendor.empty()) {
        out << "<" << uri << "#project>\n    a doap:Project";
        if (!project.empty()) out << " ;\n    doap:name " << quoted(project);
        if (!layout.vendor.empty()) out << " ;\n    doap:maintainer [ a foaf:Person ; foaf:name " << quoted(layout.vendor) << " ]";
        out << " .\n\n";
    }
    out << "<" << uri << ">\n    a lv2:Plugin";
    if (const char* cls = pluginClass(layout)) out << " , " << cls;
    out << " ;\n    doap:name " << quoted(layout.name.empty() ? layout.product : layout.name) << " ;\n";
    if (!project.empty() || !layout.vendor.empty()) out << "    lv2:project <" << uri << "#project> ;\n";
    out << "    lv2:optionalFeature lv2:hardRTCapable , opts:options , bufsz:boundedBlockLength";
    if (!(layout.midiIn && layout.instrument)) out << " , urid:map";
    out << " ;\n";
    if (layout.midiIn && layout.instrument) out << "    lv2:requiredFeature urid:map ;\n";
    out << "    opts:supportedOption bufsz:maxBlockLength , bufsz:nominalBlockLength ;\n"
        << "    lv2:extensionData state:interface ;\n    lv2:port [\n"
        << "    a lv2:OutputPort , lv2:ControlPort ;\n    lv2:index " << layout.latencyPort() << " ;\n"
        << "    lv2:symbol \"latency\" ;\n    lv2:name \"Latency\" ;\n    lv2:designation lv2:latency ;\n"
        << "    lv2:portProperty lv2:reportsLatency , lv2:integer , pprops:notOnGUI ;\n"
        << "    lv2:minimum 0 ;\n    lv2:maximum 1048576 ;\n    units:unit units:frame\n  ] , [\n"
        << "    a lv2:InputPort , atom:AtomPort ;\n    atom:bufferType atom:Sequence ;\n    atom:supports "
        << (layout.midiIn ? "midi:MidiEvent , " : "") << "time:Position ;\n"
        << "    lv2:designation lv2:control ;\n    lv2:portProperty lv2:connectionOptional ;\n"
        << "    lv2:index " << layout.eventPort() << " ;\n    lv2:symbol \"events\" ;\n"
        << "    lv2:name " << quoted(layout.midiIn ? "MIDI in and song position" : "Song position") << "\n  ]";
    if (layout.midiOut) {
        out << " , [\n    a lv2:OutputPort , atom:AtomPort ;\n    atom:bufferType atom:Sequence ;\n"
            << "    atom:supports midi:MidiEvent ;\n    lv2:portProperty lv2:connectionOptional ;\n"
            << "    lv2:index " << layout.midiOutPort() << " ;\n    lv2:symbol \"midi_out\" ;\n"
            << "    lv2:name \"MIDI out\"\n  ]";
    }
    std::uint32_t index = 0;
    audioPorts(out, uri, layout.inputs, true, index);
    audioPorts(out, uri, layout.outputs, false, index);
    for (const ControlPort& c : layout.controls) controlPort(out, c, index++);
    out << " .\n";
    return out.str();
}

std::string presetUri(const std::string& uri, std::size_t program) { return uri + "#program" + std::to_string(program + 1); }

std::string presetsTurtle(const std::string& uri, const Layout& layout) {
    std::ostringstream out;
    out << kPrefixes;
    for (std::size_t p = 0; p < layout.programs.size(); ++p) {
        const Program& program = layout.programs[p];
        out << "<" << presetUri(uri, p) << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << uri << "> ;\n"
            << "    rdfs:label " << quoted(program.name);
        for (std::size_t i = 0; i < program.values.size(); ++i) {
            out << (i == 0 ? " ;\n    lv2:port [\n" : " , [\n") << "        lv2:symbol "
                << quoted(layout.controls[i].symbol) << " ;\n        pset:value " << floatText(program.values[i])
                << "\n    ]";
        }
        out << " .\n\n";
    }
    return out.str();
}

std::string manifestTurtle(const std::string& uri, const Layout& layout, const std::string& binary,
                           const std::string& base) {
    std::ostringstream out;
    out << "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
        << "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
        << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n\n"
        << "<" << uri << ">\n    a lv2:Plugin ;\n    lv2:binary <" << binary << "> ;\n    rdfs:seeAlso <" << base
        << ".ttl> .\n";
    for (std::size_t p = 0; p < layout.programs.size(); ++p) {
        out << "\n<" << presetUri(uri, p) << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << uri
            << "> ;\n    rdfs:seeAlso <presets.ttl> .\n";
    }
    return out.str();
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return static_cast<bool>(file);
}

VstIntPtr VST_CALL scanCallback(AEffect*, std::int32_t opcode, std::int32_t, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

}  // namespace

int writeBundleFor(const ModuleEntry& entry, const char* folder, const char* binary, char* error,
                   unsigned long errorSize) noexcept {
    const auto fail = [&](const std::string& why) {
        if (error != nullptr && errorSize > 0) (void)std::snprintf(error, errorSize, "%s", why.c_str());
        return 1;
    };
    if (folder == nullptr || binary == nullptr) return fail("no folder or binary name given");
    try {
        AEffect* e = entry.main(&scanCallback);
        if (e == nullptr) return fail("the module's entry made no effect");
        e->dispatcher(e, effOpen, 0, 0, nullptr, 0.0f);
        e->dispatcher(e, effSetSampleRate, 0, 0, nullptr, 44100.0f);
        e->dispatcher(e, effSetBlockSize, 0, 512, nullptr, 0.0f);
        const Layout layout = describe(e, entry.layer != nullptr ? entry.layer(e) : nullptr, true);
        e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f);
        const std::string uri = entry.uri, name = binary;
        const std::string base = name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0
                                     ? name.substr(0, name.size() - 3)
                                     : name;
        const std::string dir = std::string(folder) + "/";
        if (!writeFile(dir + "manifest.ttl", manifestTurtle(uri, layout, name, base)) ||
            !writeFile(dir + base + ".ttl", pluginTurtle(uri, layout)) ||
            !writeFile(dir + "presets.ttl", presetsTurtle(uri, layout))) {
            return fail("cannot write the description into " + std::string(folder));
        }
        return 0;
    } catch (...) {
        return fail("out of memory");
    }
}

}  // namespace kstv::lv2
