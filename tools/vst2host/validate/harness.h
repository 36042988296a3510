// The validator's harness, shared by every group of tests: the context a
// test runs in (its failures, warnings and notes, its random numbers), the
// host the plug-in talks to, an instance set up as hosts set it up, guarded
// text and audio buffers, the input material and the block-by-block
// renderer that checks what comes out.
#pragma once

#include <algorithm>
#include <cstddef>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <aerie/aerie.h>

#include "tools/vst2host/validate/host_answers.h"
#include "tools/vst2host/validate/rt_monitor.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

struct Skipped {
    std::string why;
};
// Ends a test early after a failure that makes going on pointless.
struct Stop {};

std::string number(double v);

std::string quoted(const std::string& s);

// Heap bytes in use where the platform tells them exactly, else the memory
// the process holds: the live heap under AddressSanitizer, glibc's count of
// allocated bytes, the committed private memory on Windows.
std::size_t memoryInUse();


class Context {
public:
    Context(const Settings& s, Reporter& r, std::uint64_t seed) : settings(s), reporter(r), rng(seed) {}
    const Settings& settings;
    Reporter& reporter;
    std::mt19937_64 rng;
    std::atomic<int> failures{0};

    // Every report goes through one lock: the tests that drive an instance
    // from two threads report from both.
    int strictness() const { return settings.strictness; }
    void step(const std::string& what);
    void fail(const std::string& what);
    void warn(const std::string& what);
    void note(const std::string& what);
    // A note given once per test, however often it is asked for.
    void noteOnce(const std::string& key, const std::string& what);
    [[noreturn]] void skip(const std::string& why) { throw Skipped{why}; }
    // A failure, or a warning below the given strictness.
    void failFrom(int strictness, const std::string& what);
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    // The wall time the audio of a test's renders may take: a slow plug-in
    // renders fewer frames instead of holding the run up. Grows with
    // strictness.
    double renderBudget() const { return 0.4 * settings.strictness; }
    // Wall time the test's renders have taken so far; once it is past the
    // render budget, renders stop after their first block.
    void addRenderTime(double seconds) { renderMicros_ += static_cast<std::int64_t>(seconds * 1e6); }
    double renderTime() const { return static_cast<double>(renderMicros_.load()) / 1e6; }
    // Whether the test has used its whole time budget (twice the render
    // budget); loops over settings stop then, saying so once.
    bool outOfTime(const std::string& what);
    // Seconds since the test began.
    double elapsed() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count(); }

    const aerie::Module& module();

private:
    std::unique_ptr<aerie::Module> module_;
    std::mutex mutex_;
    std::vector<std::string> once_;
    std::atomic<std::int64_t> renderMicros_{0};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};


// ---- the host ------------------------------------------------------------------

bool isInstrument(AEffect* e, std::int32_t category);

// One instance, opened and set up the way hosts do before rendering, through
// aerie's lifecycle; where a test breaks the rules on purpose (a second
// suspend, a rate changed while running), through the raw record.
class Plug {
public:
    // `record` keeps the host's list of requests growing after the set-up;
    // off, the host allocates nothing when the plug-in calls it.
    Plug(Context& ctx, float rate, std::int32_t block, bool resume = true, bool record = false);
    ~Plug();
    Plug(const Plug&) = delete;
    Plug& operator=(const Plug&) = delete;

    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) {
        return instance->raw().dispatch(opcode, index, value, ptr, opt);
    }
    void resume();
    void suspend();
    // The rate and block size together, while suspended.
    void configure(float rate, std::int32_t block);
    // One of them alone, also while running, as some hosts do.
    void setRate(float rate);
    void setBlock(std::int32_t block);
    float rate() const { return rate_; }
    std::int32_t block() const { return block_; }
    bool running() const { return instance->state() == aerie::Instance::State::Running; }

    ValidatorHost host;
    std::unique_ptr<aerie::Instance> instance;
    AEffect* e = nullptr;
    std::int32_t ins = 0, outs = 0, category = 0;
    bool replacing = false, instrument = false, wantsEvents = false;

private:
    Context& ctx_;
    float rate_;
    std::int32_t block_;
};

// ---- texts into guarded host buffers ----------------------------------------

struct Text {
    std::string text;
    bool terminated = true;
    bool untouched = false;   // the answer was 0 and nothing was written
    std::size_t pastEnd = 0;  // bytes written beyond the buffer
};

// Asks for a text into a buffer of `size` bytes followed by a guard zone, all
// filled with a non-NUL byte.
Text guardedText(Plug& p, std::int32_t opcode, std::int32_t index, std::size_t size, VstIntPtr value = 0);

// Checks a text answer; true when it is well formed.
bool checkText(Context& ctx, const Text& t, const std::string& what, std::size_t size);

// The buffer sizes hosts give: generous ones, or at strictness 9 and up the
// interface's own limits. Those count characters (a display text is at most
// 8), so the buffer holds one more byte for the terminating NUL.
inline std::size_t textSize(const Context& ctx, std::size_t nominal) { return ctx.strictness() >= 9 ? nominal + 1 : 256; }

// ---- audio buffers -----------------------------------------------------------

// A NaN no plug-in computes by accident. Quiet: a signalling NaN would be
// quietened wherever a float passes through the x87 unit (every float
// returned by a function on 32-bit x86), and the guards would seem written.
constexpr std::uint32_t kPattern = 0x7FE5A5A5u;

std::uint32_t bitsOf(float f);
float fromBits(std::uint32_t b);

// One channel of `frames` samples, fenced by guard samples on both sides.
class Channel {
public:
    static constexpr std::size_t kGuard = 64;
    void prepare(std::size_t frames);
    float* data() { return storage_.data() + kGuard; }
    const float* data() const { return storage_.data() + kGuard; }
    std::size_t frames() const { return frames_; }
    // The first guard sample changed: negative before the body, frames_ + k after it.
    bool guardWritten(long& at) const;

private:
    std::size_t frames_ = 0;
    std::vector<float> storage_;
};

// Samples whose end touches a page the process may not access, where the
// platform allows: a write or read past the end is a crash in the child.
class PageChannel {
public:
    explicit PageChannel(std::size_t frames);
    ~PageChannel();
    PageChannel(const PageChannel&) = delete;
    PageChannel& operator=(const PageChannel&) = delete;
    float* data() { return data_; }
    std::size_t frames() const { return frames_; }

private:
    std::size_t frames_, page_ = 4096, size_ = 0;
    char* base_ = nullptr;
    float* data_ = nullptr;
};

// ---- what goes in ----------------------------------------------------------------

struct TimedEvent {
    std::int64_t frame;
    unsigned char bytes[3];
    int sysex = -1;  // when 0 or more: the system-exclusive message of that index in Material::sysex
};

// The input audio and the MIDI of a render: sound for `activeFrames`, then
// silence (note-offs for every held note, then all notes off).
struct Material {
    std::int64_t frames = 0;
    std::int64_t activeFrames = 0;
    std::vector<std::vector<float>> input;
    std::vector<TimedEvent> events;
    std::vector<std::vector<unsigned char>> sysex;
};

Material makeMaterial(std::int32_t ins, bool events, std::int64_t frames, std::int64_t activeFrames, float rate,
                      std::int32_t block, std::uint64_t seed);
// Adds what a sequencer sends beside notes: notes on every channel, pitch
// bend, controllers, program changes, system-exclusive messages, sustain,
// all-notes-off and all-sound-off, some on the first and last frame of a
// block.
void addMidiVariety(Material& m, std::int32_t block, std::uint64_t seed);

// ---- rendering -----------------------------------------------------------------

enum class Mode { OutOfPlace, InPlace, Accumulate };
enum Check : unsigned {
    kFinite = 1,        // no NaN, infinity or unwritten frame in any output
    kGuards = 2,        // nothing written before or past the frames asked for
    kInputs = 4,        // inputs unchanged (out of place)
    kSubnormals = 8,    // no subnormal once the input has fallen silent
};

struct Run {
    std::string where;             // "process at 44100 Hz, blocks of 512"
    Mode mode = Mode::OutOfPlace;
    unsigned checks = kFinite;
    bool keep = false;             // keep the outputs
    bool watch = false;            // watch the plug-in's render calls for real-time safety (rt_monitor.h)
    // Wall time the render may take before it stops early (with a note);
    // 0: the context's render budget. Renders that are compared with
    // others pass a negative value: they always run to the end.
    double budget = 0.0;
    std::function<std::int32_t(std::int64_t index)> blockSize;  // default: the plug's block size
    std::function<void(std::int64_t index)> between;            // called before each block
};

// A known, non-zero signal accumulating renders add to.
float bed(std::int32_t channel, std::int64_t frame);

// Renders a material through a plug block by block, checking each block.
class Renderer {
public:
    Renderer(Context& ctx, Plug& p, const Material& m, Run run);
    bool done() const { return failed_ || stopped_ || pos_ >= m_.frames; }
    // Whether the wall-time budget ended the render before the material did.
    bool stopped() const { return stopped_; }
    bool failed() const { return failed_; }
    const std::vector<std::vector<float>>& outputs() const { return kept_; }

    // Renders the next block; false when finished or failed.
    bool next();
    bool renderAll();

private:
    void fail(const std::string& what);
    void check(std::size_t frames, bool inPlace);

    Context& ctx_;
    Plug& p_;
    const Material& m_;
    Run run_;
    std::vector<Channel> ins_, outs_;
    std::vector<float*> inPtrs_, outPtrs_;
    std::vector<std::vector<float>> kept_;
    std::int64_t pos_ = 0, index_ = 0;
    std::size_t event_ = 0;
    bool failed_ = false;
    bool stopped_ = false;
    std::string where_;
    aerie::EventList events_;  // the block's events, system-exclusive messages copied
};

// Renders on a thread of its own until the material ends or `stop` is set;
// the failures go to the context like any other.
class AudioThread {
public:
    AudioThread(Context& ctx, Plug& p, const Material& m, Run run);
    ~AudioThread() { join(); }
    AudioThread(const AudioThread&) = delete;
    AudioThread& operator=(const AudioThread&) = delete;
    bool finished() const { return finished_.load(); }
    std::int64_t blocks() const { return blocks_.load(); }
    void stop() { stop_ = true; }
    void join();
    const Renderer& renderer() const { return renderer_; }

private:
    Renderer renderer_;
    std::atomic<bool> stop_{false}, finished_{false};
    std::atomic<std::int64_t> blocks_{0};
    std::thread thread_;
};

std::string renderWhere(float rate, std::int32_t block, const char* how = "process");

Material materialFor(Context& ctx, const Plug& p, double seconds, double activeShare = 0.8);

// An instance at `rate` and `block`. From strictness 6 a fresh one each
// time, as a host opens a plug-in into a session at that rate; below, the
// one in `reuse` set up again with a suspend between, as a host does when the
// audio device changes: plug-ins that load data when created cost much to
// create.
Plug& instanceAt(Context& ctx, std::unique_ptr<Plug>& reuse, float rate, std::int32_t block);

// Half a second (scaled by strictness) of input and events fitted to the
// plug-in's pins, learnt from an instance that is closed again at once.
Material halfSecondOfMaterial(Context& ctx, float rate, std::int32_t block);

// ---- state ---------------------------------------------------------------------

struct Chunk {
    std::vector<unsigned char> bytes;
    bool given = false;
};
Chunk getChunk(Context& ctx, Plug& p, bool preset);
void setChunk(Context& ctx, Plug& p, bool preset, std::vector<unsigned char> bytes, const std::string& what);
std::string firstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b);

// A plug-in's state as a host saves it with a session: the bank chunk for a
// plug-in that keeps chunks, else the current program and every parameter.
struct SavedState {
    bool chunk = false;
    std::vector<unsigned char> bytes;
    std::int32_t program = 0;
    std::vector<float> parameters;
    std::string describe() const;
};
// Random parameter values and a random program, as a user leaves them.
void randomiseState(Context& ctx, Plug& p);
SavedState saveState(Context& ctx, Plug& p);
// Restores as a host loading a session does: the program, then the chunk or
// the parameters.
void restoreState(Context& ctx, Plug& p, const SavedState& state);

// Compares the sound of a restored instance with the sound of the instance
// whose state was saved (state.cpp): bit for bit where two restored
// instances (`again`) agree bit for bit, else by level.
void compareRestored(Context& ctx, const std::vector<std::vector<float>>& original,
                     const std::vector<std::vector<float>>& restored, const std::vector<std::vector<float>>* again,
                     const SavedState& state, const std::string& how);

// How far apart two renders are: the level of their difference against the
// level of the first, in dB (-inf when equal); and the largest difference
// between the two renders' levels, channel by channel, in dB.
double differenceLevel(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b);
double levelMismatch(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b);

// The interface version the plug-in declares (effGetVstVersion); 0 for
// plug-ins from before the request existed.
std::int32_t declaredVersion(Plug& p);

// Seconds of audio a test renders: more at higher strictness.
inline double seconds(const Context& ctx, double atDefault) { return atDefault * ctx.strictness() / kDefaultStrictness; }

// The first difference of two renders, or "" when they are the same within
// `tolerance` (0: bit for bit).
std::string difference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b,
                       double tolerance = 0.0);

bool silent(const std::vector<std::vector<float>>& out);

// Renders a fresh instance's answer to a material, out of place.
std::vector<std::vector<float>> freshRender(Context& ctx, const Material& m, float rate, std::int32_t block,
                                            const std::string& where);

// Whether two fresh instances give the same output; comparisons between
// instances are meaningless otherwise.
bool deterministic(Context& ctx, const Material& m, float rate, std::int32_t block,
                   std::vector<std::vector<float>>* reference = nullptr);

std::string parameterName(Plug& p, std::int32_t i);


}  // namespace validate
