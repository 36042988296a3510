// Offline rendering the way a host plays plug-ins: a chain of instances,
// opened and configured by the caller, resumed, then per block the block's
// MIDI events at their exact frames, the song position, the automation due,
// and one render call per module; suspended at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <aerie/aerie.h>
#include <aerie/timeline.h>

namespace aerie {

// A channel message at an absolute frame of the render.
struct TimedMidi {
    std::uint64_t frame = 0;
    unsigned char bytes[3] = {0, 0, 0};
};

// The channel mapping of every connection (an input file into the first
// module, one module into the next):
//   - `from` buffer k feeds `to` buffer k;
//   - a single `from` buffer (mono) feeds every `to` buffer;
//   - `to` buffers beyond the `from` ones get silence;
//   - `from` buffers beyond the `to` ones are dropped.
// [any thread; audio thread too: no lock, no allocation]
void mapChannels(const float* const* from, int fromCount, float* const* to, int toCount, std::size_t frames) noexcept;
// What mapChannels does to a connection, said where it drops, fans out or
// leaves out channels ("the input has 3 channels, Fake Effect takes 2
// inputs: the last one dropped"); empty when channel k simply feeds input k.
// [any thread; allocates]
std::string describeChannelMapping(int fromCount, const std::string& from, int toCount, const std::string& to);

// One module of a chain, opened and configured by the caller (open(),
// configure(), its state), not yet resumed. An instance set up by raw
// requests instead is resumed and suspended by raw requests.
struct ChainStage {
    Instance* instance = nullptr;
    bool takesMidi = false;  // the render's MIDI events are sent to it
    Host* host = nullptr;    // its host; null: the one the instance was created with
};

// A parameter value set at a frame: applied before the first block that
// starts at or after it (block boundaries are the resolution).
struct AutomationPoint {
    std::uint64_t frame = 0;
    std::size_t stage = 0;  // from 0
    std::int32_t index = 0;
    float value = 0.0f;
};

// A MIDI message a module sent, at its absolute frame.
struct CapturedMidi {
    std::uint64_t frame = 0;
    std::size_t stage = 0;
    unsigned char bytes[3] = {0, 0, 0};
};

// A module's pins or latency changed (audioMasterIOChanged) during the render.
struct IoChange {
    std::uint64_t frame = 0;  // the first frame of the block it took effect at
    std::size_t stage = 0;
    std::int32_t inputs = 0;
    std::int32_t outputs = 0;
    std::int32_t latency = 0;
    std::int32_t latencyBefore = 0;
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
// inputs, and the last module's outputs are the chain's outputs. What a
// module sends as MIDI goes to the next module in the same block, merged
// with the render's own events by frame (the render's first on a tie);
// the last module's MIDI goes nowhere but the capture. Buffers are made
// once; a block allocates nothing unless a module changes its pins.
//
// [one thread at a time]: the thread of its instances. Made, set up and
// started [allocates]; block() and setParameter() are [audio thread;
// running]; stop() [state: running]. The accessors below take no lock.
class ChainRenderer {
public:
    // [allocates] The instances are opened and configured, not resumed.
    ChainRenderer(const std::vector<ChainStage>& stages, int inputChannels, std::int32_t blockSize);

    // Every module's host answers the time from this timeline (may be null:
    // no time).
    void setTimeline(const Timeline* timeline);
    // Keep what the modules send (MIDI, automation) for midiOut() and the hosts.
    void setCapture(bool midi, bool automation);
    // Resumes every module, first to last. [state: ready, for each instance]
    void start();
    // One block of `frames` frames (at most the block size): the chain's input
    // is in inputs(), `events` (may be null) go to the modules that take MIDI.
    // `beforeStage` (may be null) is told which module is about to be called.
    // [audio thread; running]
    void block(std::int32_t frames, VstEvents* events, void (*beforeStage)(std::size_t stage, void* context) = nullptr,
               void* context = nullptr);
    // Sets a parameter without taking the module's own report of it for its
    // own automation. [audio thread; running]
    void setParameter(std::size_t stage, std::int32_t index, float value);
    // Suspends every module.
    void stop();

    float* const* inputs() noexcept { return chainInputs_.data(); }
    int inputChannels() const noexcept { return static_cast<int>(chainInputStore_.size()); }
    // The chain's outputs: the last module's, mapped onto the channel count it
    // had at the start should it change.
    const float* const* outputs() const noexcept { return finalOutputs_; }
    int outputChannels() const noexcept { return outputChannels_; }
    std::size_t size() const noexcept { return stages_.size(); }
    std::int32_t blockSize() const noexcept { return blockSize_; }
    // The sum of the modules' reported latencies (initialDelay) now.
    std::int32_t latency() const noexcept;
    const std::vector<IoChange>& ioChanges() const noexcept { return ioChanges_; }
    const std::vector<CapturedMidi>& midiOut() const noexcept { return midiOut_; }
    Host& host(std::size_t stage) noexcept { return *stages_[stage].host; }
    const Host& host(std::size_t stage) const noexcept { return *stages_[stage].host; }

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
        Host* host;
        bool takesMidi;
        bool replacing;
        int numInputs;
        int numOutputs;
        std::int32_t latency;
        std::vector<std::vector<float>> inputStore;   // numInputs + 1 spare
        std::vector<std::vector<float>> outputStore;  // numOutputs + 1 spare
        std::vector<float*> inputs;
        std::vector<float*> outputs;
        EventList routed;  // the render's events merged with the previous module's MIDI
    };
    void plan(Stage& s);
    void replan();
    VstEvents* eventsFor(std::size_t i, VstEvents* events, std::int32_t frames);

    std::vector<Stage> stages_;
    std::vector<std::vector<float>> chainInputStore_;
    std::vector<float*> chainInputs_;
    std::vector<std::vector<float>> finalStore_;  // used once the last module's output count changed
    std::vector<float*> finalPointers_;
    const float* const* finalOutputs_ = nullptr;
    int outputChannels_ = 0;
    std::int32_t blockSize_;
    bool captureMidi_ = false;
    std::vector<CapturedMidi> midiOut_;
    std::vector<IoChange> ioChanges_;
    std::uint64_t frames_ = 0;
    std::uint64_t blocks_ = 0;
    std::uint64_t measuredBlocks_ = 0;
    std::int64_t pluginNanoseconds_ = 0;
    NonFinite nonFinite_;
};

// A whole render of a chain, as `vst2host render` runs it.
struct RenderPlan {
    std::uint64_t frames = 0;               // the length asked for, after latency compensation
    std::vector<TimedMidi> events;          // sorted by frame; at or past the end: not delivered
    std::vector<AutomationPoint> automation;  // sorted by frame
    const Timeline* timeline = nullptr;     // the song position every module gets
    bool compensateLatency = true;          // remove the chain's latency at the first block from the start
    bool stopOnNonFinite = false;           // end at the first block with a NaN or infinite sample
    // A render that goes on from the previous one: the chain is running
    // (not resumed), its song position goes on, no latency is removed.
    bool continues = false;
    // Leave the chain running at the end, for a render that continues it.
    bool leaveRunning = false;
};

struct RenderCallbacks {
    // Fills the chain's input buffers (one per input channel) with up to
    // `frames` frames; answers how many it gave (the rest become silence).
    std::function<std::size_t(float* const* channels, std::size_t frames)> readInput;
    // Takes `frames` frames of the chain's output.
    std::function<void(const float* const* channels, std::size_t frames)> write;
    // Before each block: its number and first frame (for progress and crash reports).
    std::function<void(std::uint64_t block, std::uint64_t firstFrame)> beforeBlock;
    // Before resuming, rendering and suspending: "resuming", "rendering", "suspending".
    std::function<void(const char* step)> step;
    void (*beforeStage)(std::size_t stage, void* context) = nullptr;
    void* context = nullptr;
};

struct RenderResult {
    std::uint64_t framesWritten = 0;
    std::int32_t latency = 0;          // the chain's latency as the render began
    std::int32_t latencyRemoved = 0;   // frames cut from the start
    bool stoppedEarly = false;         // stopOnNonFinite and a NaN or infinity came
    std::uint64_t automationApplied = 0;
};

// Resumes the chain, renders plan.frames frames (plus the latency removed,
// so that the output keeps its length) and suspends it. [the renderer's
// thread; its blocks as block() says; the callbacks are called on it, the
// block ones between the modules' calls]
RenderResult renderChain(ChainRenderer& renderer, const RenderPlan& plan, const RenderCallbacks& callbacks);

}  // namespace aerie
