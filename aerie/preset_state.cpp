#include <aerie/preset_state.h>

#include <algorithm>
#include <cstdio>

#include <aerie/four_char.h>

namespace aerie {

namespace {

std::vector<unsigned char> getChunk(Instance& instance, bool program) {
    ChunkAnswer a = instance.raw().readChunk(program);
    if (a.kind == ChunkAnswer::Kind::None) {
        throw PresetError(std::string("the plug-in gave no ") + (program ? "program" : "bank") + " chunk (effGetChunk)");
    }
    if (a.kind == ChunkAnswer::Kind::TooLarge) {
        throw PresetError("the plug-in's chunk of " + std::to_string(a.size) + " bytes is too large");
    }
    return std::move(a.bytes);
}

std::vector<float> parameters(Instance& instance) {
    std::vector<float> v;
    v.reserve(static_cast<std::size_t>(std::max(instance.numParameters(), 0)));
    for (std::int32_t i = 0; i < instance.numParameters(); ++i) v.push_back(instance.raw().getParameter(i));
    return v;
}

void setParameters(Instance& instance, const std::vector<float>& values) {
    const auto n = std::min<std::size_t>(values.size(), static_cast<std::size_t>(std::max(instance.numParameters(), 0)));
    for (std::size_t i = 0; i < n; ++i) instance.raw().setParameter(static_cast<std::int32_t>(i), std::clamp(values[i], 0.0f, 1.0f));
}

void setProgramName(Instance& instance, const std::string& name) {
    char buffer[32] = {};
    (void)std::snprintf(buffer, sizeof buffer, "%.27s", name.c_str());
    instance.raw().dispatch(effSetProgramName, 0, 0, buffer);
}

}  // namespace

PresetFile capturePreset(Instance& instance, bool bank) {
    AEffect* e = instance.raw().effect();
    const bool chunks = (e->flags & effFlagsProgramChunks) != 0;
    PresetFile p;
    p.uniqueId = e->uniqueID;
    p.pluginVersion = e->version;
    if (!bank) {
        p.kind = chunks ? PresetKind::ProgramChunk : PresetKind::Program;
        p.name = instance.raw().text(effGetProgramName).substr(0, 27);
        p.count = e->numParams;
        if (chunks) {
            p.chunk = getChunk(instance, true);
        } else {
            p.parameters = parameters(instance);
        }
        return p;
    }
    p.formatVersion = 2;
    p.count = std::max(e->numPrograms, 0);
    p.currentProgram = static_cast<std::int32_t>(instance.raw().dispatch(effGetProgram));
    if (chunks) {
        p.kind = PresetKind::BankChunk;
        p.chunk = getChunk(instance, false);
        return p;
    }
    p.kind = PresetKind::Bank;
    // Selecting a program may load its stored values over the current
    // ones: the current program is read as it is, before any switch, and
    // put back after.
    PresetProgram current;
    current.uniqueId = e->uniqueID;
    current.pluginVersion = e->version;
    current.name = instance.raw().text(effGetProgramName).substr(0, 27);
    current.parameters = parameters(instance);
    for (std::int32_t i = 0; i < e->numPrograms; ++i) {
        if (i == p.currentProgram) {
            p.programs.push_back(current);
            continue;
        }
        instance.raw().dispatch(effSetProgram, 0, i);
        PresetProgram prog;
        prog.uniqueId = e->uniqueID;
        prog.pluginVersion = e->version;
        prog.name = instance.raw().text(effGetProgramName).substr(0, 27);
        prog.parameters = parameters(instance);
        p.programs.push_back(std::move(prog));
    }
    if (e->numPrograms > 1) {
        instance.raw().dispatch(effSetProgram, 0, p.currentProgram);
        setParameters(instance, current.parameters);
    }
    return p;
}

std::vector<std::string> applyPreset(Instance& instance, const PresetFile& p, bool force) {
    AEffect* e = instance.raw().effect();
    std::vector<std::string> notes;
    if (p.uniqueId != e->uniqueID) {
        const std::string what = std::string("the ") + (isBank(p.kind) ? "bank" : "preset") + " was made for '" +
                                 fourCharString(p.uniqueId) + "', not for this plug-in ('" + fourCharString(e->uniqueID) + "')";
        if (!force) throw PresetError(what);
        notes.push_back(what + "; loaded anyway");
    } else if (p.pluginVersion != e->version) {
        notes.push_back("it was saved from version " + std::to_string(p.pluginVersion) + " of the plug-in, this is version " +
                        std::to_string(e->version));
    }
    const bool chunks = (e->flags & effFlagsProgramChunks) != 0;
    switch (p.kind) {
    case PresetKind::ProgramChunk:
    case PresetKind::BankChunk: {
        if (!chunks) throw PresetError("the file holds a chunk and the plug-in keeps no chunks (no effFlagsProgramChunks)");
        std::vector<unsigned char> copy = p.chunk;  // the plug-in may keep the address for the call only, or write to it
        instance.raw().dispatch(effSetChunk, p.kind == PresetKind::ProgramChunk ? 1 : 0, static_cast<VstIntPtr>(copy.size()),
                          copy.data());
        if (p.kind == PresetKind::ProgramChunk && !p.name.empty()) setProgramName(instance, p.name);
        break;
    }
    case PresetKind::Program:
        if (static_cast<std::int32_t>(p.parameters.size()) != e->numParams) {
            notes.push_back("the preset holds " + std::to_string(p.parameters.size()) + " parameters, the plug-in has " +
                            std::to_string(e->numParams) + "; the ones both have are set");
        }
        setParameters(instance, p.parameters);
        if (e->numPrograms > 0) setProgramName(instance, p.name);
        break;
    case PresetKind::Bank: {
        const auto n = std::min<std::size_t>(p.programs.size(), static_cast<std::size_t>(std::max(e->numPrograms, 0)));
        if (p.programs.size() != static_cast<std::size_t>(std::max(e->numPrograms, 0))) {
            notes.push_back("the bank holds " + std::to_string(p.programs.size()) + " programs, the plug-in has " +
                            std::to_string(e->numPrograms) + "; the ones both have are loaded");
        }
        for (std::size_t i = 0; i < n; ++i) {
            instance.raw().dispatch(effSetProgram, 0, static_cast<VstIntPtr>(i));
            setParameters(instance, p.programs[i].parameters);
            setProgramName(instance, p.programs[i].name);
        }
        if (n > 0) {
            // Selecting may load the program's stored values: its values from
            // the file are set again.
            const std::int32_t current = p.currentProgram >= 0 && static_cast<std::size_t>(p.currentProgram) < n ? p.currentProgram : 0;
            instance.raw().dispatch(effSetProgram, 0, current);
            setParameters(instance, p.programs[static_cast<std::size_t>(current)].parameters);
        }
        break;
    }
    }
    return notes;
}

}  // namespace aerie
