// The state file of --state and --save-state: a small JSON file of our own.
//
// {
//   "format": "vst2host-state",
//   "formatVersion": 1,
//   "plugin": {"name": "ZamComp", "vendor": "Damien Zammit",
//              "uniqueId": {"chars": "ZCMP", "value": 1514360144}, "version": 262400},
//   "program": 1,                  // as info numbers them, from 1 (0: the plug-in has none)
//   "programName": "Default",
//   "parameters": [{"number": 1, "name": "Attack", "value": 0.0990991}, ...],
//   "chunk": {"kind": "bank", "size": 123, "base64": "..."}   // only with effFlagsProgramChunks
// }
//
// The chunk's kind says which chunk it is: "bank" (effGetChunk index 0, as
// --save-state writes it) or "program" (index 1, from a converted .fxp).
//
// Values are the normalised floats the plug-in answered, written so that they
// read back to the same bits. Loading sets the program, then the chunk when
// there is one, else every parameter by number.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tools/vst2host/tool.h"
#include <aerie/aerie.h>
#include <aerie/io/preset.h>
#include <aerie/io/wav_writer.h>

namespace tool {

namespace {

using json = nlohmann::ordered_json;

constexpr const char* kFormat = "vst2host-state";
constexpr int kFormatVersion = 1;

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const unsigned char* data, std::size_t size) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t b0 = data[i];
        const std::uint32_t b1 = i + 1 < size ? data[i + 1] : 0;
        const std::uint32_t b2 = i + 2 < size ? data[i + 2] : 0;
        const std::uint32_t v = (b0 << 16) | (b1 << 8) | b2;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool unbase64(const std::string& text, std::vector<unsigned char>& out) {
    out.clear();
    std::uint32_t acc = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (padding > 0) return false;  // data after padding
        const char* at = std::strchr(kAlphabet, c);
        if (c == '\0' || at == nullptr) return false;
        acc = (acc << 6) | static_cast<std::uint32_t>(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((acc >> bits) & 0xFF));
        }
    }
    return padding <= 2 && (text.size() % 4) == 0;
}

[[noreturn]] void bad(const std::string& path, const std::string& why) {
    throw Error(kMidi, "malformed state file: " + why + ": " + path);
}

}  // namespace

json captureState(aerie::Instance& instance, const std::string& name, const std::string& vendor) {
    AEffect* e = instance.raw().effect();
    json state;
    state["format"] = kFormat;
    state["formatVersion"] = kFormatVersion;
    state["plugin"] = {{"name", toUtf8(name)},
                       {"vendor", toUtf8(vendor)},
                       {"uniqueId", {{"chars", aerie::fourCharString(e->uniqueID)}, {"value", e->uniqueID}}},
                       {"version", e->version}};
    if (instance.numPrograms() > 0) {
        const std::int32_t program = instance.program();
        state["program"] = program + 1;
        state["programName"] = toUtf8(instance.raw().text(effGetProgramName));
    } else {
        state["program"] = 0;
    }
    json params = json::array();
    for (std::int32_t i = 0; i < instance.numParameters(); ++i) {
        const float v = instance.parameterValue(i);
        params.push_back({{"number", i + 1},
                          {"name", toUtf8(instance.parameterName(i))},
                          {"value", std::isfinite(v) ? json(static_cast<double>(v)) : json(nullptr)}});
    }
    state["parameters"] = params;
    state["numPrograms"] = instance.numPrograms();
    if (instance.hasChunks()) {
        const std::vector<unsigned char> bank = instance.chunk();
        if (!bank.empty()) {
            state["chunk"] = {{"kind", "bank"}, {"size", bank.size()}, {"base64", base64(bank.data(), bank.size())}};
        }
    }
    return state;
}

std::vector<std::string> applyState(aerie::Instance& instance, const json& state, bool force, const std::string& moduleName,
                                    const std::string& path) {
    std::vector<std::string> notes;
    AEffect* e = instance.raw().effect();
    const json& plugin = state["plugin"];
    const auto id = plugin["uniqueId"]["value"].get<std::int32_t>();
    const std::string savedName = plugin.value("name", "");
    if (id != e->uniqueID) {
        const std::string what = "the state " + path + " was saved from \"" + savedName + "\" ('" +
                                 aerie::fourCharString(id) + "'), not " + moduleName + " ('" +
                                 aerie::fourCharString(e->uniqueID) + "')";
        if (!force) throw Error(kMidi, what + "; --force loads it anyway");
        notes.push_back(what + "; loaded anyway (--force)");
    } else if (plugin["version"].get<std::int32_t>() != e->version) {
        notes.push_back("the state " + path + " was saved from version " + std::to_string(plugin["version"].get<std::int32_t>()) +
                        " of " + moduleName + ", this is version " + std::to_string(e->version));
    }
    const int program = state["program"].get<int>();
    if (program > 0) {
        if (program > instance.numPrograms()) {
            notes.push_back("the state's program " + std::to_string(program) + " does not exist in " + moduleName + "; not selected");
        } else {
            instance.setProgram(program - 1);
        }
    }
    if (state.contains("chunk") && instance.hasChunks()) {
        std::vector<unsigned char> bytes;
        if (!unbase64(state["chunk"]["base64"].get<std::string>(), bytes)) bad(path, "the chunk is not base64");
        const bool program = state["chunk"].value("kind", "bank") == "program";
        instance.setChunk(bytes, program);
        return notes;
    }
    if (state.contains("chunk")) notes.push_back(moduleName + " keeps no chunks; the state's chunk is not loaded");
    const json& params = state["parameters"];
    if (static_cast<std::int32_t>(params.size()) != instance.numParameters()) {
        notes.push_back("the state holds " + std::to_string(params.size()) + " parameters, " + moduleName + " has " +
                        std::to_string(instance.numParameters()) + "; the ones both have are set");
    }
    for (const json& p : params) {
        const int number = p["number"].get<int>();
        if (number < 1 || number > instance.numParameters() || p["value"].is_null()) continue;
        // Raw: a state keeps the values the plug-in reported, which may lie
        // outside 0..1, and gives them back as they were.
        instance.raw().setParameter(number - 1, static_cast<float>(p["value"].get<double>()));
    }
    return notes;
}

json readStateFile(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw Error(kMidi, "state file not found: " + path);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(kMidi, "state file cannot be read: " + path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    json state = json::parse(text, nullptr, false);
    if (state.is_discarded()) throw Error(kMidi, "not a state file: it is not JSON: " + path);
    if (!state.is_object() || state.value("format", "") != kFormat) {
        throw Error(kMidi, "not a state file: no \"format\": \"" + std::string(kFormat) + "\": " + path);
    }
    if (!state["formatVersion"].is_number_integer() || state["formatVersion"].get<int>() != kFormatVersion) {
        bad(path, "format version " + state["formatVersion"].dump() + " (this vst2host reads version 1)");
    }
    const json& plugin = state["plugin"];
    if (!plugin.is_object() || !plugin["uniqueId"].is_object() || !plugin["uniqueId"]["value"].is_number_integer() ||
        !plugin["version"].is_number_integer()) {
        bad(path, "\"plugin\" needs \"uniqueId\": {\"value\": N} and \"version\"");
    }
    if (!state["program"].is_number_integer() || state["program"].get<long long>() < 0) {
        bad(path, "\"program\" must be a number (from 1; 0 for none)");
    }
    if (!state["parameters"].is_array()) bad(path, "\"parameters\" must be a list");
    for (const json& p : state["parameters"]) {
        if (!p.is_object() || !p["number"].is_number_integer() || !(p["value"].is_number() || p["value"].is_null())) {
            bad(path, "each parameter needs a \"number\" and a \"value\"");
        }
        if (p["value"].is_number() && (p["value"].get<double>() < 0.0 || p["value"].get<double>() > 1.0)) {
            bad(path, "parameter " + p["number"].dump() + " has the value " + p["value"].dump() + ", outside 0 to 1");
        }
    }
    if (state.contains("chunk") && (!state["chunk"].is_object() || !state["chunk"]["base64"].is_string())) {
        bad(path, "\"chunk\" needs \"base64\"");
    }
    if (state.contains("chunk") && state["chunk"].contains("kind") && state["chunk"]["kind"] != "bank" &&
        state["chunk"]["kind"] != "program") {
        bad(path, "the chunk's \"kind\" must be \"bank\" or \"program\"");
    }
    return state;
}

void writeStateFile(const std::string& path, const json& state) {
    const std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            const int err = errno;
            throw Error(kOutput, "cannot write the state file " + path + ": " + std::strerror(err));
        }
        out << state.dump(2) << '\n';
        out.close();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw Error(kOutput, "cannot write the state file " + path + " (disk full?)");
        }
    }
    if (!aerie::replaceFile(tmp, path)) {
        std::error_code ec;
        std::filesystem::remove(tmp, ec);
        throw Error(kOutput, "cannot put the state file in place at " + path);
    }
}

namespace {

enum class FileKind { Json, Program, Bank };

FileKind kindOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    if (ext == ".json") return FileKind::Json;
    if (ext == ".fxp") return FileKind::Program;
    if (ext == ".fxb") return FileKind::Bank;
    throw Error(kUsage, "convert: " + path + ": the name must end in .json, .fxp or .fxb");
}

json stateFromPreset(const aerie::PresetFile& p, std::vector<std::string>& notes) {
    json state;
    state["format"] = kFormat;
    state["formatVersion"] = kFormatVersion;
    state["plugin"] = {{"name", ""},
                       {"vendor", ""},
                       {"uniqueId", {{"chars", aerie::fourCharString(p.uniqueId)}, {"value", p.uniqueId}}},
                       {"version", p.pluginVersion}};
    state["program"] = 0;
    const std::vector<float>* values = &p.parameters;
    std::string name = p.name;
    if (p.kind == aerie::PresetKind::Bank) {
        if (p.programs.empty()) throw Error(kMidi, "the bank holds no programs; nothing to convert");
        const std::size_t current =
            p.currentProgram >= 0 && static_cast<std::size_t>(p.currentProgram) < p.programs.size() ? static_cast<std::size_t>(p.currentProgram) : 0;
        values = &p.programs[current].parameters;
        name = p.programs[current].name;
        state["program"] = current + 1;
        if (p.programs.size() > 1) {
            notes.push_back("the state keeps one program: program " + std::to_string(current + 1) + " of the bank's " +
                            std::to_string(p.programs.size()) + " (write .fxb to keep them all)");
        }
    }
    if (p.kind == aerie::PresetKind::BankChunk && p.formatVersion >= 2) state["program"] = p.currentProgram + 1;
    state["programName"] = toUtf8(name);
    json params = json::array();
    for (std::size_t i = 0; i < values->size(); ++i) {
        const float v = (*values)[i];
        params.push_back({{"number", i + 1}, {"value", std::isfinite(v) ? json(static_cast<double>(std::clamp(v, 0.0f, 1.0f))) : json(nullptr)}});
    }
    state["parameters"] = params;
    if (p.kind == aerie::PresetKind::BankChunk) state["numPrograms"] = p.count;
    if (p.kind == aerie::PresetKind::ProgramChunk) state["numParams"] = p.count;
    if (p.kind == aerie::PresetKind::ProgramChunk || p.kind == aerie::PresetKind::BankChunk) {
        state["chunk"] = {{"kind", p.kind == aerie::PresetKind::BankChunk ? "bank" : "program"},
                          {"size", p.chunk.size()},
                          {"base64", base64(p.chunk.data(), p.chunk.size())}};
    }
    return state;
}

aerie::PresetFile presetFromState(const json& state, bool bank, const std::string& path, std::vector<std::string>& notes) {
    aerie::PresetFile p;
    p.uniqueId = state["plugin"]["uniqueId"]["value"].get<std::int32_t>();
    p.pluginVersion = state["plugin"]["version"].get<std::int32_t>();
    const std::string name = state.value("programName", "");
    std::vector<float> values;
    for (const json& q : state["parameters"]) {
        const int number = q["number"].get<int>();
        if (number < 1 || number > 1 << 20) bad(path, "parameter number " + std::to_string(number));
        if (values.size() < static_cast<std::size_t>(number)) values.resize(static_cast<std::size_t>(number), 0.0f);
        if (q["value"].is_null()) {
            notes.push_back("parameter " + std::to_string(number) + " has no value; written as 0");
        } else {
            values[static_cast<std::size_t>(number - 1)] = static_cast<float>(q["value"].get<double>());
        }
    }
    std::string chunkKind;
    if (state.contains("chunk")) {
        chunkKind = state["chunk"].value("kind", "bank");
        if (!unbase64(state["chunk"]["base64"].get<std::string>(), p.chunk)) bad(path, "the chunk is not base64");
    }
    if (!bank) {
        if (chunkKind == "bank") throw Error(kUsage, "convert: the state holds a bank chunk; write a .fxb file");
        p.kind = chunkKind == "program" ? aerie::PresetKind::ProgramChunk : aerie::PresetKind::Program;
        p.name = name;
        p.parameters = values;
        p.count = state.contains("numParams") && state["numParams"].is_number_integer() ? state["numParams"].get<std::int32_t>()
                                                                                        : static_cast<std::int32_t>(values.size());
        return p;
    }
    p.formatVersion = 2;
    p.currentProgram = std::max(state["program"].get<int>() - 1, 0);
    if (chunkKind == "program") throw Error(kUsage, "convert: the state holds a program chunk; write a .fxp file");
    if (chunkKind == "bank") {
        p.kind = aerie::PresetKind::BankChunk;
        p.count = state.contains("numPrograms") && state["numPrograms"].is_number_integer() ? state["numPrograms"].get<std::int32_t>() : 1;
        return p;
    }
    p.kind = aerie::PresetKind::Bank;
    p.currentProgram = 0;
    p.programs.push_back({p.uniqueId, p.pluginVersion, name, values});
    notes.push_back("the state holds one program: the bank holds that one");
    return p;
}

int runConvert(const std::string& from, const std::string& to) {
    const FileKind a = kindOf(from);
    const FileKind b = kindOf(to);
    if ((a == FileKind::Json) == (b == FileKind::Json)) {
        throw Error(kUsage, "convert turns a JSON state into .fxp or .fxb, or .fxp or .fxb into a JSON state");
    }
    std::vector<std::string> notes;
    if (a == FileKind::Json) {
        const json state = readStateFile(from);
        const aerie::PresetFile p = presetFromState(state, b == FileKind::Bank, from, notes);
        try {
            aerie::writePresetFile(to, p);
        } catch (const aerie::PresetError& e) {
            throw Error(kOutput, e.what());
        }
        for (const std::string& n : notes) (void)std::fprintf(stderr, "vst2host: note: %s\n", n.c_str());
        (void)std::printf("wrote %s: %s for '%s'\n", to.c_str(), aerie::presetKindName(p.kind), aerie::fourCharString(p.uniqueId).c_str());
        return kOk;
    }
    aerie::PresetFile p;
    try {
        p = aerie::readPresetFile(from);
    } catch (const aerie::PresetError& e) {
        throw Error(kMidi, e.what());
    }
    if (aerie::isBank(p.kind) != (a == FileKind::Bank)) {
        notes.push_back(from + " holds a " + std::string(aerie::presetKindName(p.kind)) + " despite its name");
    }
    writeStateFile(to, stateFromPreset(p, notes));
    for (const std::string& n : notes) (void)std::fprintf(stderr, "vst2host: note: %s\n", n.c_str());
    (void)std::printf("wrote %s from a %s for '%s'\n", to.c_str(), aerie::presetKindName(p.kind), aerie::fourCharString(p.uniqueId).c_str());
    return kOk;
}

}  // namespace

Command addConvertCommand(CLI::App& app) {
    auto files = std::make_shared<std::pair<std::string, std::string>>();
    CLI::App* convert = app.add_subcommand("convert", "Convert a JSON state into a .fxp/.fxb file, or back");
    convert->add_option("FROM", files->first, "The file to read: .json, .fxp or .fxb")->required();
    convert->add_option("TO", files->second, "The file to write: .json, .fxp or .fxb")->required();
    return {convert, [files] { return runConvert(files->first, files->second); }};
}

}  // namespace tool
