// A whole render described as data: the chain, what is played into it (audio
// from a WAV file or the caller's buffers; MIDI from a MIDI file, notes or
// timed messages), the timeline, automation, each module's settings, the
// tail and latency compensation, and where the output goes. aerie plans it
// (the MIDI schedule, the timeline, the length) and renders it, so that
// every front end renders a job the same way: `vst2host render` keeps only
// its options, its state file format, progress and messages.
//
// Failures are HostError, their kinds as a command-line host maps them to
// exit codes: BadArgument for settings that do not fit the chain,
// BadInputFile for an input file, OutputFile for an output, the module
// kinds for a module that cannot be loaded or used. Texts that name what the
// caller gave (`what`, `where`) are the caller's own words for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <aerie/aerie.h>
#include <aerie/io/preset.h>
#include <aerie/io/wav_writer.h>
#include <aerie/io/wav_reader.h>
#include <aerie/render.h>
#include <aerie/timeline.h>

namespace aerie {

// The tempi and time signatures a render takes: 1 to 1000 beats per
// minute; N/D with N from 1 to 255 and D a power of two up to 64.
inline constexpr double kMinBpm = 1.0;
inline constexpr double kMaxBpm = 1000.0;
inline constexpr bool validSignature(int numerator, int denominator) noexcept {
    return numerator >= 1 && numerator <= 255 && denominator >= 1 && denominator <= 64 &&
           (denominator & (denominator - 1)) == 0;
}

// A note played at a time given in nanoseconds (exact, as typed: "0.125").
struct RenderNote {
    int note = 60;
    int velocity = 100;
    std::uint64_t startNs = 0;
    std::uint64_t lengthNs = 250000000;
};

// A channel message at a time in seconds.
struct RenderMessage {
    double seconds = 0.0;
    unsigned char bytes[3] = {0, 0, 0};
};

// A parameter (a number from 1, or a name: exact, then in any case, then
// the start of one) of module `module` (from 0) set to `value` (0..1).
struct RenderParameter {
    std::size_t module = 0;
    std::string parameter;
    float value = 0.0f;
    std::string what;  // the setting in messages, e.g. "--param 2:Ratio=0.5"
};

// An automation point: a parameter set at a time; applied at the first
// block that starts at or after it.
struct RenderAutomation {
    enum class Unit { Seconds, Beats, Frames };
    RenderParameter parameter;
    double time = 0.0;
    Unit unit = Unit::Seconds;
    std::string where;  // where the point came from, in messages, e.g. "--automation line 3"
};

// A state in the caller's own format, applied by the caller's function
// (which answers notes for the user); `name` (a file) names it in messages.
struct RenderState {
    std::size_t module = 0;
    std::string name;
    std::function<std::vector<std::string>(Instance& instance, const std::string& label)> apply;
};

// A standard preset or bank, already read; `name` names it in messages.
struct RenderPreset {
    std::size_t module = 0;
    std::string name;
    PresetFile data;
};

struct RenderProgram {
    std::size_t module = 0;
    std::int32_t program = 0;  // from 0
    std::string what;          // e.g. "--program 3"
};

// Something saved after the render: the module's current program as a
// preset file, its bank, or its state through the caller's function.
struct RenderSave {
    enum class Kind { State, Preset, Bank };
    std::size_t module = 0;
    Kind kind = Kind::Preset;
    std::string path;
    // Kind::State: writes the state; given the module's name and vendor.
    std::function<void(Instance& instance, const std::string& name, const std::string& vendor)> save;
};

struct RenderChain;

struct RenderJob {
    std::vector<std::string> modules;  // paths, first to last
    // Modules the caller loaded and keeps between renders (a front end that
    // loads once and renders many times); then `modules` is not read, and
    // the session neither loads nor closes them. Their rate and block size
    // must be the job's.
    RenderChain* chain = nullptr;
    // With a chain, `continues` goes on from where its last render left off
    // (the modules not resumed again, the song position going on, no
    // latency removed again; the job's MIDI and automation times count from
    // this part's start), so that parts give the samples one render would;
    // without it, a chain left running is suspended before the render
    // starts afresh. `leaveRunning` keeps the chain running at the end, for
    // a render that continues it.
    bool continues = false;
    bool leaveRunning = false;
    // Keep the MIDI the modules send for renderer().midiOut(), without a file.
    bool captureMidi = false;
    std::uint32_t sampleRate = 44100;  // must be the input file's
    std::int32_t blockSize = 512;

    // Audio in, at most one of: a WAV file, or the caller's buffers
    // (inputChannels pointers to inputFrames samples each; kept alive by
    // the caller until the render ends).
    std::string inputFile;
    const float* const* inputBuffers = nullptr;
    int inputChannels = 0;
    std::uint64_t inputFrames = 0;

    // MIDI, at most one of: a MIDI file ("-" standard input), notes, messages.
    std::string midiFile;
    std::string midiShown;  // how the file is named in the description; empty: its path
    std::vector<RenderNote> notes;
    std::vector<RenderMessage> messages;

    // The timeline: a tempo as typed replaces a MIDI file's tempo map (and
    // places its ticks), a signature replaces its signatures; none of
    // either and no file: 120 and 4/4.
    std::optional<double> bpm;
    std::optional<TimeSignature> signature;
    std::optional<Loop> loop;

    double tailSeconds = 1.0;
    std::vector<RenderAutomation> automation;

    // Each module's settings, applied in this order (the order within a list
    // kept): states, banks, presets, programs, then parameters; each later
    // one wins. `force` loads states and presets made for another plug-in.
    std::vector<RenderState> states;
    std::vector<RenderPreset> banks;
    std::vector<RenderPreset> presets;
    std::vector<RenderProgram> programs;
    std::vector<RenderParameter> parameters;
    bool force = false;

    // The output: a WAV file (written under a temporary name and put in
    // place once complete), else the sink, given every block's frames.
    std::string outputFile;
    SampleFormat format = SampleFormat::Float32;
    // [audio thread; running]: called once per block, between the modules' calls.
    std::function<void(const float* const* channels, int channelCount, std::size_t frames)> sink;

    // After the render: states, presets, banks; the automation the modules
    // reported (CSV) and the MIDI they sent (a MIDI file), when named.
    std::vector<RenderSave> saves;
    std::string saveAutomationFile;
    std::string midiOutFile;

    bool compensateLatency = true;
    bool stopOnNonFinite = false;  // end at the first block with a NaN or infinite sample

    // Who the modules are told the host is (audioMasterGetVendorString,
    // audioMasterGetProductString). A plug-in may act on it, so a front end
    // that is to render what vst2host renders keeps these.
    std::string hostVendor = "aerie";
    std::string hostProduct = "vst2host";
};

// What a job plays and for how long, before any module is loaded.
struct PlannedRender {
    std::unique_ptr<WavReader> input;     // the input file, opened
    std::vector<TimedMidi> events;        // sorted by frame
    std::string played;                   // "12 MIDI events from 2 tracks of x.mid (format 1, 1 tempo change)", "3 notes"
    std::optional<double> lastEventSeconds;
    Timeline timeline;
    bool timelineFromFile = false;        // the MIDI file's tempo (no bpm given)
    std::uint64_t frames = 0;             // the length, before latency compensation
    std::string length;                   // why: "input 2.000 s (88200 frames) + tail 1.000 s"
};

// Reads the input's header and the MIDI, places the MIDI on the timeline
// and works out the length. A tempo or signature out of range is a
// BadArgument. `input` is the job's input file when the
// caller has opened it already (to check its rate, say). [any thread]
// [allocates] Throws HostError.
PlannedRender planRender(const RenderJob& job, std::unique_ptr<WavReader> input = nullptr);

// One module of a render, loaded, opened and configured, as a render loads
// it: its name asked before effOpen, the rate and block size set, what it
// can do asked. [one thread at a time, the instance's]
struct LoadedModule {
    std::string path;
    std::string name;  // its effect name, or the file name when it gives none
    std::string vendor;
    std::unique_ptr<Module> module;
    Host host;
    std::unique_ptr<Instance> instance;  // destroyed before the module
    bool takesMidi = false;
    RenderChain* runningIn = nullptr;  // the chain whose render left it running
};

// Loads the module at `path` with the job's rate, block size and host
// names; `index` and `count` place it in its chain for the messages, `step`
// (may be empty) is told each step first. [allocates; blocks] Throws HostError.
std::unique_ptr<LoadedModule> loadRenderModule(const RenderJob& job, const std::string& path, std::size_t index,
                                               std::size_t count, const std::function<void(const std::string&)>& step);

// Modules kept between renders, first to last (owned by the caller, and
// destroyed after the chain), and the renderer that a continued render goes
// on with.
struct RenderChain {
    RenderChain() = default;
    RenderChain(const RenderChain&) = delete;
    RenderChain& operator=(const RenderChain&) = delete;
    ~RenderChain() { stop(); }  // its modules no longer point at it

    std::vector<LoadedModule*> modules;
    std::unique_ptr<ChainRenderer> renderer;
    // Suspends the modules a render of this chain left running, so that the
    // next render (or a preset) finds them ready. A module is in one running
    // chain at a time: a render that starts afresh stops the chain its
    // modules ran in. [the modules' thread]
    void stop();
    bool running() const noexcept;
};

// The parameter index (from 0) `key` names in the instance (a number from 1,
// or a name as RenderParameter says); throws HostError (BadArgument) that
// starts with `what` and lists the candidates when it names none or
// several. [any thread; an open instance]
std::int32_t findParameter(Instance& instance, const std::string& key, const std::string& what,
                           const std::string& moduleLabel);

// "Fake", or "module 2 (Fake)" in a chain.
std::string moduleLabel(const std::string& name, std::size_t index, std::size_t count);
// The words of a render's messages, shared with front ends that add their
// own: "1.500 s"; "1 event", "3 events". [any thread; allocates]
std::string secondsText(double seconds);
std::string countText(long long n, const char* one, const char* many);

// What a render tells its caller as it goes. Each may be empty; each is
// called on the session's thread, the block hooks between the modules'
// calls.
struct RenderHooks {
    // The step about to be taken ("loading the module 2"), for crash reports.
    std::function<void(const std::string& step)> step;
    // The chain's names, once loaded.
    std::function<void(const std::vector<std::string>& names)> stages;
    // Something the user should know (a channel mapping, MIDI not sent).
    std::function<void(const std::string& text)> note;
    // The output file's temporary name, once made.
    std::function<void(const std::string& path)> temporary;
    // Before each block: its number and first frame. [audio thread; running]
    std::function<void(std::uint64_t block, std::uint64_t firstFrame)> beforeBlock;
    // The module about to be called. [audio thread; running]
    void (*beforeStage)(std::size_t stage, void* context) = nullptr;
    void* context = nullptr;
};

// One job rendered: load() the chain and apply its settings, render(), then
// finish() (saves, closes, puts the output in place). The job and the plan
// must outlive the session; its accessors stay valid to its end, for a
// summary. The modules are called on the thread that calls load(), render()
// and finish(), one call at a time; they throw HostError (or what the job's
// own functions throw).
class RenderSession {
public:
    // [any thread] Loads nothing yet.
    RenderSession(const RenderJob& job, PlannedRender& plan, RenderHooks hooks);
    ~RenderSession();
    RenderSession(const RenderSession&) = delete;
    RenderSession& operator=(const RenderSession&) = delete;

    // Loads, opens and configures every module, applies the settings,
    // resolves the automation and opens the output. [allocates]
    void load();
    // Resumes the chain, renders and suspends it; the modules' blocks run on
    // the calling thread [audio thread; running], which allocates nothing
    // per block unless a module changes its pins or what modules send is
    // kept (saveAutomationFile, midiOutFile).
    RenderResult render();
    // The saves and the capture files, effClose, the output put in place,
    // the modules unloaded. [allocates]
    void finish();

    const std::vector<std::string>& names() const noexcept { return names_; }
    std::string label(std::size_t index) const { return moduleLabel(names_[index], index, names_.size()); }
    const ChainRenderer& renderer() const noexcept { return *renderer_; }
    const RenderPlan& plan() const noexcept { return plan_; }
    int outputChannels() const noexcept { return channels_; }
    std::uint64_t framesWritten() const noexcept { return written_; }
    double wallSeconds() const noexcept { return wallSeconds_; }

private:
    void loadModule(std::size_t i);
    void useChain();
    LoadedModule& module(std::size_t i) { return *chain_->modules.at(i); }
    void applySettings();
    void resolveAutomation();
    void saveSettings();
    void writeCaptures();

    const RenderJob& job_;
    PlannedRender& planned_;
    RenderHooks hooks_;
    std::vector<std::unique_ptr<LoadedModule>> own_;  // the modules the session loaded itself
    RenderChain ownChain_;
    RenderChain* chain_ = &ownChain_;
    std::vector<std::string> names_;
    std::unique_ptr<WavWriter> wav_;
    ChainRenderer* renderer_ = nullptr;
    RenderPlan plan_;
    int channels_ = 0;
    std::uint64_t written_ = 0;
    double wallSeconds_ = 0.0;
    std::uint64_t inputRead_ = 0;
};

}  // namespace aerie
