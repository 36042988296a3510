// What both backends of the Python module do with a loaded plug-in, in plain
// C++ (no Python object, no GIL): the in-process backend calls it on the
// caller's thread, the isolated one in a worker child, where Python must
// not be touched (the fork copied only the calling thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <aerie/aerie.h>
#include <aerie/render_job.h>

namespace pyaerie {

// Throws BadArgument for a rate or block size the module cannot run at.
void checkRateAndBlock(double sampleRate, std::int32_t blockSize);

struct Identity {
    std::string name, vendor, product, category;
    std::int32_t version = 0, uniqueId = 0, numInputs = 0, numOutputs = 0;
    bool isInstrument = false;
};

// One loaded plug-in and the chain it renders in alone.
class Core {
public:
    // Loads the module (rate and block size checked); `step` (may be empty)
    // is told each step of the load first. [blocks] Throws HostError.
    Core(const std::string& path, double sampleRate, std::int32_t blockSize,
         const std::function<void(const std::string&)>& step = {});
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    Identity identity();
    std::int32_t latency();
    std::int32_t tail();
    std::vector<std::string> parameterNames();
    aerie::ParameterInfo parameter(std::int32_t index);
    void setParameter(std::int32_t index, float value);
    std::vector<std::string> programNames();
    std::int32_t program();
    void setProgram(std::int32_t index);
    // A bank (every program) or the current program as .fxb/.fxp bytes.
    std::vector<unsigned char> state(bool bank);
    // Loads .fxp/.fxb bytes or a file; answers the notes. Throws PresetError
    // for another plug-in's.
    std::vector<std::string> setState(const std::vector<unsigned char>& bytes);
    std::vector<std::string> loadPreset(const std::string& path);
    void savePreset(const std::string& path, bool bank);
    // effClose, and the module unloaded.
    void close();

    bool closed() const { return !module_->instance; }
    aerie::LoadedModule& loaded() { return *module_; }
    aerie::RenderChain& chain() { return own_; }
    std::uint32_t sampleRate() const { return rate_; }
    std::int32_t blockSize() const { return module_->host.blockSize; }
    const std::string& name() const { return module_->name; }
    const std::string& path() const { return module_->path; }

private:
    aerie::Instance& instance();
    void endStream();

    std::unique_ptr<aerie::LoadedModule> module_;
    aerie::RenderChain own_;
    std::uint32_t rate_ = 44100;
};

// What a render call asks, checked and normalised by the package (the
// audio apart: it is given as buffers).
struct CallArgs {
    std::uint64_t frames = 0;  // the output's length (0 with `untilEvents`)
    bool untilEvents = false;  // the length from the MIDI: last event plus the tail
    double tailSeconds = 0.0;
    std::vector<std::pair<std::string, double>> messages;  // (bytes, seconds)
    std::string midiFile;
    std::optional<double> bpm;
    std::optional<std::pair<int, int>> signature;
    // (module, parameter index, time, unit: "s" seconds or "f" frames, value)
    std::vector<std::tuple<std::size_t, std::int32_t, double, std::string, float>> automation;
    bool compensateLatency = true;
    bool reset = true;
    bool returnMidi = false;
};

struct RenderedCall {
    std::vector<std::string> notes;  // what vst2host would note for the user
    std::vector<std::pair<std::string, double>> midi;  // what the last module sent, with return_midi
};

struct RenderInput {
    const float* const* channels = nullptr;
    int count = 0;
    std::uint64_t frames = 0;
};

// Renders a call through `chain` as aerie's render job. `output(channels,
// frames)` is asked once, after the load, where the output goes (channel
// after channel, `frames` apart). `reporter`, if given, hears the steps and
// blocks (a worker child's). [blocks] Throws HostError.
RenderedCall renderCall(aerie::RenderChain& chain, std::uint32_t sampleRate, std::int32_t blockSize, const CallArgs& args,
                        const RenderInput& input, const std::function<float*(int, std::uint64_t)>& output,
                        aerie::SandboxReporter* reporter = nullptr);

}  // namespace pyaerie
