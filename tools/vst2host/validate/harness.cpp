#include "tools/vst2host/validate/harness.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#if defined(_WIN32)
#include <psapi.h>
#else
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

#include "tools/vst2host/validate/rt_monitor.h"

namespace validate {

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
bool isInstrument(AEffect* e, std::int32_t category) {
    return (e->flags & effFlagsIsSynth) != 0 || category == kPlugCategSynth;
}
Text guardedText(Plug& p, std::int32_t opcode, std::int32_t index, std::size_t size, VstIntPtr value) {
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
float bed(std::int32_t channel, std::int64_t frame) {
    return 0.125f * static_cast<float>((frame * 7 + std::int64_t{channel} * 13) % 17) / 17.0f;
}
std::string renderWhere(float rate, std::int32_t block, const char* how) {
    return std::string(how) + " at " + number(rate) + " Hz, blocks of " + std::to_string(block);
}
Material materialFor(Context& ctx, const Plug& p, double seconds, double activeShare) {
    const auto frames = static_cast<std::int64_t>(std::max(1.0, seconds * p.rate()));
    return makeMaterial(p.ins, p.wantsEvents, frames, static_cast<std::int64_t>(static_cast<double>(frames) * activeShare),
                        p.rate(), p.block(), ctx.rng());
}
bool silent(const std::vector<std::vector<float>>& out) {
    for (const auto& ch : out) {
        for (float v : ch) {
            if (v != 0.0f) return false;
        }
    }
    return true;
}
std::string parameterName(Plug& p, std::int32_t i) {
    const Text t = guardedText(p, effGetParamName, i, 256);
    return "parameter " + std::to_string(i + 1) + (t.terminated && t.pastEnd == 0 ? " " + quoted(t.text) : "");
}

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

std::string difference(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b,
                       double tolerance) {
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

std::vector<std::vector<float>> freshRender(Context& ctx, const Material& m, float rate, std::int32_t block,
                                            const std::string& where) {
    Plug p(ctx, rate, block);
    Run run;
    run.where = where;
    run.keep = true;
    run.budget = -1;  // compared with another render: always to the end
    Renderer r(ctx, p, m, run);
    if (!r.renderAll()) throw Stop{};
    return r.outputs();
}

bool deterministic(Context& ctx, const Material& m, float rate, std::int32_t block,
                   std::vector<std::vector<float>>* reference) {
    auto a = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (first instance)");
    auto b = freshRender(ctx, m, rate, block, renderWhere(rate, block) + " (second instance)");
    const bool same = difference(a, b).empty();
    if (reference != nullptr) *reference = std::move(a);
    return same;
}

}  // namespace validate

namespace validate {

void addMidiVariety(Material& m, std::int32_t block, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::int64_t active = m.activeFrames;
    if (active < 16) return;
    auto at = [&](double share) { return static_cast<std::int64_t>(share * static_cast<double>(active - 1)); };
    auto add = [&](std::int64_t f, int s, int d1, int d2) {
        m.events.push_back({f, {static_cast<unsigned char>(s), static_cast<unsigned char>(d1), static_cast<unsigned char>(d2)}});
    };
    // A note on every channel, released a little later.
    for (int ch = 0; ch < 16; ++ch) {
        const std::int64_t f = at(0.05 * ch / 16.0 + 0.01);
        add(f, 0x90 | ch, 48 + ch, 90);
        add(f + at(0.1), 0x80 | ch, 48 + ch, 40);
    }
    for (int k = 0; k < 24; ++k) {
        const std::int64_t f = at(0.1 + 0.8 * k / 24.0);
        const int ch = static_cast<int>(rng() % 16);
        switch (k % 8) {
        case 0: add(f, 0xE0 | ch, static_cast<int>(rng() % 128), static_cast<int>(rng() % 128)); break;  // pitch bend
        case 1: add(f, 0xB0 | ch, static_cast<int>(rng() % 120), static_cast<int>(rng() % 128)); break;  // a controller
        case 2: add(f, 0xC0 | ch, static_cast<int>(rng() % 128), 0); break;                               // program change
        case 3: add(f, 0xB0 | ch, 64, 127); add(f + 1, 0x90 | ch, 60, 100); add(f + 2, 0x80 | ch, 60, 0);
                add(f + 3, 0xB0 | ch, 64, 0); break;                                                      // sustain
        case 4: add(f, 0xD0 | ch, static_cast<int>(rng() % 128), 0); break;                               // channel pressure
        case 5: add(f, 0xA0 | ch, 60, static_cast<int>(rng() % 128)); break;                              // key pressure
        case 6: {
            const std::int64_t start = f / block * block;  // first and last frame of a block
            add(start, 0x90 | ch, 72, 100);
            add(start + block - 1, 0x80 | ch, 72, 0);
            break;
        }
        default: {
            std::vector<unsigned char> message = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};  // identity request
            if (k % 16 == 7) message = {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7};
            m.sysex.push_back(message);
            m.events.push_back({f, {0xF0, 0, 0}, static_cast<int>(m.sysex.size() - 1)});
            break;
        }
        }
    }
    add(at(0.95), 0xB0, 120, 0);  // all sound off
    add(at(0.96), 0xB0, 123, 0);  // all notes off
    for (int ch = 1; ch < 16; ++ch) add(at(0.97), 0xB0 | ch, 123, 0);
    for (auto& e : m.events) e.frame = std::min(e.frame, m.frames - 1);
    std::stable_sort(m.events.begin(), m.events.end(),
                     [](const TimedEvent& a, const TimedEvent& b) { return a.frame < b.frame; });
}

Plug& instanceAt(Context& ctx, std::unique_ptr<Plug>& reuse, float rate, std::int32_t block) {
    if (!reuse || ctx.strictness() >= 6) {
        reuse.reset();
        reuse = std::make_unique<Plug>(ctx, rate, block);
    } else {
        reuse->suspend();
        reuse->configure(rate, block);
        reuse->resume();
    }
    return *reuse;
}

Material halfSecondOfMaterial(Context& ctx, float rate, std::int32_t block) {
    Plug probe(ctx, rate, block, false);
    return materialFor(ctx, probe, seconds(ctx, 0.5));
}

std::int32_t declaredVersion(Plug& p) {
    return static_cast<std::int32_t>(p.dispatch(effGetVstVersion));
}

Chunk getChunk(Context& ctx, Plug& p, bool preset) {
    ctx.step(std::string("getting the ") + (preset ? "program" : "bank") + " chunk (effGetChunk)");
    aerie::ChunkAnswer a = p.instance->raw().readChunk(preset);
    Chunk c;
    c.given = a.kind == aerie::ChunkAnswer::Kind::Given;
    c.bytes = std::move(a.bytes);
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

std::string SavedState::describe() const {
    if (chunk) return "a bank chunk of " + std::to_string(bytes.size()) + " bytes";
    return "program " + std::to_string(program + 1) + " and " + std::to_string(parameters.size()) + " parameter values";
}

void randomiseState(Context& ctx, Plug& p) {
    if (p.e->numPrograms > 1) {
        const std::int32_t program = ctx.integer(0, p.e->numPrograms - 1);
        ctx.step("selecting program " + std::to_string(program + 1));
        p.dispatch(effSetProgram, 0, program);
    }
    ctx.step("setting random parameter values");
    for (std::int32_t i = 0; i < std::min(p.e->numParams, 1024); ++i) {
        p.instance->raw().setParameter(i, static_cast<float>(ctx.uniform(0, 1)));
    }
}

SavedState saveState(Context& ctx, Plug& p) {
    SavedState s;
    s.program = static_cast<std::int32_t>(p.dispatch(effGetProgram));
    if (p.e->flags & effFlagsProgramChunks) {
        Chunk c = getChunk(ctx, p, false);
        if (c.given) {
            s.chunk = true;
            s.bytes = std::move(c.bytes);
            return s;
        }
    }
    ctx.step("reading every parameter's value");
    for (std::int32_t i = 0; i < std::min(p.e->numParams, 1024); ++i) s.parameters.push_back(p.instance->raw().getParameter(i));
    return s;
}

void restoreState(Context& ctx, Plug& p, const SavedState& state) {
    if (p.e->numPrograms > 1) {
        ctx.step("selecting program " + std::to_string(state.program + 1));
        p.dispatch(effSetProgram, 0, state.program);
    }
    if (state.chunk) {
        setChunk(ctx, p, false, state.bytes, "the saved state");
        return;
    }
    ctx.step("setting every parameter's saved value");
    for (std::size_t i = 0; i < state.parameters.size(); ++i) {
        p.instance->raw().setParameter(static_cast<std::int32_t>(i), state.parameters[i]);
    }
}

namespace {
double power(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += static_cast<double>(v) * v;
    return x.empty() ? 0.0 : sum / static_cast<double>(x.size());
}
double decibels(double powerRatio) { return powerRatio <= 0 ? -1e9 : 10.0 * std::log10(powerRatio); }
}  // namespace

double differenceLevel(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
    double signal = 0, diff = 0;
    for (std::size_t c = 0; c < a.size() && c < b.size(); ++c) {
        for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i) {
            signal += static_cast<double>(a[c][i]) * a[c][i];
            const double d = static_cast<double>(a[c][i]) - b[c][i];
            diff += d * d;
        }
    }
    if (diff == 0) return -1e9;
    return signal == 0 ? 1e9 : decibels(diff / signal);
}

double levelMismatch(const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
    double most = 0;
    for (std::size_t c = 0; c < a.size() && c < b.size(); ++c) {
        const double pa = power(a[c]), pb = power(b[c]);
        if (pa == 0 && pb == 0) continue;
        most = std::max(most, std::fabs(decibels(pa) - decibels(pb)));
        if (pa == 0 || pb == 0) most = 1e9;
    }
    return most;
}

// ---- the context, the instance, buffers and renders ----------------------------

void Context::step(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    reporter.step(what);
}

void Context::fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (++failures <= 10) reporter.fail(what);
}

void Context::warn(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    reporter.warn(what);
}

void Context::note(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex_);
    reporter.note(what);
}

void Context::noteOnce(const std::string& key, const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::find(once_.begin(), once_.end(), key) != once_.end()) return;
        once_.push_back(key);
    }
    note(what);
}

void Context::failFrom(int strictness, const std::string& what) {
    if (settings.strictness >= strictness) {
        fail(what);
    } else {
        warn(what + " (a failure at strictness " + std::to_string(strictness) + ")");
    }
}

bool Context::outOfTime(const std::string& what) {
    if (elapsed() <= 2.0 * renderBudget()) return false;
    noteOnce("time", "stopped before " + what + ": the test used its " + number(2.0 * renderBudget()) +
                         " s budget at this strictness");
    return true;
}

const aerie::Module& Context::module() {
    if (!module_) {
        step("loading the module");
        module_ = aerie::Module::open(settings.module);
    }
    return *module_;
}

Plug::Plug(Context& ctx, float rate, std::int32_t block, bool resume, bool record)
    : ctx_(ctx), rate_(rate), block_(block) {
    ctx.step("creating an instance (calling the entry " + ctx.module().entryName() + ")");
    instance = std::make_unique<aerie::Instance>(ctx.module(), host);
    e = instance->raw().effect();
    ins = e->numInputs;
    outs = e->numOutputs;
    if (ins < 0 || ins > 1024 || outs < 0 || outs > 1024) {
        ctx.fail("the record announces " + std::to_string(ins) + " inputs and " + std::to_string(outs) +
                 " outputs; no host can pass those");
        throw Stop{};
    }
    replacing = (e->flags & effFlagsCanReplacing) != 0 && e->processReplacing != nullptr;
    ctx.step("opening the instance (effOpen)");
    instance->open();
    ctx.step("setting the sample rate to " + number(rate) + " Hz and the block size to " + std::to_string(block));
    instance->configure(rate, block);
    ctx.step("asking the category (effGetPlugCategory)");
    category = static_cast<std::int32_t>(dispatch(effGetPlugCategory));
    instrument = isInstrument(e, category);
    ctx.step("asking whether it takes MIDI (effCanDo)");
    wantsEvents = instrument || instance->canDo("receiveVstEvents") > 0 || instance->canDo("receiveVstMidiEvent") > 0;
    if (resume) this->resume();
    host.record = record;
}

Plug::~Plug() {
    if (instance && instance->raw().effect() != nullptr) {
        ctx_.step("closing the instance (effClose)");
        instance->close();
    }
}

void Plug::resume() {
    ctx_.step("resuming (effMainsChanged 1)");
    if (instance->state() == aerie::Instance::State::Ready) {
        instance->resume();
    } else {
        dispatch(effMainsChanged, 0, 1);  // a second resume, on purpose
    }
}

void Plug::suspend() {
    ctx_.step("suspending (effMainsChanged 0)");
    if (instance->state() == aerie::Instance::State::Running) {
        instance->suspend();
    } else {
        dispatch(effMainsChanged, 0, 0);  // a second suspend, on purpose
    }
}

void Plug::configure(float rate, std::int32_t block) {
    ctx_.step("setting the sample rate to " + number(rate) + " Hz and the block size to " + std::to_string(block));
    instance->configure(rate, block);
    rate_ = rate;
    block_ = block;
}

void Plug::setRate(float rate) {
    ctx_.step("setting the sample rate to " + number(rate) + " Hz");
    if (!running()) return configure(rate, block_);
    dispatch(effSetSampleRate, 0, 0, nullptr, rate);
    rate_ = rate;
    host.sampleRate = rate;
}

void Plug::setBlock(std::int32_t block) {
    ctx_.step("setting the block size to " + std::to_string(block));
    if (!running()) return configure(rate_, block);
    dispatch(effSetBlockSize, 0, block);
    block_ = block;
    host.blockSize = block;
}

void Channel::prepare(std::size_t frames) {
    frames_ = frames;
    storage_.assign(frames + 2 * kGuard, fromBits(kPattern));
}

bool Channel::guardWritten(long& at) const {
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

PageChannel::PageChannel(std::size_t frames) : frames_(frames) {
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

PageChannel::~PageChannel() {
#if defined(_WIN32)
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, size_);
#endif
}

Renderer::Renderer(Context& ctx, Plug& p, const Material& m, Run run)
    : ctx_(ctx), p_(p), m_(m), run_(std::move(run)) {
    ins_.resize(static_cast<std::size_t>(p.ins));
    outs_.resize(static_cast<std::size_t>(p.outs));
    if (run_.keep) kept_.assign(static_cast<std::size_t>(p.outs), {});
    inPtrs_.assign(static_cast<std::size_t>(std::max(p.ins, 1)), nullptr);
    outPtrs_.assign(static_cast<std::size_t>(std::max(p.outs, 1)), nullptr);
}

bool Renderer::next() {
    if (done()) return false;
    const double budget = run_.budget == 0.0 ? ctx_.renderBudget() : run_.budget;
    // Bounded twice: by the time the renders took, and by the test's
    // whole time, which counts what happens between blocks (suspends,
    // parameter changes) too.
    if (budget > 0.0 && index_ > 0 && (ctx_.renderTime() > budget || ctx_.elapsed() > 2.0 * budget)) {
        stopped_ = true;
        ctx_.noteOnce("budget", "rendering stopped at frame " + std::to_string(pos_) + " of " +
                                    std::to_string(m_.frames) + " after " + number(ctx_.renderTime()) +
                                    " s of rendering and " + number(ctx_.elapsed()) + " s in all (the budget at this strictness: " +
                                    number(budget) + " s of rendering, " + number(2.0 * budget) + " s in all)");
        return false;
    }
    const auto blockStart = std::chrono::steady_clock::now();
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
    const bool watch = run_.watch && index_ > 0;  // the first block may set up what it needs
    if (p_.wantsEvents) {
        events_.clear();
        while (event_ < m_.events.size() && m_.events[event_].frame < pos_ + n) {
            const TimedEvent& ev = m_.events[event_++];
            const auto delta = static_cast<std::int32_t>(ev.frame - pos_);
            if (ev.sysex >= 0 && static_cast<std::size_t>(ev.sysex) < m_.sysex.size()) {
                const std::vector<unsigned char>& message = m_.sysex[static_cast<std::size_t>(ev.sysex)];
                events_.addSysEx(delta, message.data(), message.size());
            } else {
                events_.addMidi(delta, ev.bytes[0], ev.bytes[1], ev.bytes[2]);
            }
        }
        if (events_.size() > 0) {
            ctx_.step("sending the events of " + where_);
            VstEvents* list = events_.get();
            if (watch) rt::arm("effProcessEvents");
            p_.dispatch(effProcessEvents, 0, 0, list);
            rt::disarm();
        }
    }
    ctx_.step(where_);
    if (run_.mode == Mode::Accumulate || !p_.replacing) {
        if (watch) rt::arm("process");
        p_.instance->raw().process(inPtrs_.data(), outPtrs_.data(), n);
    } else {
        if (watch) rt::arm("processReplacing");
        p_.instance->raw().processReplacing(inPtrs_.data(), outPtrs_.data(), n);
    }
    rt::disarm();
    p_.host.advance(n);
    check(frames, inPlace);
    if (run_.keep) {
        for (std::size_t c = 0; c < outs_.size(); ++c) {
            const float* d = outPtrs_[c];
            kept_[c].insert(kept_[c].end(), d, d + frames);
        }
    }
    pos_ += n;
    ++index_;
    ctx_.addRenderTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - blockStart).count());
    return !failed_;
}

bool Renderer::renderAll() {
    while (next()) {
    }
    return !failed_;
}

void Renderer::fail(const std::string& what) {
    ctx_.fail(where_ + ": " + what);
    failed_ = true;
}

void Renderer::check(std::size_t frames, bool inPlace) {
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
            // Named only when a frame fails: this loop sees every sample.
            const auto atFrame = [&] { return name + ", frame " + std::to_string(frame); };
            if ((run_.checks & kFinite) && bitsOf(v) == kPattern && p_.replacing && run_.mode != Mode::Accumulate) {
                return fail(atFrame() + " was not written (processReplacing must fill every frame)");
            }
            if ((run_.checks & kFinite) && std::isnan(v)) return fail(atFrame() + " is NaN");
            if ((run_.checks & kFinite) && std::isinf(v)) return fail(atFrame() + " is infinite (" + number(v) + ")");
            if ((run_.checks & kSubnormals) && frame >= m_.activeFrames && std::fpclassify(v) == FP_SUBNORMAL) {
                return fail(atFrame() + " is subnormal (" + number(v) + "), " +
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

AudioThread::AudioThread(Context& ctx, Plug& p, const Material& m, Run run)
    : renderer_(ctx, p, m, std::move(run)), thread_([this] {
          while (!stop_.load(std::memory_order_relaxed) && renderer_.next()) blocks_.fetch_add(1);
          finished_ = true;
      }) {}

void AudioThread::join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace validate
