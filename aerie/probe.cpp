#include <aerie/probe.h>

#include <algorithm>
#include <cstring>

#include <aerie/aerie.h>

namespace aerie {

const std::vector<std::string>& commonCapabilities() {
    static const std::vector<std::string> words = {
        "receiveVstEvents", "receiveVstMidiEvent", "receiveVstTimeInfo", "sendVstEvents", "sendVstMidiEvent",
        "sendVstTimeInfo", "offline", "plugAsChannelInsert", "plugAsSend", "mixDryWet", "noRealTime",
        "multipass", "metapass", "1in1out", "1in2out", "2in1out", "2in2out", "midiProgramNames", "bypass",
    };
    return words;
}

std::vector<std::string> flagNames(std::int32_t flags) {
    static const std::pair<std::int32_t, const char*> known[] = {
        {effFlagsHasEditor, "hasEditor"},       {effFlagsHasClip, "hasClip"},
        {effFlagsHasVu, "hasVu"},               {effFlagsCanMono, "canMono"},
        {effFlagsCanReplacing, "canReplacing"}, {effFlagsProgramChunks, "programChunks"},
        {effFlagsIsSynth, "isSynth"},           {effFlagsNoSoundInStop, "noSoundInStop"},
        {effFlagsExtIsAsync, "extIsAsync"},     {effFlagsExtHasBuffer, "extHasBuffer"},
    };
    std::vector<std::string> names;
    for (int bit = 0; bit < 32; ++bit) {
        const auto mask = static_cast<std::int32_t>(1u << bit);
        if ((flags & mask) == 0) continue;
        const auto* it = std::find_if(std::begin(known), std::end(known), [&](const auto& k) { return k.first == mask; });
        names.push_back(it != std::end(known) ? std::string(it->second) : "bit " + std::to_string(bit));
    }
    return names;
}

std::string categoryName(std::int32_t category) {
    static const char* const names[] = {"unknown",     "effect",     "synth",        "analysis",
                                        "mastering",   "spatializer", "room effect", "surround effect",
                                        "restoration", "offline",    "shell",        "generator"};
    if (category >= 0 && category < static_cast<std::int32_t>(std::size(names))) return names[category];
    return "category " + std::to_string(category);
}

std::string hostRequestName(std::int32_t opcode) {
    switch (opcode) {
    case audioMasterAutomate: return "audioMasterAutomate";
    case audioMasterVersion: return "audioMasterVersion";
    case audioMasterCurrentId: return "audioMasterCurrentId";
    case audioMasterIdle: return "audioMasterIdle";
    case audioMasterPinConnected: return "audioMasterPinConnected";
    case audioMasterWantMidi: return "audioMasterWantMidi";
    case audioMasterGetTime: return "audioMasterGetTime";
    case audioMasterTempoAt: return "audioMasterTempoAt";
    case audioMasterGetNumAutomatableParameters: return "audioMasterGetNumAutomatableParameters";
    case audioMasterGetParameterQuantization: return "audioMasterGetParameterQuantization";
    case audioMasterIOChanged: return "audioMasterIOChanged";
    case audioMasterNeedIdle: return "audioMasterNeedIdle";
    case audioMasterSizeWindow: return "audioMasterSizeWindow";
    case audioMasterGetSampleRate: return "audioMasterGetSampleRate";
    case audioMasterGetBlockSize: return "audioMasterGetBlockSize";
    case audioMasterGetInputLatency: return "audioMasterGetInputLatency";
    case audioMasterGetOutputLatency: return "audioMasterGetOutputLatency";
    case audioMasterGetPreviousPlug: return "audioMasterGetPreviousPlug";
    case audioMasterGetNextPlug: return "audioMasterGetNextPlug";
    case audioMasterWillReplaceOrAccumulate: return "audioMasterWillReplaceOrAccumulate";
    case audioMasterGetCurrentProcessLevel: return "audioMasterGetCurrentProcessLevel";
    case audioMasterGetAutomationState: return "audioMasterGetAutomationState";
    case audioMasterOfflineStart: return "audioMasterOfflineStart";
    case audioMasterOfflineRead: return "audioMasterOfflineRead";
    case audioMasterOfflineWrite: return "audioMasterOfflineWrite";
    case audioMasterOfflineGetCurrentPass: return "audioMasterOfflineGetCurrentPass";
    case audioMasterOfflineGetCurrentMetaPass: return "audioMasterOfflineGetCurrentMetaPass";
    case audioMasterSetOutputSampleRate: return "audioMasterSetOutputSampleRate";
    case audioMasterGetSpeakerArrangement: return "audioMasterGetSpeakerArrangement";
    case audioMasterGetVendorString: return "audioMasterGetVendorString";
    case audioMasterGetProductString: return "audioMasterGetProductString";
    case audioMasterGetVendorVersion: return "audioMasterGetVendorVersion";
    case audioMasterVendorSpecific: return "audioMasterVendorSpecific";
    case audioMasterCanDo: return "audioMasterCanDo";
    case audioMasterGetLanguage: return "audioMasterGetLanguage";
    case audioMasterOpenWindow: return "audioMasterOpenWindow";
    case audioMasterCloseWindow: return "audioMasterCloseWindow";
    case audioMasterGetDirectory: return "audioMasterGetDirectory";
    case audioMasterUpdateDisplay: return "audioMasterUpdateDisplay";
    default: break;
    }
    return "audioMaster request " + std::to_string(opcode);
}

std::string describeModuleFile(const std::string& path) {
    const ModuleFormat f = inspectModuleFile(path);
    std::string kind;
    switch (f.kind) {
    case ModuleFormat::Kind::Missing: return "missing";
    case ModuleFormat::Kind::Unreadable: return "unreadable";
    case ModuleFormat::Kind::NotALibrary: return "not a shared library";
    case ModuleFormat::Kind::Elf: kind = "ELF"; break;
    case ModuleFormat::Kind::Pe: kind = "PE"; break;
    }
    std::string s = kind + " " + std::to_string(f.bits) + "-bit";
    if (!f.machine.empty()) s += " " + f.machine;
    s += f.sharedLibrary ? (f.kind == ModuleFormat::Kind::Pe ? " DLL" : " shared library") : " executable";
    return s;
}

ModuleInfo probeModule(const std::string& path, const std::function<void(const std::string&)>& onStep) {
    return probeModule(path, onStep, kMaxListed);
}

ModuleInfo probeModule(const std::string& path, const std::function<void(const std::string&)>& onStep, int maxListed) {
    auto step = [&](const std::string& what) {
        if (onStep) onStep(what);
    };
    ModuleInfo info;
    info.path = path;
    info.fileFormat = describeModuleFile(path);

    step("loading the module");
    const std::unique_ptr<Module> module = Module::open(path);
    info.entryName = module->entryName();

    Host host;
    step("creating an instance (calling its entry point " + module->entryName() + ")");
    {
        Instance instance(*module, host);
        AEffect* e = instance.effect();
        info.numInputs = e->numInputs;
        info.numOutputs = e->numOutputs;
        info.flags = e->flags;
        info.numPrograms = e->numPrograms;
        info.numParams = e->numParams;
        info.uniqueId = e->uniqueID;
        info.recordVersion = e->version;
        info.initialDelay = e->initialDelay;

        step("opening it (effOpen)");
        instance.dispatch(effOpen);
        step("setting its sample rate (effSetSampleRate)");
        instance.dispatch(effSetSampleRate, 0, 0, nullptr, host.sampleRate);
        step("setting its block size (effSetBlockSize)");
        instance.dispatch(effSetBlockSize, 0, host.blockSize);

        step("asking for its effect name (effGetEffectName)");
        info.effectName = instance.text(effGetEffectName);
        step("asking for its vendor (effGetVendorString)");
        info.vendor = instance.text(effGetVendorString);
        step("asking for its product (effGetProductString)");
        info.product = instance.text(effGetProductString);
        step("asking for its vendor version (effGetVendorVersion)");
        info.vendorVersion = static_cast<std::int32_t>(instance.dispatch(effGetVendorVersion));
        step("asking for its category (effGetPlugCategory)");
        info.category = static_cast<std::int32_t>(instance.dispatch(effGetPlugCategory));
        step("asking for its interface version (effGetVstVersion)");
        info.interfaceVersion = static_cast<std::int32_t>(instance.dispatch(effGetVstVersion));
        step("asking for its tail size (effGetTailSize)");
        info.tailSize = static_cast<std::int32_t>(instance.dispatch(effGetTailSize));

        auto pins = [&](std::int32_t count, std::int32_t opcode, const char* what, std::vector<PinInfo>& out) {
            for (std::int32_t i = 0; i < std::min(count, maxListed); ++i) {
                step(std::string("describing ") + what + " " + std::to_string(i + 1));
                VstPinProperties p{};
                PinInfo pin;
                pin.described = instance.dispatch(opcode, i, 0, &p) != 0;
                if (pin.described) {
                    p.label[sizeof p.label - 1] = '\0';
                    pin.label = p.label;
                    pin.flags = p.flags;
                }
                out.push_back(pin);
            }
        };
        pins(info.numInputs, effGetInputProperties, "input", info.inputs);
        pins(info.numOutputs, effGetOutputProperties, "output", info.outputs);

        for (std::int32_t i = 0; i < std::min(info.numPrograms, maxListed); ++i) {
            step("naming program " + std::to_string(i + 1));
            char name[256] = {};
            if (instance.dispatch(effGetProgramNameIndexed, i, -1, name) == 0) {
                // Older plug-ins name only the current program.
                instance.dispatch(effSetProgram, 0, i);
                instance.dispatch(effGetProgramName, 0, 0, name);
            }
            name[sizeof name - 1] = '\0';
            info.programs.emplace_back(name);
        }
        if (info.numPrograms > 0) instance.dispatch(effSetProgram, 0, 0);

        for (std::int32_t i = 0; i < std::min(info.numParams, maxListed); ++i) {
            step("describing parameter " + std::to_string(i + 1));
            ParameterInfo p;
            p.name = instance.text(effGetParamName, i);
            p.label = instance.text(effGetParamLabel, i);
            p.display = instance.text(effGetParamDisplay, i);
            p.value = instance.getParameter(i);
            info.parameters.push_back(p);
        }

        for (const std::string& word : commonCapabilities()) {
            step("asking whether it can \"" + word + "\" (effCanDo)");
            info.canDo.emplace_back(word, instance.canDo(word.c_str()));
        }

        step("closing it (effClose)");
        instance.close();
    }
    for (const HostRequest& r : host.requests) {
        if (std::find(info.hostRequests.begin(), info.hostRequests.end(), r.opcode) == info.hostRequests.end()) {
            info.hostRequests.push_back(r.opcode);
        }
    }
    step("unloading the module");
    return info;
}

}  // namespace aerie
