// Offline rendering the way a host plays a plug-in: open, sample rate, block
// size, resume; then per block that block's MIDI events with their exact
// frame offsets followed by one render call; suspend at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <aerie/aerie.h>

namespace aerie {

// A channel message at an absolute frame of the render.
struct TimedMidi {
    std::uint64_t frame = 0;
    unsigned char bytes[3] = {0, 0, 0};
};

struct RenderSettings {
    std::uint32_t sampleRate = 44100;
    std::int32_t blockSize = 512;
    std::uint64_t totalFrames = 0;
};

struct RenderHooks {
    // Before each block: its first frame. For progress and crash reports.
    std::function<void(std::uint64_t firstFrame)> beforeBlock;
    // After each block: one buffer per output, `frames` frames each.
    std::function<void(const float* const* outputs, std::int32_t frames)> output;
};

// Renders `settings.totalFrames` frames. `events` must be sorted by frame;
// events at or past the end are not delivered. Uses processReplacing when
// the plug-in can replace, otherwise process into cleared buffers. Leaves
// the instance suspended, not closed.
void renderInstance(Instance& instance, const std::vector<TimedMidi>& events, const RenderSettings& settings,
                    const RenderHooks& hooks);

}  // namespace aerie

namespace aerie {

// The channel mapping of every connection (an input file into the first
// module, one module into the next): `from` buffer k feeds `to` buffer k;
// a single `from` buffer feeds every `to` buffer; `to` buffers beyond the
// `from` ones get silence; `from` buffers beyond the `to` ones are dropped.
void mapChannels(const float* const* from, int fromCount, float* const* to, int toCount, std::size_t frames) noexcept;

// One module of a chain, opened and prepared by the caller (effOpen, rate,
// block size, state), not yet resumed.
struct ChainStage {
    Instance* instance = nullptr;
    bool takesMidi = false;  // the block's MIDI events are sent to it
};

// The first output sample that is NaN or infinite.
struct NonFinite {
    bool found = false;
    std::uint64_t frame = 0;
    int channel = 0;  // from 0
    float value = 0.0f;
};

// Renders a chain block by block: the chain's input buffers are mapped onto
// the first module's inputs, each module's outputs onto the next one's
// inputs, and the last module's outputs are the chain's outputs. Buffers
// are made once; a block allocates nothing.
class ChainRenderer {
public:
    ChainRenderer(const std::vector<ChainStage>& stages, int inputChannels, std::int32_t blockSize);

    // effMainsChanged(1) to every module, first to last.
    void start();
    // One block of `frames` frames (at most the block size): the chain's input
    // is in inputs(), `events` (may be null) go to the modules that take MIDI.
    // `beforeStage` (may be null) is told which module is about to be called.
    void block(std::int32_t frames, VstEvents* events, void (*beforeStage)(std::size_t stage, void* context) = nullptr,
               void* context = nullptr);
    // effMainsChanged(0) to every module.
    void stop();

    float* const* inputs() noexcept { return chainInputs_.data(); }
    int inputChannels() const noexcept { return static_cast<int>(chainInputStore_.size()); }
    const float* const* outputs() const noexcept { return stages_.back().outputs.data(); }
    int outputChannels() const noexcept { return stages_.back().numOutputs; }
    std::size_t size() const noexcept { return stages_.size(); }

    // Time spent inside the modules' render and event calls. Reading a clock
    // costs as much as 150 ns on some machines, a few percent of a cheap
    // plug-in's block, so one block in `measureEvery` is timed (every one
    // when 1) and the total is scaled from those.
    bool measure = true;
    std::uint32_t measureEvery = 8;
    double pluginSeconds() const noexcept {
        if (measuredBlocks_ == 0) return 0.0;
        return static_cast<double>(pluginNanoseconds_) * 1e-9 * static_cast<double>(blocks_) /
               static_cast<double>(measuredBlocks_);
    }
    // The first NaN or infinite sample of the chain's output so far.
    const NonFinite& nonFinite() const noexcept { return nonFinite_; }
    std::uint64_t framesRendered() const noexcept { return frames_; }

private:
    struct Stage {
        Instance* instance;
        bool takesMidi;
        bool replacing;
        int numInputs;
        int numOutputs;
        std::vector<std::vector<float>> inputStore;   // numInputs + 1 spare
        std::vector<std::vector<float>> outputStore;  // numOutputs + 1 spare
        std::vector<float*> inputs;
        std::vector<float*> outputs;
    };
    std::vector<Stage> stages_;
    std::vector<std::vector<float>> chainInputStore_;
    std::vector<float*> chainInputs_;
    std::int32_t blockSize_;
    std::uint64_t frames_ = 0;
    std::uint64_t blocks_ = 0;
    std::uint64_t measuredBlocks_ = 0;
    std::int64_t pluginNanoseconds_ = 0;
    NonFinite nonFinite_;
};

}  // namespace aerie
