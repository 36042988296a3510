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
        info.numInputs = instance.numInputs();
        info.numOutputs = instance.numOutputs();
        info.flags = instance.flags();
        info.numPrograms = instance.numPrograms();
        info.numParams = instance.numParameters();
        info.initialDelay = instance.initialDelay();

        step("opening it (effOpen)");
        instance.open();
        step("setting its sample rate and block size (effSetSampleRate, effSetBlockSize)");
        instance.configure(host.sampleRate, host.blockSize);

        info.identity.uniqueId = instance.uniqueId();
        info.identity.recordVersion = instance.raw().effect()->version;
        step("asking for its effect name (effGetEffectName)");
        info.identity.effectName = instance.effectName();
        step("asking for its vendor (effGetVendorString)");
        info.identity.vendor = instance.vendor();
        step("asking for its product (effGetProductString)");
        info.identity.product = instance.product();
        step("asking for its vendor version (effGetVendorVersion)");
        info.identity.vendorVersion = instance.vendorVersion();
        step("asking for its category (effGetPlugCategory)");
        info.identity.category = instance.category();
        step("asking for its interface version (effGetVstVersion)");
        info.identity.interfaceVersion = instance.interfaceVersion();
        step("asking for its tail size (effGetTailSize)");
        info.tailSize = instance.tailSize();

        for (std::int32_t i = 0; i < std::min(info.numInputs, maxListed); ++i) {
            step("describing input " + std::to_string(i + 1));
            info.inputs.push_back(instance.inputPin(i));
        }
        for (std::int32_t i = 0; i < std::min(info.numOutputs, maxListed); ++i) {
            step("describing output " + std::to_string(i + 1));
            info.outputs.push_back(instance.outputPin(i));
        }
        for (std::int32_t i = 0; i < std::min(info.numPrograms, maxListed); ++i) {
            step("naming program " + std::to_string(i + 1));
            info.programs.push_back(instance.programName(i));
        }
        for (std::int32_t i = 0; i < std::min(info.numParams, maxListed); ++i) {
            step("describing parameter " + std::to_string(i + 1));
            info.parameters.push_back(instance.parameter(i));
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
