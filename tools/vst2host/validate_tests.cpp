#include "tools/vst2host/validate_tests.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

#include <aerie/probe.h>
#include <aerie/aerie.h>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#include <fstream>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define KSTV_VALIDATE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KSTV_VALIDATE_ASAN 1
#endif
#endif
#if defined(KSTV_VALIDATE_ASAN)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace validate {

const std::vector<double>& defaultRates() {
    static const std::vector<double> rates = {8000, 11025, 22050, 44100, 48000, 88200, 96000, 192000, 384000, 44123.45};
    return rates;
}

const std::vector<std::int32_t>& defaultBlocks() {
    static const std::vector<std::int32_t> blocks = {1, 16, 64, 256, 512, 1024, 4096, 8192};
    return blocks;
}

std::uint64_t testSeed(std::uint64_t seed, const std::string& name) {
    std::uint64_t h = 1469598103934665603ull ^ seed;  // FNV-1a over the name
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

namespace {

struct Skipped {
    std::string why;
};
// Ends a test early after a failure that makes going on pointless.
struct Stop {};

std::string number(double v) {
    std::ostringstream s;
    s.precision(7);
    s << v;
    return s.str();
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char b[8];
            (void)std::snprintf(b, sizeof b, "\\x%02X", c);
            out += b;
        }
    }
    return out + "\"";
}

// Heap bytes in use where the platform tells them exactly, else the memory
// the process holds: the live heap under AddressSanitizer, glibc's count of
// allocated bytes, the committed private memory on Windows.
std::size_t memoryInUse() {
#if defined(KSTV_VALIDATE_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PagefileUsage;
#elif defined(__GLIBC__)
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#else
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

}  // namespace

class Context {
public:
    Context(const Settings& s, Reporter& r, std::uint64_t seed) : settings(s), reporter(r), rng(seed) {}
    const Settings& settings;
    Reporter& reporter;
    std::mt19937_64 rng;
    int failures = 0;

    int strictness() const { return settings.strictness; }
    void step(const std::string& what) { reporter.step(what); }
    void fail(const std::string& what) {
        if (++failures <= 10) reporter.fail(what);
    }
    void warn(const std::string& what) { reporter.warn(what); }
    void note(const std::string& what) { reporter.note(what); }
    [[noreturn]] void skip(const std::string& why) { throw Skipped{why}; }
    // A failure, or a warning below the given strictness.
    void failFrom(int strictness, const std::string& what) {
        if (settings.strictness >= strictness) {
            fail(what);
        } else {
            warn(what + " (a failure at strictness " + std::to_string(strictness) + ")");
        }
    }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    int integer(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    const aerie::Module& module() {
        if (!module_) {
            step("loading the module");
            module_ = aerie::Module::open(settings.module);
        }
        return *module_;
    }

private:
    std::unique_ptr<aerie::Module> module_;
};

namespace {

// ---- the host ------------------------------------------------------------------

// Answers what a plain host answers and records the rest as unsupported.
class ValidatorHost : public aerie::Host {
public:
    static bool supported(std::int32_t opcode) {
        switch (opcode) {
        case audioMasterAutomate:
        case audioMasterVersion:
        case audioMasterCurrentId:
        case audioMasterIdle:
        case audioMasterWantMidi:
        case audioMasterGetSampleRate:
        case audioMasterGetBlockSize:
        case audioMasterGetCurrentProcessLevel:
        case audioMasterGetAutomationState:
        case audioMasterGetVendorString:
        case audioMasterGetProductString:
        case audioMasterGetVendorVersion:
        case audioMasterCanDo:
        case audioMasterGetLanguage:
        case audioMasterUpdateDisplay: return true;
        default: return false;
        }
    }
    VstIntPtr answer(const aerie::HostRequest& r) override {
        switch (r.opcode) {
        case audioMasterGetVendorString:
            if (r.ptr != nullptr) std::strcpy(static_cast<char*>(r.ptr), "Kestravian");
            return 1;
        case audioMasterGetProductString:
            if (r.ptr != nullptr) std::strcpy(static_cast<char*>(r.ptr), "vst2host validate");
            return 1;
        case audioMasterGetVendorVersion: return 1000;
        case audioMasterGetLanguage:         // 1: English
        case audioMasterGetAutomationState:  // 1: off
        case audioMasterUpdateDisplay: return 1;
        case audioMasterCanDo: {
            if (r.ptr == nullptr) return 0;
            const std::string word(static_cast<const char*>(r.ptr));
            return (word == "sendVstEvents" || word == "sendVstMidiEvent" || word == "receiveVstEvents" ||
                    word == "receiveVstMidiEvent")
                       ? 1
                       : 0;
        }
        default: return aerie::Host::answer(r);
        }
    }
};

bool isInstrument(AEffect* e, std::int32_t category) {
    return (e->flags & effFlagsIsSynth) != 0 || category == kPlugCategSynth;
}

// One instance, opened and set up the way hosts do before rendering.
class Plug {
public:
    Plug(Context& ctx, float rate, std::int32_t block, bool resume = true) : ctx_(ctx), rate_(rate), block_(block) {
        host.sampleRate = rate;
        host.blockSize = block;
        ctx.step("creating an instance (calling the entry " + ctx.module().entryName() + ")");
        instance = std::make_unique<aerie::Instance>(ctx.module(), host);
        e = instance->effect();
        ins = e->numInputs;
        outs = e->numOutputs;
        if (ins < 0 || ins > 1024 || outs < 0 || outs > 1024) {
            ctx.fail("the record announces " + std::to_string(ins) + " inputs and " + std::to_string(outs) +
                     " outputs; no host can pass those");
            throw Stop{};
        }
        replacing = (e->flags & effFlagsCanReplacing) != 0 && e->processReplacing != nullptr;
        ctx.step("opening the instance (effOpen)");
        dispatch(effOpen);
        ctx.step("setting the sample rate to " + number(rate) + " Hz");
        dispatch(effSetSampleRate, 0, 0, nullptr, rate);
        ctx.step("setting the block size to " + std::to_string(block));
        dispatch(effSetBlockSize, 0, block);
        ctx.step("asking the category (effGetPlugCategory)");
        category = static_cast<std::int32_t>(dispatch(effGetPlugCategory));
        instrument = isInstrument(e, category);
        ctx.step("asking whether it takes MIDI (effCanDo)");
        wantsEvents = instrument || instance->canDo("receiveVstEvents") > 0 || instance->canDo("receiveVstMidiEvent") > 0;
        if (resume) this->resume();
    }
    ~Plug() {
        if (instance && instance->effect() != nullptr) {
            ctx_.step("closing the instance (effClose)");
            if (resumed_) dispatch(effMainsChanged, 0, 0);
            instance->close();
        }
    }
    Plug(const Plug&) = delete;
    Plug& operator=(const Plug&) = delete;

    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) {
        return instance->dispatch(opcode, index, value, ptr, opt);
    }
    void resume() {
        ctx_.step("resuming (effMainsChanged 1)");
        dispatch(effMainsChanged, 0, 1);
        resumed_ = true;
    }
    void suspend() {
        ctx_.step("suspending (effMainsChanged 0)");
        dispatch(effMainsChanged, 0, 0);
        resumed_ = false;
    }
    void setRate(float rate) {
        ctx_.step("setting the sample rate to " + number(rate) + " Hz");
        dispatch(effSetSampleRate, 0, 0, nullptr, rate);
        rate_ = rate;
        host.sampleRate = rate;
    }
    void setBlock(std::int32_t block) {
        ctx_.step("setting the block size to " + std::to_string(block));
        dispatch(effSetBlockSize, 0, block);
        block_ = block;
        host.blockSize = block;
    }
    float rate() const { return rate_; }
    std::int32_t block() const { return block_; }
    bool resumed() const { return resumed_; }

    ValidatorHost host;
    std::unique_ptr<aerie::Instance> instance;
    AEffect* e = nullptr;
    std::int32_t ins = 0, outs = 0, category = 0;
    bool replacing = false, instrument = false, wantsEvents = false;

private:
    Context& ctx_;
    float rate_;
    std::int32_t block_;
    bool resumed_ = false;
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
Text guardedText(Plug& p, std::int32_t opcode, std::int32_t index, std::size_t size, VstIntPtr value = 0) {
    constexpr std::size_t kGuard = 4096;
    std::vector<unsigned char> buffer(size + kGuard, 0xA5);
    const VstIntPtr answer = p.dispatch(opcode, index, value, buffer.data());
    Text t;
    // A request the plug-in does not handle leaves the buffer as it was;
    // hosts read that as an empty text.
    t.untouched = answer == 0 && std::all_of(buffer.begin(), buffer.end(), [](unsigned char b) { return b == 0xA5; });
    if (t.untouched) return t;
    const auto end = std::find(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(size), 0);
    t.terminated = end != buffer.begin() + static_cast<std::ptrdiff_t>(size);
    t.text.assign(buffer.begin(), t.terminated ? end : buffer.begin() + static_cast<std::ptrdiff_t>(size));
    for (std::size_t i = kGuard; i > 0; --i) {
        if (buffer[size + i - 1] != 0xA5) {
            t.pastEnd = i;
            break;
        }
    }
    return t;
}

// Checks a text answer; true when it is well formed.
bool checkText(Context& ctx, const Text& t, const std::string& what, std::size_t size) {
    if (t.pastEnd > 0) {
        ctx.fail(what + ": wrote " + std::to_string(t.pastEnd) + (t.pastEnd == 1 ? " byte" : " bytes") +
                 " past the end of the host's " +
                 std::to_string(size) + "-byte buffer");
        return false;
    }
    if (!t.terminated) {
        ctx.fail(what + ": no terminating NUL within the host's " + std::to_string(size) + "-byte buffer (" +
                 quoted(t.text.substr(0, 12)) + "...)");
        return false;
    }
    return true;
}

// The buffer sizes hosts give: generous ones, or at strictness 9 and up the
// interface's own limits. Those count characters (a display text is at most
// 8), so the buffer holds one more byte for the terminating NUL.
std::size_t textSize(const Context& ctx, std::size_t nominal) { return ctx.strictness() >= 9 ? nominal + 1 : 256; }

// ---- audio buffers -----------------------------------------------------------

constexpr std::uint32_t kPattern = 0x7FA5A5A5u;  // a NaN no plug-in computes by accident

std::uint32_t bitsOf(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
float fromBits(std::uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}

// One channel of `frames` samples, fenced by guard samples on both sides.
class Channel {
public:
    static constexpr std::size_t kGuard = 64;
    void prepare(std::size_t frames) {
        frames_ = frames;
        storage_.assign(frames + 2 * kGuard, fromBits(kPattern));
    }
    float* data() { return storage_.data() + kGuard; }
    const float* data() const { return storage_.data() + kGuard; }
    std::size_t frames() const { return frames_; }
    // The first guard sample changed: negative before the body, frames_ + k after it.
    bool guardWritten(long& at) const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (bitsOf(storage_[kGuard - 1 - i]) != kPattern) {
                at = -static_cast<long>(i) - 1;
                return true;
            }
        }
        for (std::size_t i = 0; i < kGuard; ++i) {
            if (bitsOf(storage_[kGuard + frames_ + i]) != kPattern) {
                at = static_cast<long>(frames_ + i);
                return true;
            }
        }
        return false;
    }

private:
    std::size_t frames_ = 0;
    std::vector<float> storage_;
};

// Samples whose end touches a page the process may not access, where the
// platform allows: a write or read past the end is a crash in the child.
class PageChannel {
public:
    explicit PageChannel(std::size_t frames) : frames_(frames) {
#if defined(_WIN32)
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        page_ = si.dwPageSize;
#else
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
        const std::size_t body = (frames * sizeof(float) + page_ - 1) / page_ * page_;
        size_ = body + 2 * page_;
#if defined(_WIN32)
        base_ = static_cast<char*>(VirtualAlloc(nullptr, size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (base_ == nullptr) throw std::runtime_error("cannot allocate guard pages");
        DWORD old = 0;
        VirtualProtect(base_, page_, PAGE_NOACCESS, &old);
        VirtualProtect(base_ + page_ + body, page_, PAGE_NOACCESS, &old);
#else
        void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("cannot allocate guard pages");
        base_ = static_cast<char*>(p);
        mprotect(base_, page_, PROT_NONE);
        mprotect(base_ + page_ + body, page_, PROT_NONE);
#endif
        data_ = reinterpret_cast<float*>(base_ + page_ + body) - frames;
    }
    ~PageChannel() {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, size_);
#endif
    }
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
};

// The input audio and the MIDI of a render: sound for `activeFrames`, then
// silence (note-offs for every held note, then all notes off).
struct Material {
    std::int64_t frames = 0;
    std::int64_t activeFrames = 0;
    std::vector<std::vector<float>> input;
    std::vector<TimedEvent> events;
};

Material makeMaterial(std::int32_t ins, bool events, std::int64_t frames, std::int64_t activeFrames, float rate,
                      std::int32_t block, std::uint64_t seed) {
    Material m;
    m.frames = frames;
    m.activeFrames = std::min(activeFrames, frames);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<float> noise(-0.25f, 0.25f);
    m.input.assign(static_cast<std::size_t>(ins), std::vector<float>(static_cast<std::size_t>(frames), 0.0f));
    const double safeRate = rate > 1.0f ? static_cast<double>(rate) : 44100.0;
    for (std::int32_t c = 0; c < ins; ++c) {
        auto& ch = m.input[static_cast<std::size_t>(c)];
        const double hz = 220.0 * (c + 1);
        for (std::int64_t i = 0; i < m.activeFrames; ++i) {
            const double t = static_cast<double>(i) / safeRate;
            float v = static_cast<float>(0.4 * std::sin(2.0 * 3.141592653589793 * hz * t)) + noise(rng);
            if (i % static_cast<std::int64_t>(safeRate / 4 + 1) == 0) v = 1.0f;  // an impulse four times a second
            ch[static_cast<std::size_t>(i)] = v;
        }
    }
    if (!events) return m;
    // Note patterns one after another, on frames that include the first and
    // the last of a block: a plain pair, a note-off without its note-on,
    // repeated and overlapping notes, velocity 0.
    const auto spacing = std::max<std::int64_t>(static_cast<std::int64_t>(safeRate * 0.05), 4);
    std::vector<int> held;
    int pattern = 0;
    auto add = [&](std::int64_t f, unsigned char s, int d1, int d2) {
        if (f < m.activeFrames) m.events.push_back({f, {s, static_cast<unsigned char>(d1), static_cast<unsigned char>(d2)}});
    };
    for (std::int64_t f = 0; f + 3 < m.activeFrames; f += spacing, ++pattern) {
        const int note = 36 + static_cast<int>(rng() % 60);
        const int velocity = 1 + static_cast<int>(rng() % 127);
        switch (pattern % 6) {
        case 0: add(f, 0x90, note, velocity); add(f + spacing / 2, 0x80, note, 64); break;
        case 1: add(f, 0x80, note, 0); break;
        case 2: add(f, 0x90, note, velocity); add(f + 1, 0x90, note, velocity); add(f + 2, 0x80, note, 0); break;
        case 3: add(f, 0x90, note, velocity); add(f + 2, 0x90, note + 7, velocity);
                add(f + spacing / 2, 0x80, note, 0); held.push_back(note + 7); break;
        case 4: add(f, 0x90, note, 0); break;
        default: {
            // On the first and last frame of the block this pattern falls in.
            const std::int64_t start = f / block * block;
            add(start, 0x90, note, velocity);
            add(start + block - 1, 0x80, note, 0);
            break;
        }
        }
    }
    std::stable_sort(m.events.begin(), m.events.end(),
                     [](const TimedEvent& a, const TimedEvent& b) { return a.frame < b.frame; });
    const std::int64_t end = std::max<std::int64_t>(m.activeFrames - 1, 0);
    for (int note : held) m.events.push_back({end, {0x80, static_cast<unsigned char>(note), 0}});
    m.events.push_back({end, {0xB0, 123, 0}});
    if (end >= frames) m.events.clear();
    return m;
}

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
    std::function<std::int32_t(std::int64_t index)> blockSize;  // default: the plug's block size
    std::function<void(std::int64_t index)> between;            // called before each block
};

// A known, non-zero signal accumulating renders add to.
float bed(std::int32_t channel, std::int64_t frame) {
    return 0.125f * static_cast<float>((frame * 7 + std::int64_t{channel} * 13) % 17) / 17.0f;
}

// Renders a material through a plug block by block, checking each block.
class Renderer {
public:
    Renderer(Context& ctx, Plug& p, const Material& m, Run run) : ctx_(ctx), p_(p), m_(m), run_(std::move(run)) {
        ins_.resize(static_cast<std::size_t>(p.ins));
        outs_.resize(static_cast<std::size_t>(p.outs));
        if (run_.keep) kept_.assign(static_cast<std::size_t>(p.outs), {});
        inPtrs_.assign(static_cast<std::size_t>(std::max(p.ins, 1)), nullptr);
        outPtrs_.assign(static_cast<std::size_t>(std::max(p.outs, 1)), nullptr);
    }
    bool done() const { return failed_ || pos_ >= m_.frames; }
    bool failed() const { return failed_; }
    const std::vector<std::vector<float>>& outputs() const { return kept_; }

    // Renders the next block; false when finished or failed.
    bool next() {
        if (done()) return false;
        std::int32_t n = run_.blockSize ? run_.blockSize(index_) : p_.block();
        if (n < 1) n = 1;
        n = static_cast<std::int32_t>(std::min<std::int64_t>(n, m_.frames - pos_));
        if (run_.between) run_.between(index_);
        const std::size_t frames = static_cast<std::size_t>(n);
        const bool inPlace = run_.mode == Mode::InPlace;
        for (std::size_t c = 0; c < ins_.size(); ++c) {
            ins_[c].prepare(frames);
            std::memcpy(ins_[c].data(), m_.input[c].data() + pos_, frames * sizeof(float));
            inPtrs_[c] = ins_[c].data();
        }
        for (std::size_t c = 0; c < outs_.size(); ++c) {
            if (inPlace && c < ins_.size()) {
                outPtrs_[c] = ins_[c].data();
                continue;
            }
            outs_[c].prepare(frames);
            float* d = outs_[c].data();
            if (run_.mode == Mode::Accumulate || !p_.replacing) {
                for (std::size_t i = 0; i < frames; ++i) {
                    d[i] = run_.mode == Mode::Accumulate ? bed(static_cast<std::int32_t>(c), pos_ + static_cast<std::int64_t>(i)) : 0.0f;
                }
            }
            outPtrs_[c] = d;
        }
        std::ostringstream where;
        where << run_.where << ", block " << index_ + 1 << " (" << n << (n == 1 ? " frame" : " frames")
              << " from frame " << pos_ << ")";
        where_ = where.str();
        if (p_.wantsEvents) {
            aerie::EventList list;
            while (event_ < m_.events.size() && m_.events[event_].frame < pos_ + n) {
                const TimedEvent& ev = m_.events[event_++];
                list.addMidi(static_cast<std::int32_t>(ev.frame - pos_), ev.bytes[0], ev.bytes[1], ev.bytes[2]);
            }
            if (list.size() > 0) {
                ctx_.step("sending the events of " + where_);
                p_.dispatch(effProcessEvents, 0, 0, list.get());
            }
        }
        ctx_.step(where_);
        if (run_.mode == Mode::Accumulate || !p_.replacing) {
            p_.instance->process(inPtrs_.data(), outPtrs_.data(), n);
        } else {
            p_.instance->processReplacing(inPtrs_.data(), outPtrs_.data(), n);
        }
        check(frames, inPlace);
        if (run_.keep) {
            for (std::size_t c = 0; c < outs_.size(); ++c) {
                const float* d = outPtrs_[c];
                kept_[c].insert(kept_[c].end(), d, d + frames);
            }
        }
        pos_ += n;
        ++index_;
        return !failed_;
    }
    bool renderAll() {
        while (next()) {
        }
        return !failed_;
    }

private:
    void fail(const std::string& what) {
        ctx_.fail(where_ + ": " + what);
        failed_ = true;
    }
    void check(std::size_t frames, bool inPlace) {
        for (std::size_t c = 0; c < outs_.size() && !failed_; ++c) {
            const std::string name = "output " + std::to_string(c + 1);
            const bool shared = inPlace && c < ins_.size();
            const Channel& ch = shared ? ins_[c] : outs_[c];
            long at = 0;
            if ((run_.checks & kGuards) && ch.guardWritten(at)) {
                fail(name + (at < 0 ? ": written before the first frame (at " + std::to_string(at) + ")"
                                    : ": written past the " + std::to_string(frames) +
                                          (frames == 1 ? " frame" : " frames") + " asked for (frame " +
                                          std::to_string(at) + " of the block)"));
                return;
            }
            const float* d = outPtrs_[c];
            for (std::size_t i = 0; i < frames; ++i) {
                const float v = d[i];
                const std::int64_t frame = pos_ + static_cast<std::int64_t>(i);
                const std::string atFrame = name + ", frame " + std::to_string(frame);
                if ((run_.checks & kFinite) && bitsOf(v) == kPattern && p_.replacing && run_.mode != Mode::Accumulate) {
                    return fail(atFrame + " was not written (processReplacing must fill every frame)");
                }
                if ((run_.checks & kFinite) && std::isnan(v)) return fail(atFrame + " is NaN");
                if ((run_.checks & kFinite) && std::isinf(v)) return fail(atFrame + " is infinite (" + number(v) + ")");
                if ((run_.checks & kSubnormals) && frame >= m_.activeFrames && std::fpclassify(v) == FP_SUBNORMAL) {
                    return fail(atFrame + " is subnormal (" + number(v) + "), " +
                                std::to_string(frame - m_.activeFrames) + " frames after the input fell silent");
                }
            }
        }
        if (!(run_.checks & (kInputs | kGuards)) || inPlace) return;
        for (std::size_t c = 0; c < ins_.size() && !failed_; ++c) {
            const std::string name = "input " + std::to_string(c + 1);
            long at = 0;
            if ((run_.checks & kGuards) && ins_[c].guardWritten(at)) {
                return fail(name + ": written outside its " + std::to_string(frames) + " frames (at " +
                            std::to_string(at) + ")");
            }
            if (!(run_.checks & kInputs)) continue;
            const float* want = m_.input[c].data() + pos_;
            for (std::size_t i = 0; i < frames; ++i) {
                if (bitsOf(ins_[c].data()[i]) != bitsOf(want[i])) {
                    return fail(name + ", frame " + std::to_string(pos_ + static_cast<std::int64_t>(i)) +
                                " was changed from " + number(want[i]) + " to " + number(ins_[c].data()[i]) +
                                " (inputs are the host's)");
                }
            }
        }
    }

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
    std::string where_;
};

std::string renderWhere(float rate, std::int32_t block, const char* how = "process") {
    return std::string(how) + " at " + number(rate) + " Hz, blocks of " + std::to_string(block);
}

Material materialFor(Context& ctx, const Plug& p, double seconds, double activeShare = 0.8) {
    const auto frames = static_cast<std::int64_t>(std::max(1.0, seconds * p.rate()));
    return makeMaterial(p.ins, p.wantsEvents, frames, static_cast<std::int64_t>(static_cast<double>(frames) * activeShare),
                        p.rate(), p.block(), ctx.rng());
}

// Seconds of audio a test renders: more at higher strictness.
double seconds(const Context& ctx, double atDefault) { return atDefault * ctx.strictness() / kDefaultStrictness; }

// The first difference of two renders, or "" when they are the same within
// `tolerance` (0: bit for bit).
std::string difference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b,
                       double tolerance = 0.0) {
    for (std::size_t c = 0; c < a.size() && c < b.size(); ++c) {
        for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i) {
            const float x = a[c][i], y = b[c][i];
            const bool same = tolerance == 0.0 ? bitsOf(x) == bitsOf(y)
                                               : std::fabs(static_cast<double>(x) - y) <= tolerance * (1.0 + std::fabs(y));
            if (!same) {
                return "output " + std::to_string(c + 1) + ", frame " + std::to_string(i) + ": " + number(x) + " vs " +
                       number(y);
            }
        }
    }
    return "";
}

bool silent(const std::vector<std::vector<float>>& out) {
    for (const auto& ch : out) {
        for (float v : ch) {
            if (v != 0.0f) return false;
        }
    }
    return true;
}

// Renders a fresh instance's answer to a material, out of place.
std::vector<std::vector<float>> freshRender(Context& ctx, const Material& m, float rate, std::int32_t block,
                                            const std::string& where) {
    Plug p(ctx, rate, block);
    Run run;
    run.where = where;
    run.keep = true;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) throw Stop{};
    return r.outputs();
}

// Whether two fresh instances give the same output; comparisons between
// instances are meaningless otherwise.
bool deterministic(Context& ctx, const Material& m, float rate, std::int32_t block,
                   std::vector<std::vector<float>>* reference = nullptr) {
    auto a = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (first instance)");
    auto b = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (second instance)");
    const bool same = difference(a, b).empty();
    if (reference != nullptr) *reference = std::move(a);
    return same;
}

std::string parameterName(Plug& p, std::int32_t i) {
    const Text t = guardedText(p, effGetParamName, i, 256);
    return "parameter " + std::to_string(i + 1) + (t.terminated && t.pastEnd == 0 ? " " + quoted(t.text) : "");
}

// ---- loading -----------------------------------------------------------------

void testModule(Context& ctx) {
    ctx.step("loading the module");
    try {
        ctx.module();
    } catch (const aerie::HostError& e) {
        const std::string why = e.what();
        if (why.rfind("no entry point", 0) == 0) return;  // loaded; the entry test says the rest
        ctx.fail(why);
        return;
    }
    ctx.note(aerie::describeModuleFile(ctx.settings.module) + ", every symbol resolved");
}

void testEntry(Context& ctx) {
    try {
        ctx.module();
    } catch (const aerie::HostError& e) {
        ctx.fail(e.what());
        return;
    }
    const std::string name = ctx.module().entryName();
    if (name != "VSTPluginMain") {
        ctx.warn("the module exports \"main\" but not \"VSTPluginMain\", the name current hosts look for first");
    }
    ctx.note("entry " + name);
}

void testRecord(Context& ctx) {
    aerie::Host host;
    ctx.module();
    ctx.step("calling the entry " + ctx.module().entryName());
    std::unique_ptr<aerie::Instance> instance;
    try {
        instance = std::make_unique<aerie::Instance>(ctx.module(), host);
    } catch (const aerie::HostError& e) {
        ctx.fail(e.what());
        return;
    }
    AEffect* e = instance->effect();
    const struct {
        const char* name;
        std::int32_t value, most;
    } counts[] = {{"numInputs", e->numInputs, 1024},  {"numOutputs", e->numOutputs, 1024},
                  {"numParams", e->numParams, 100000}, {"numPrograms", e->numPrograms, 100000},
                  {"initialDelay", e->initialDelay, 1 << 24}};
    for (const auto& c : counts) {
        if (c.value < 0 || c.value > c.most) {
            ctx.fail(std::string("the record's ") + c.name + " is " + std::to_string(c.value) + " (expected 0 to " +
                     std::to_string(c.most) + ")");
        }
    }
    if (e->dispatcher == nullptr) ctx.fail("the record's dispatcher entry is null");
    if (e->setParameter == nullptr) ctx.fail("the record's setParameter entry is null");
    if (e->getParameter == nullptr) ctx.fail("the record's getParameter entry is null");
    if ((e->flags & effFlagsCanReplacing) && e->processReplacing == nullptr) {
        ctx.fail("the record announces processReplacing (flag canReplacing) but its entry is null");
    }
    if (e->process == nullptr && !(e->flags & effFlagsCanReplacing)) {
        ctx.fail("the record offers no render entry: process is null and processReplacing is not announced");
    }
    if (e->numInputs == 0 && e->numOutputs == 0) ctx.warn("the record announces no audio inputs and no outputs");
    if (ctx.failures > 0) {
        instance.reset();
        return;
    }
    ctx.step("opening the instance (effOpen)");
    instance->dispatch(effOpen);
    ctx.step("asking names and category");
    const std::string name = instance->text(effGetEffectName);
    const std::string vendor = instance->text(effGetVendorString);
    const auto category = static_cast<std::int32_t>(instance->dispatch(effGetPlugCategory));
    std::ostringstream s;
    s << (name.empty() ? "(no name)" : name) << (vendor.empty() ? "" : " by " + vendor) << ": "
      << (isInstrument(e, category) ? "instrument" : "effect") << " (" << aerie::categoryName(category) << "), "
      << e->numInputs << " in, " << e->numOutputs << " out, " << e->numParams << " parameters, " << e->numPrograms
      << " programs, flags " << [&] {
             std::string f;
             for (const std::string& n : aerie::flagNames(e->flags)) f += (f.empty() ? "" : "+") + n;
             return f.empty() ? std::string("none") : f;
         }();
    ctx.reporter.plugin(s.str());
    ctx.step("closing the instance (effClose)");
    instance->close();
}

struct Identity {
    std::string name, vendor, product;
    std::vector<std::string> pins;  // "label, flags" or "" when not described
    std::int32_t uniqueId, version, vendorVersion, category, ins, outs, flags, params, programs, vstVersion;
};

Identity identityOf(Context& ctx, Plug& p) {
    Identity id{};
    const struct {
        std::int32_t opcode;
        std::size_t nominal;
        const char* what;
        std::string* into;
    } texts[] = {{effGetEffectName, 32, "effect name", &id.name},
                 {effGetVendorString, 64, "vendor", &id.vendor},
                 {effGetProductString, 64, "product", &id.product}};
    for (const auto& t : texts) {
        ctx.step(std::string("asking the ") + t.what);
        const std::size_t size = textSize(ctx, t.nominal);
        const Text got = guardedText(p, t.opcode, 0, size);
        if (checkText(ctx, got, t.what, size)) *t.into = got.text;
    }
    id.uniqueId = p.e->uniqueID;
    id.version = p.e->version;
    id.vendorVersion = static_cast<std::int32_t>(p.dispatch(effGetVendorVersion));
    id.category = p.category;
    id.ins = p.e->numInputs;
    id.outs = p.e->numOutputs;
    id.flags = p.e->flags;
    id.params = p.e->numParams;
    id.programs = p.e->numPrograms;
    id.vstVersion = static_cast<std::int32_t>(p.dispatch(effGetVstVersion));
    // Pin descriptions, in a buffer longer than the record: a plug-in may
    // write the record, not past it.
    for (bool input : {true, false}) {
        for (std::int32_t i = 0; i < std::min(input ? p.ins : p.outs, 64); ++i) {
            const std::string what = std::string(input ? "input " : "output ") + std::to_string(i + 1) + " description";
            ctx.step("asking the " + what);
            std::vector<unsigned char> buffer(sizeof(VstPinProperties) + 1024, 0);
            std::fill(buffer.begin() + sizeof(VstPinProperties), buffer.end(), 0xA5);
            const bool described =
                p.dispatch(input ? effGetInputProperties : effGetOutputProperties, i, 0, buffer.data()) != 0;
            if (std::any_of(buffer.begin() + sizeof(VstPinProperties), buffer.end(), [](unsigned char c) { return c != 0xA5; })) {
                ctx.fail(what + ": written past the end of the " + std::to_string(sizeof(VstPinProperties)) + "-byte record");
            }
            VstPinProperties pin{};
            std::memcpy(&pin, buffer.data(), sizeof pin);
            if (described && std::find(pin.label, pin.label + sizeof pin.label, '\0') == pin.label + sizeof pin.label) {
                ctx.fail(what + ": the label has no terminating NUL within its 64 bytes");
                pin.label[sizeof pin.label - 1] = '\0';
            }
            id.pins.push_back(described ? std::string(pin.label) + ", flags " + std::to_string(pin.flags) : "");
        }
    }
    return id;
}

void testIdentity(Context& ctx) {
    Plug a(ctx, 44100.0f, 512, false);
    Plug b(ctx, 44100.0f, 512, false);
    const int before = ctx.failures;
    const Identity x = identityOf(ctx, a), y = identityOf(ctx, b);
    if (ctx.failures > before) return;
    auto same = [&](const char* what, const std::string& u, const std::string& v) {
        if (u != v) ctx.fail(std::string(what) + " differs between two instances: " + quoted(u) + " vs " + quoted(v));
    };
    auto sameNumber = [&](const char* what, std::int32_t u, std::int32_t v) {
        if (u != v) same(what, std::to_string(u), std::to_string(v));
    };
    same("the effect name", x.name, y.name);
    same("the vendor", x.vendor, y.vendor);
    same("the product", x.product, y.product);
    sameNumber("the unique identifier", x.uniqueId, y.uniqueId);
    sameNumber("the record's version", x.version, y.version);
    sameNumber("the vendor version", x.vendorVersion, y.vendorVersion);
    sameNumber("the category", x.category, y.category);
    sameNumber("the number of inputs", x.ins, y.ins);
    sameNumber("the number of outputs", x.outs, y.outs);
    sameNumber("the flags", x.flags, y.flags);
    sameNumber("the number of parameters", x.params, y.params);
    sameNumber("the number of programs", x.programs, y.programs);
    sameNumber("the interface version", x.vstVersion, y.vstVersion);
    for (std::size_t i = 0; i < x.pins.size() && i < y.pins.size(); ++i) {
        same(("pin description " + std::to_string(i + 1)).c_str(), x.pins[i], y.pins[i]);
    }
    if (x.uniqueId == 0) ctx.failFrom(7, "the unique identifier is 0; hosts tell plug-ins apart by it");
    if (x.name.empty()) ctx.warn("the plug-in gives no effect name");
}

// ---- lifecycle ---------------------------------------------------------------

void testOpenClose(Context& ctx) {
    const int cycles = 40 * ctx.strictness();
    const int warmUp = std::max(cycles / 5, 10);
    // Scratch buffers with room on both sides: writing out of bounds is for
    // the guard tests to report, not for this one to suffer.
    constexpr std::size_t kFrames = 512, kSlack = 64;
    std::vector<float> out(kFrames * 64 + 2 * kSlack);
    ctx.module();
    aerie::EventList notes;
    notes.addNoteOn(0, 60, 100);
    notes.addMidi(100, 0x80, 60, 0);
    int done = 0;
    auto cycle = [&](int i) {
        ctx.step("open/close cycle " + std::to_string(++done) + " of " + std::to_string(cycles));
        ValidatorHost host;
        host.blockSize = 512;
        aerie::Instance instance(ctx.module(), host);
        AEffect* e = instance.effect();
        instance.dispatch(effOpen);
        instance.dispatch(effSetSampleRate, 0, 0, nullptr, i % 2 == 0 ? 44100.0f : 48000.0f);
        instance.dispatch(effSetBlockSize, 0, 512);
        instance.dispatch(effMainsChanged, 0, 1);
        const std::int32_t channels = std::max(e->numInputs, e->numOutputs);
        if (channels >= 0 && channels <= 64) {
            std::vector<float*> in(static_cast<std::size_t>(std::max(channels, 1))), outs(in.size());
            std::fill(out.begin(), out.end(), 0.0f);
            for (std::size_t c = 0; c < in.size(); ++c) in[c] = outs[c] = nullptr;
            std::vector<float> input(kFrames * in.size() + 2 * kSlack, 0.1f);
            for (std::int32_t c = 0; c < channels; ++c) {
                in[static_cast<std::size_t>(c)] = input.data() + kSlack + kFrames * static_cast<std::size_t>(c);
                outs[static_cast<std::size_t>(c)] = out.data() + kSlack + kFrames * static_cast<std::size_t>(c);
            }
            if (isInstrument(e, 0)) instance.dispatch(effProcessEvents, 0, 0, notes.get());
            if ((e->flags & effFlagsCanReplacing) && e->processReplacing != nullptr) {
                instance.processReplacing(in.data(), outs.data(), 512);
            } else if (e->process != nullptr) {
                instance.process(in.data(), outs.data(), 512);
            }
        }
        instance.dispatch(effMainsChanged, 0, 0);
        instance.close();
    };
    // A plug-in that takes long to open gets fewer cycles, within a time
    // budget that grows with strictness; the note says so.
    using Clock = std::chrono::steady_clock;
    const double budget = 4.0 * ctx.strictness();
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    int warmed = 0;
    while (warmed < warmUp && (warmed < 3 || elapsed() < 0.2 * budget)) cycle(warmed++);
    const double perCycleSeconds = elapsed() / warmed;
    constexpr int kSegments = 4;
    const int affordable = static_cast<int>((budget - elapsed()) / std::max(perCycleSeconds, 1e-9));
    const int perSegment = std::max(std::min(cycles - warmUp, affordable) / kSegments, 5);
    if (warmed + perSegment * kSegments < cycles) {
        char b[160];
        (void)std::snprintf(b, sizeof b, "a cycle takes %.3f s, so only %d of the %d cycles fit the %.0f s budget",
                            perCycleSeconds, warmed + perSegment * kSegments, cycles, budget);
        ctx.note(b);
    }
    std::size_t memory[kSegments + 1];
    memory[0] = memoryInUse();
    for (int s = 0; s < kSegments; ++s) {
        for (int i = 0; i < perSegment; ++i) cycle(i);
        memory[s + 1] = memoryInUse();
    }
    if (memory[0] == 0) {
        ctx.warn("no way to measure this process's memory here; leaks are not looked for");
        return;
    }
    bool steady = true;
    for (int s = 0; s < kSegments; ++s) steady = steady && memory[s + 1] > memory[s];
    const std::size_t growth = memory[kSegments] > memory[0] ? memory[kSegments] - memory[0] : 0;
    const std::size_t measured = static_cast<std::size_t>(perSegment) * kSegments;
    const std::size_t perCycle = growth / std::max<std::size_t>(measured, 1);
    if (steady && perCycle >= 64) {
        ctx.fail("memory grew steadily over " + std::to_string(measured) + " open/close cycles: " +
                 std::to_string(growth) + " bytes, about " + std::to_string(perCycle) + " bytes a cycle (" +
                 std::to_string(memory[0]) + " to " + std::to_string(memory[kSegments]) + ")");
    } else {
        ctx.note(std::to_string(warmed + measured) + " open/close cycles; memory " + std::to_string(memory[0]) + " -> " +
                 std::to_string(memory[kSegments]) + " bytes after warming up");
    }
}

// Half a second (scaled by strictness) of input and events fitted to the
// plug-in's pins, learnt from an instance that is closed again at once.
Material halfSecondOfMaterial(Context& ctx, float rate, std::int32_t block) {
    Plug probe(ctx, rate, block, false);
    return materialFor(ctx, probe, seconds(ctx, 0.5));
}

void testInstances(Context& ctx) {
    const int count = 2 + ctx.strictness() / 2;
    const float rate = 44100.0f;
    const std::int32_t block = 256;
    const Material m = halfSecondOfMaterial(ctx, rate, block);
    std::vector<std::vector<float>> alone;
    const bool same = deterministic(ctx, m, rate, block, &alone);
    std::vector<std::unique_ptr<Plug>> plugs;
    std::vector<Material> others;
    plugs.reserve(static_cast<std::size_t>(count));
    others.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) plugs.push_back(std::make_unique<Plug>(ctx, rate, block));
    for (int i = 1; i < count; ++i) others.push_back(materialFor(ctx, *plugs[static_cast<std::size_t>(i)], seconds(ctx, 0.5)));
    std::vector<std::unique_ptr<Renderer>> renderers;
    for (int i = 0; i < count; ++i) {
        Run run;
        run.where = renderWhere(rate, block) + ", instance " + std::to_string(i + 1) + " of " + std::to_string(count);
        run.keep = i == 0;
        Plug& p = *plugs[static_cast<std::size_t>(i)];
        if (i > 0) {
            // The others move their parameters about too, now and then.
            run.between = [&ctx, &p](std::int64_t block) {
                if (block % 8 != 0) return;
                for (std::int32_t k = 0; k < std::min(p.e->numParams, 64); ++k) {
                    p.instance->setParameter(k, static_cast<float>(ctx.uniform(0, 1)));
                }
            };
        }
        renderers.push_back(std::make_unique<Renderer>(ctx, p, i == 0 ? m : others[static_cast<std::size_t>(i - 1)], run));
    }
    for (bool any = true; any;) {  // block by block, in turn
        any = false;
        for (auto& r : renderers) any = r->next() || any;
    }
    for (auto& r : renderers) {
        if (r->failed()) return;
    }
    if (!same) {
        ctx.note("two fresh instances given the same input differ, so independence is not compared");
        return;
    }
    const std::string diff = difference(renderers[0]->outputs(), alone);
    if (!diff.empty()) {
        ctx.fail("instance 1 of " + std::to_string(count) + " sounds different beside the others than alone (" + diff +
                 "): instances share state");
    }
}

void testSuspendResume(Context& ctx) {
    const int cycles = 20 * ctx.strictness();
    Plug p(ctx, 44100.0f, 256);
    Material m = materialFor(ctx, p, 256.0 * cycles / 44100.0, 1.0);
    Run run;
    run.where = "process after a suspend and resume, blocks of 256";
    Renderer r(ctx, p, m, run);
    for (int i = 0; i < cycles && !r.done(); ++i) {
        p.suspend();
        if (ctx.strictness() >= 6 && i % 10 == 5) p.suspend();  // twice, as some hosts do
        p.resume();
        if (ctx.strictness() >= 6 && i % 10 == 7) p.resume();
        if (!r.next()) return;
    }
}

void testRates(Context& ctx) {
    for (double rate : ctx.settings.rates) {
        const auto r = static_cast<float>(rate);
        Plug p(ctx, r, 512);
        Material m = materialFor(ctx, p, seconds(ctx, 0.3));
        Run run;
        run.where = renderWhere(r, 512);
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testBlocks(Context& ctx) {
    std::vector<std::int32_t> blocks = ctx.settings.blocks;
    for (std::int32_t block : blocks) {
        Plug p(ctx, 44100.0f, block);
        const double frames = std::max<double>(4.0 * block, 4096.0 * ctx.strictness() / kDefaultStrictness);
        Material m = materialFor(ctx, p, frames / 44100.0);
        Run run;
        run.where = renderWhere(44100.0f, block);
        run.checks = kFinite | kGuards;
        // Full blocks first, then shorter ones, as hosts give at the end of a loop.
        const std::int64_t full = std::max<std::int64_t>(static_cast<std::int64_t>(m.frames) / block / 2, 1);
        run.blockSize = [&ctx, block, full](std::int64_t i) { return i < full ? block : ctx.integer(1, block); };
        Renderer(ctx, p, m, run).renderAll();
    }
    if (ctx.strictness() >= 7) {
        // Beyond the contract, but some hosts do it: more frames than announced.
        Plug p(ctx, 44100.0f, 256);
        Material m = materialFor(ctx, p, 8 * 4096 / 44100.0);
        Run run;
        run.where = "process at 44100 Hz, blocks of 4096 where 256 were announced";
        run.checks = kFinite | kGuards;
        run.blockSize = [](std::int64_t) { return 4096; };
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testRateBlockChanges(Context& ctx) {
    const struct {
        float rate;
        std::int32_t block;
    } changes[] = {{48000, 128}, {96000, 1024}, {22050, 64}, {44100, 512}, {192000, 32}, {8000, 2048}, {44100, 256}};
    Plug p(ctx, 44100.0f, 512);
    for (bool suspend : {true, false}) {
        if (!suspend && ctx.strictness() < 6) break;
        for (const auto& c : changes) {
            if (suspend) p.suspend();
            p.setRate(c.rate);
            p.setBlock(c.block);
            if (suspend) p.resume();
            Material m = materialFor(ctx, p, 4.0 * c.block / c.rate + 0.05);
            Run run;
            run.where = renderWhere(c.rate, c.block) + (suspend ? " after a suspended change" : " after a change while running");
            if (!Renderer(ctx, p, m, run).renderAll()) return;
        }
    }
}

void testZeroFrames(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    Material m = materialFor(ctx, p, 0.1);
    std::vector<Channel> ins(static_cast<std::size_t>(p.ins)), outs(static_cast<std::size_t>(p.outs));
    std::vector<float*> inPtrs(std::max<std::size_t>(ins.size(), 1), nullptr), outPtrs(std::max<std::size_t>(outs.size(), 1), nullptr);
    for (std::size_t c = 0; c < ins.size(); ++c) {
        ins[c].prepare(0);
        inPtrs[c] = ins[c].data();
    }
    for (std::size_t c = 0; c < outs.size(); ++c) {
        outs[c].prepare(0);
        outPtrs[c] = outs[c].data();
    }
    auto checkUntouched = [&](const char* how) {
        for (std::size_t c = 0; c < outs.size(); ++c) {
            long at = 0;
            if (outs[c].guardWritten(at)) {
                ctx.fail(std::string(how) + " of 0 frames: output " + std::to_string(c + 1) + " written (at " +
                         std::to_string(at) + ")");
            }
        }
        for (std::size_t c = 0; c < ins.size(); ++c) {
            long at = 0;
            if (ins[c].guardWritten(at)) {
                ctx.fail(std::string(how) + " of 0 frames: input " + std::to_string(c + 1) + " written");
            }
        }
    };
    for (int round = 0; round < 3 && ctx.failures == 0; ++round) {
        if (p.wantsEvents) {
            ctx.step("sending an empty event list");
            aerie::EventList empty;
            p.dispatch(effProcessEvents, 0, 0, empty.get());
        }
        if (p.replacing) {
            ctx.step("processReplacing of 0 frames");
            p.instance->processReplacing(inPtrs.data(), outPtrs.data(), 0);
            checkUntouched("processReplacing");
        }
        if (p.e->process != nullptr) {
            ctx.step("process of 0 frames");
            p.instance->process(inPtrs.data(), outPtrs.data(), 0);
            checkUntouched("process");
        }
        Run run;
        run.where = renderWhere(44100.0f, 512) + " after render calls of 0 frames";
        run.checks = kFinite | kGuards;
        Material short_ = materialFor(ctx, p, 1024 / 44100.0);
        if (!Renderer(ctx, p, short_, run).renderAll()) return;
    }
}

// ---- processing --------------------------------------------------------------

void testFinite(Context& ctx) {
    for (const auto& [rate, block] : {std::pair<float, std::int32_t>{44100.0f, 512}, {48000.0f, 64}, {96000.0f, 1000}}) {
        Plug p(ctx, rate, block);
        Material m = materialFor(ctx, p, seconds(ctx, 1.0));
        if (ctx.strictness() >= 6) {
            for (auto& ch : m.input) {
                for (std::size_t i = 0; i < ch.size(); i += 97) ch[i] *= 4.0f;  // peaks beyond full scale
            }
        }
        Run run;
        run.where = renderWhere(rate, block);
        Renderer(ctx, p, m, run).renderAll();
    }
}

void testSubnormals(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    const double silence = std::max(2.0, seconds(ctx, 8.0));
    Material m = materialFor(ctx, p, 0.5 + silence, 0.5 / (0.5 + silence));
    Run run;
    run.where = renderWhere(44100.0f, 512);
    run.checks = kFinite | kSubnormals;
    Renderer(ctx, p, m, run).renderAll();
}

void testGuards(Context& ctx) {
    for (std::int32_t block : {1, 7, 64, 333, 512}) {
        Plug p(ctx, 44100.0f, block);
        Material m = materialFor(ctx, p, std::max(8.0 * block, 2048.0) / 44100.0);
        Run run;
        run.where = renderWhere(44100.0f, block) + " with guard samples";
        run.checks = kFinite | kGuards;
        if (!Renderer(ctx, p, m, run).renderAll()) return;
    }
    // Buffers that end on a page the process may not touch: reading or
    // writing past the end crashes here instead of going unseen.
    for (std::int32_t block : {64, 512, 1000}) {
        Plug p(ctx, 44100.0f, block);
        Material m = materialFor(ctx, p, 8.0 * block / 44100.0);
        std::vector<std::unique_ptr<PageChannel>> ins, outs;
        std::vector<float*> inPtrs(static_cast<std::size_t>(std::max(p.ins, 1)), nullptr);
        std::vector<float*> outPtrs(static_cast<std::size_t>(std::max(p.outs, 1)), nullptr);
        for (std::int32_t c = 0; c < p.ins; ++c) {
            ins.push_back(std::make_unique<PageChannel>(static_cast<std::size_t>(block)));
            inPtrs[static_cast<std::size_t>(c)] = ins.back()->data();
        }
        for (std::int32_t c = 0; c < p.outs; ++c) {
            outs.push_back(std::make_unique<PageChannel>(static_cast<std::size_t>(block)));
            outPtrs[static_cast<std::size_t>(c)] = outs.back()->data();
        }
        for (std::int64_t pos = 0; pos + block <= m.frames; pos += block) {
            for (std::size_t c = 0; c < ins.size(); ++c) {
                std::memcpy(ins[c]->data(), m.input[c].data() + pos, static_cast<std::size_t>(block) * sizeof(float));
            }
            for (auto& o : outs) std::fill(o->data(), o->data() + block, 0.0f);
            ctx.step(renderWhere(44100.0f, block) + " into buffers that end at an inaccessible page (from frame " +
                     std::to_string(pos) + "): a crash here is a read or write outside the frames asked for");
            if (p.replacing) {
                p.instance->processReplacing(inPtrs.data(), outPtrs.data(), block);
            } else {
                p.instance->process(inPtrs.data(), outPtrs.data(), block);
            }
        }
    }
}

void testInputsUntouched(Context& ctx) {
    {
        Plug probe(ctx, 44100.0f, 512, false);
        if (probe.ins == 0) ctx.skip("the plug-in has no inputs");
    }
    for (std::int32_t block : {64, 512}) {
        Plug p(ctx, 44100.0f, block);
        Material m = materialFor(ctx, p, seconds(ctx, 0.5));
        Run run;
        run.where = renderWhere(44100.0f, block) + ", out of place";
        run.checks = kFinite | kInputs;
        if (!Renderer(ctx, p, m, run).renderAll()) return;
    }
}

// Renders through a fresh instance in the given mode and compares with the
// out-of-place render of another fresh instance.
void compareModes(Context& ctx, Mode mode, const char* what) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    const Material m = halfSecondOfMaterial(ctx, rate, block);
    std::vector<std::vector<float>> reference;
    if (!deterministic(ctx, m, rate, block, &reference)) {
        ctx.skip("two fresh instances given the same input differ, so " + std::string(what) + " cannot be compared");
    }
    Plug p(ctx, rate, block);
    Run run;
    run.where = renderWhere(rate, block, mode == Mode::InPlace ? "process in place" : "process (accumulating)");
    run.mode = mode;
    run.keep = true;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    std::vector<std::vector<float>> got = r.outputs();
    if (mode == Mode::Accumulate) {
        for (std::size_t c = 0; c < got.size(); ++c) {
            for (std::size_t i = 0; i < got[c].size(); ++i) {
                got[c][i] -= bed(static_cast<std::int32_t>(c), static_cast<std::int64_t>(i));
            }
        }
    }
    const double tolerance = mode == Mode::InPlace && ctx.strictness() >= 8 ? 0.0 : 1e-5;
    const std::string diff = difference(got, reference, tolerance);
    if (diff.empty()) return;
    if (mode == Mode::Accumulate && difference(r.outputs(), reference, tolerance).empty()) {
        ctx.fail(std::string(what) + " overwrites the outputs instead of adding to them");
    } else {
        ctx.fail(std::string(what) + " differs from processReplacing out of place: " + diff);
    }
}

void testInPlace(Context& ctx) {
    {
        Plug probe(ctx, 44100.0f, 512, false);
        if (probe.ins == 0 || probe.outs == 0) ctx.skip("in-place processing needs inputs and outputs");
    }
    compareModes(ctx, Mode::InPlace, "processing in place");
}

void testAccumulate(Context& ctx) {
    {
        Plug probe(ctx, 44100.0f, 512, false);
        if (!probe.replacing || probe.e->process == nullptr) ctx.skip("the plug-in offers only one render entry");
    }
    compareModes(ctx, Mode::Accumulate, "the accumulating entry (process)");
}

void testNotes(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    if (!p.instrument) ctx.skip("not an instrument");
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(44100.0f, 256) + " with notes";
    run.keep = true;
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) return;
    if (silent(r.outputs())) ctx.failFrom(8, "the instrument stays silent through " + std::to_string(m.events.size()) + " note events");
}

void testDeterministic(Context& ctx) {
    const float rate = 44100.0f;
    const std::int32_t block = 512;
    const Material m = halfSecondOfMaterial(ctx, rate, block);
    auto a = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (first instance)");
    auto b = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (second instance)");
    const std::string diff = difference(a, b);
    if (!diff.empty()) ctx.failFrom(8, "two fresh instances given the same input differ: " + diff);
}

// ---- parameters --------------------------------------------------------------

void testParameterRange(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    const int randoms = 2 * ctx.strictness();
    for (std::int32_t i = 0; i < p.e->numParams; ++i) {
        std::vector<float> values = {0.0f, 1.0f};
        for (int k = 0; k < randoms; ++k) values.push_back(static_cast<float>(ctx.uniform(0, 1)));
        for (float v : values) {
            ctx.step("setting parameter " + std::to_string(i + 1) + " to " + number(v));
            p.instance->setParameter(i, v);
            const float got = p.instance->getParameter(i);
            if (!(got >= 0.0f && got <= 1.0f)) {
                ctx.fail(parameterName(p, i) + ": set to " + number(v) + ", reads back " + number(got) +
                         " (values are 0 to 1)");
                break;
            }
        }
    }
}

void testParameterTexts(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    const std::size_t size = textSize(ctx, 8);
    for (std::int32_t i = 0; i < p.e->numParams; ++i) {
        const std::string who = "parameter " + std::to_string(i + 1);
        ctx.step("asking the name of " + who);
        if (!checkText(ctx, guardedText(p, effGetParamName, i, size), who + " name", size)) continue;
        ctx.step("asking the label of " + who);
        if (!checkText(ctx, guardedText(p, effGetParamLabel, i, size), who + " label", size)) continue;
        for (float v : {0.0f, 0.5f, 1.0f, static_cast<float>(ctx.uniform(0, 1))}) {
            p.instance->setParameter(i, v);
            ctx.step("asking the display text of " + who + " at " + number(v));
            if (!checkText(ctx, guardedText(p, effGetParamDisplay, i, size), who + " display text at " + number(v), size)) break;
        }
    }
}

void testAutomation(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    if (p.e->numParams == 0) ctx.skip("the plug-in has no parameters");
    Material m = materialFor(ctx, p, seconds(ctx, 1.0));
    Run run;
    run.where = renderWhere(44100.0f, 256) + " with random parameter changes between blocks";
    const std::int32_t n = p.e->numParams;
    const int perBlock = ctx.strictness() >= 8 ? n : std::min(n, 4);
    run.between = [&](std::int64_t) {
        for (int k = 0; k < perBlock; ++k) {
            const std::int32_t i = perBlock == n ? k : ctx.integer(0, n - 1);
            const int pick = ctx.integer(0, 9);
            p.instance->setParameter(i, pick == 0 ? 0.0f : pick == 1 ? 1.0f : static_cast<float>(ctx.uniform(0, 1)));
        }
    };
    Renderer(ctx, p, m, run).renderAll();
}

// ---- programs and state ------------------------------------------------------

void testPrograms(Context& ctx) {
    Plug p(ctx, 44100.0f, 256);
    const std::int32_t n = p.e->numPrograms;
    if (n == 0) ctx.skip("the plug-in has no programs");
    const std::size_t size = textSize(ctx, 24);
    const std::int32_t most = std::min(n, 32 * ctx.strictness());
    Material m = materialFor(ctx, p, 256.0 * (most + 1) / 44100.0);
    Run run;
    run.where = renderWhere(44100.0f, 256) + " after a program change";
    Renderer r(ctx, p, m, run);
    for (std::int32_t i = 0; i < most; ++i) {
        const std::int32_t program = ctx.strictness() >= 6 && i % 2 == 1 ? ctx.integer(0, n - 1) : i;
        ctx.step("selecting program " + std::to_string(program + 1) + " (effSetProgram)");
        p.dispatch(effSetProgram, 0, program);
        const auto current = p.dispatch(effGetProgram);
        if (current != program) {
            ctx.fail("selected program " + std::to_string(program + 1) + " (index " + std::to_string(program) +
                     "), effGetProgram answers index " + std::to_string(current));
        }
        ctx.step("asking the name of program " + std::to_string(program + 1));
        checkText(ctx, guardedText(p, effGetProgramName, 0, size), "program " + std::to_string(program + 1) + " name", size);
        ctx.step("asking the name of program " + std::to_string(program + 1) + " by index");
        checkText(ctx, guardedText(p, effGetProgramNameIndexed, program, size, -1),
                  "program " + std::to_string(program + 1) + " name by index", size);
        if (!r.next()) return;
    }
}

struct Chunk {
    std::vector<unsigned char> bytes;
    bool given = false;
};

Chunk getChunk(Context& ctx, Plug& p, bool preset) {
    ctx.step(std::string("getting the ") + (preset ? "program" : "bank") + " chunk (effGetChunk)");
    void* data = nullptr;
    const VstIntPtr size = p.dispatch(effGetChunk, preset ? 1 : 0, 0, &data);
    Chunk c;
    if (size > 0 && data != nullptr && size < (VstIntPtr{1} << 30)) {
        c.given = true;
        c.bytes.assign(static_cast<unsigned char*>(data), static_cast<unsigned char*>(data) + size);
    }
    return c;
}

void setChunk(Context& ctx, Plug& p, bool preset, std::vector<unsigned char> bytes, const std::string& what) {
    ctx.step(std::string("setting the ") + (preset ? "program" : "bank") + " chunk to " + what + " (effSetChunk)");
    p.dispatch(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(bytes.size()), bytes.empty() ? nullptr : bytes.data());
}

std::string firstDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b) {
    if (a.size() != b.size()) return std::to_string(a.size()) + " bytes, then " + std::to_string(b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i] != b[i]) {
            char s[64];
            (void)std::snprintf(s, sizeof s, "byte %zu: 0x%02X, then 0x%02X", i, a[i], b[i]);
            return s;
        }
    }
    return "";
}

void testChunks(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (!(p.e->flags & effFlagsProgramChunks)) ctx.skip("the plug-in keeps no chunks (flag programChunks)");
    for (std::int32_t i = 0; i < std::min(p.e->numParams, 256); ++i) p.instance->setParameter(i, static_cast<float>(ctx.uniform(0, 1)));
    for (bool preset : {false, true}) {
        const char* kind = preset ? "program chunk" : "bank chunk";
        const Chunk first = getChunk(ctx, p, preset);
        if (!first.given) {
            ctx.warn(std::string("effGetChunk gives no ") + kind + " although the plug-in announces chunks");
            continue;
        }
        setChunk(ctx, p, preset, first.bytes, "its own");
        const Chunk again = getChunk(ctx, p, preset);
        const std::string diff = firstDifference(first.bytes, again.bytes);
        if (!diff.empty()) ctx.fail(std::string("get, set, get of the ") + kind + " gives different bytes: " + diff);
        Plug other(ctx, 44100.0f, 512);
        setChunk(ctx, other, preset, first.bytes, "another instance's");
        const Chunk copied = getChunk(ctx, other, preset);
        const std::string otherDiff = firstDifference(first.bytes, copied.bytes);
        if (!otherDiff.empty()) {
            ctx.failFrom(6, std::string("a ") + kind + " set into a fresh instance comes back different: " + otherDiff);
        }
    }
}

void testBadChunks(Context& ctx) {
    Plug p(ctx, 44100.0f, 512);
    if (!(p.e->flags & effFlagsProgramChunks)) ctx.skip("the plug-in keeps no chunks (flag programChunks)");
    const Chunk good = getChunk(ctx, p, false);
    std::vector<std::pair<std::string, std::vector<unsigned char>>> cases;
    cases.emplace_back("an empty chunk", std::vector<unsigned char>{});
    for (std::size_t size : {1u, 4u, 16u, 1000u, 100000u}) {
        std::vector<unsigned char> garbage(size);
        for (auto& b : garbage) b = static_cast<unsigned char>(ctx.rng());
        cases.emplace_back(std::to_string(size) + " random bytes", garbage);
    }
    cases.emplace_back("4096 bytes of 0xFF", std::vector<unsigned char>(4096, 0xFF));
    cases.emplace_back("4096 zero bytes", std::vector<unsigned char>(4096, 0));
    if (good.bytes.size() > 1) {
        cases.emplace_back("its own chunk cut in half",
                           std::vector<unsigned char>(good.bytes.begin(), good.bytes.begin() + static_cast<std::ptrdiff_t>(good.bytes.size() / 2)));
    }
    Material m = materialFor(ctx, p, 512.0 * 2 * static_cast<double>(cases.size() + 1) / 44100.0);
    Run run;
    run.where = renderWhere(44100.0f, 512) + " after a bad chunk";
    Renderer r(ctx, p, m, run);
    for (const auto& [what, bytes] : cases) {
        for (bool preset : {false, true}) setChunk(ctx, p, preset, bytes, what);
        if (!r.next()) return;
        getChunk(ctx, p, false);
    }
}

// ---- host requests -----------------------------------------------------------

void testHostRequests(Context& ctx) {
    std::vector<aerie::HostRequest> all;
    {
        Plug p(ctx, 44100.0f, 512);
        Material m = materialFor(ctx, p, 1.0);
        Run run;
        run.where = renderWhere(44100.0f, 512) + " in an ordinary session";
        run.between = [&](std::int64_t i) {
            if (p.e->numParams > 0 && i % 8 == 0) {
                p.instance->setParameter(static_cast<std::int32_t>(i / 8 % p.e->numParams), static_cast<float>(ctx.uniform(0, 1)));
            }
            if (p.e->numPrograms > 1 && i % 32 == 16) p.dispatch(effSetProgram, 0, i / 32 % p.e->numPrograms);
        };
        Renderer(ctx, p, m, run).renderAll();
        p.suspend();
        all = p.host.requests;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i > 0 && all[i].effect != p.e && all[i].effect != nullptr) {
                ctx.warn(aerie::hostRequestName(all[i].opcode) + " came with a record that is not the instance's");
                break;
            }
        }
    }
    std::vector<std::pair<std::int32_t, int>> counts;
    for (const auto& r : all) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.opcode; });
        if (it == counts.end()) {
            counts.emplace_back(r.opcode, 1);
        } else {
            ++it->second;
        }
    }
    std::string asked, unsupported;
    for (const auto& [opcode, n] : counts) {
        const std::string item = aerie::hostRequestName(opcode) + " x" + std::to_string(n);
        std::string& into = ValidatorHost::supported(opcode) ? asked : unsupported;
        into += (into.empty() ? "" : ", ") + item;
    }
    ctx.note("asked the host: " + (asked.empty() ? std::string("nothing") : asked));
    if (!unsupported.empty()) ctx.note("requests this host does not support (answered 0): " + unsupported);
}

}  // namespace

const std::vector<TestDef>& catalog() {
    static const std::vector<TestDef> tests = {
        {"loading.module", "the module loads with every symbol resolved", 1, testModule},
        {"loading.entry", "the entry is found (VSTPluginMain, then main)", 1, testEntry},
        {"loading.record", "the entry gives a record with the magic number, sane counts and entries", 1, testRecord},
        {"loading.identity", "names, identifier, version, category, pins and flags agree in two instances", 1, testIdentity},
        {"lifecycle.open-close", "open/close cycles (40 per strictness step) with the memory measured", 1, testOpenClose},
        {"lifecycle.instances", "several instances at once render independently", 2, testInstances},
        {"lifecycle.suspend-resume", "suspend/resume cycles between rendered blocks", 1, testSuspendResume},
        {"lifecycle.rates", "every sample rate of --rates, from 8000 to 384000 Hz and a fractional one", 1, testRates},
        {"lifecycle.blocks", "every block size of --blocks, shorter blocks than announced, and (7+) longer", 1, testBlocks},
        {"lifecycle.rate-block-changes", "rates and block sizes changed with a suspend between, and (6+) without", 2, testRateBlockChanges},
        {"lifecycle.zero-frames", "render calls of 0 frames and empty event lists write nothing", 1, testZeroFrames},
        {"processing.finite", "outputs hold no NaN, no infinity and no unwritten frame", 1, testFinite},
        {"processing.subnormals", "no subnormal output once the input or the last note has died away", 3, testSubnormals},
        {"processing.guards", "nothing written before or past the frames asked for (guard samples, guard pages)", 1, testGuards},
        {"processing.inputs-untouched", "inputs are left untouched by out-of-place processing", 1, testInputsUntouched},
        {"processing.in-place", "in-place processing gives what out-of-place processing gives", 2, testInPlace},
        {"processing.accumulate", "the accumulating and replacing entries agree", 2, testAccumulate},
        {"processing.notes", "instruments play notes: pairs, lone note-offs, repeats, overlaps, block edges, velocity 0", 1, testNotes},
        {"processing.deterministic", "two fresh instances give the same output bit for bit (a warning below 8)", 3, testDeterministic},
        {"parameters.range", "every parameter set to 0, 1 and random values reads back within 0 to 1", 1, testParameterRange},
        {"parameters.texts", "parameter names, labels and display texts end inside the host's buffer (8 characters at 9+)", 1, testParameterTexts},
        {"parameters.automation", "random parameter changes between blocks keep the output finite", 2, testAutomation},
        {"programs.switching", "program switching, effGetProgram and program names", 1, testPrograms},
        {"state.chunks", "get, set and get again of bank and program chunks give the same bytes", 1, testChunks},
        {"state.bad-chunks", "empty, garbage and truncated chunks are survived", 2, testBadChunks},
        {"host.requests", "the requests the plug-in makes of the host, unsupported ones listed", 1, testHostRequests},
    };
    return tests;
}

void runTest(const TestDef& test, const Settings& settings, Reporter& reporter) {
    Context ctx(settings, reporter, testSeed(settings.seed, test.name));
    try {
        test.run(ctx);
    } catch (const Skipped& s) {
        reporter.skip(s.why);
    } catch (const Stop&) {
    } catch (const aerie::HostError& e) {
        reporter.fail(e.what());
    } catch (const std::exception& e) {
        reporter.fail(std::string("the validator failed: ") + e.what());
    }
    if (ctx.failures > 10) reporter.fail("... and " + std::to_string(ctx.failures - 10) + " more failures");
}

}  // namespace validate
