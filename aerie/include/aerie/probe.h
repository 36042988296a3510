// What a host learns about a plug-in when it scans it: the module's file
// format and entry, and one instance's identity, pins, flags, programs,
// parameters and capability answers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <aerie/instance.h>

namespace aerie {

struct ModuleInfo {
    std::string path;
    std::string fileFormat;  // "ELF 64-bit x86-64 shared library"
    std::string entryName;   // "VSTPluginMain" or "main"

    Identity identity;
    std::int32_t initialDelay = 0;
    std::int32_t tailSize = 0;
    std::int32_t numInputs = 0;
    std::int32_t numOutputs = 0;
    std::vector<PinInfo> inputs;
    std::vector<PinInfo> outputs;
    std::int32_t flags = 0;
    std::int32_t numPrograms = 0;
    std::int32_t numParams = 0;
    std::vector<std::string> programs;       // at most kMaxListed
    std::vector<ParameterInfo> parameters;   // at most kMaxListed
    std::vector<std::pair<std::string, std::int32_t>> canDo;  // capability word, answer
    std::vector<std::int32_t> hostRequests;  // distinct requests the plug-in sent, in first-seen order
};

// Programs and parameters beyond this many are counted but not listed.
inline constexpr int kMaxListed = 256;

// Loads the module, creates one instance, asks everything above and closes
// it. `onStep` is told each step before it starts, in words that complete
// "the module crashed while ...". Throws HostError for modules that cannot
// be loaded or instantiated.
// [any thread; allocates; blocks: the module runs in this process, so a
// crash takes it down: probe in a sandbox (<aerie/sandbox.h>) what you do not
// trust]
ModuleInfo probeModule(const std::string& path, const std::function<void(const std::string&)>& onStep = {});
// The same, listing up to `maxListed` programs and parameters.
ModuleInfo probeModule(const std::string& path, const std::function<void(const std::string&)>& onStep, int maxListed);

// Names for what a probe found. [any thread; allocates]
// The capability words asked about.
const std::vector<std::string>& commonCapabilities();
// Names of the set bits of AEffect::flags ("canReplacing", "isSynth", "bit 12").
std::vector<std::string> flagNames(std::int32_t flags);
// "synth", "effect", ... ("category 42" for unknown values).
std::string categoryName(std::int32_t category);
// "ELF 64-bit x86-64 shared library".
std::string describeModuleFile(const std::string& path);

}  // namespace aerie
