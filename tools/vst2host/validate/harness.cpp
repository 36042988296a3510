#include "tools/vst2host/validate/harness.h"

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

void BlockEvents::add(const TimedEvent& ev, std::int32_t delta, std::vector<std::vector<unsigned char>>& messages) {
    if (ev.sysex >= 0 && static_cast<std::size_t>(ev.sysex) < messages.size()) {
        auto& bytes = messages[static_cast<std::size_t>(ev.sysex)];
        SysexEvent e{};
        e.type = kSysexType;
        e.byteSize = static_cast<std::int32_t>(sizeof(SysexEvent) - 8);
        e.deltaFrames = delta;
        e.dumpBytes = static_cast<std::int32_t>(bytes.size());
        e.sysexDump = reinterpret_cast<char*>(bytes.data());
        order_.emplace_back(true, sysex_.size());
        sysex_.push_back(e);
        return;
    }
    VstMidiEvent e{};
    e.type = kVstMidiType;
    e.byteSize = static_cast<std::int32_t>(sizeof(VstMidiEvent) - 8);
    e.deltaFrames = delta;
    for (int i = 0; i < 3; ++i) e.midiData[i] = static_cast<char>(ev.bytes[i]);
    order_.emplace_back(false, midi_.size());
    midi_.push_back(e);
}

VstEvents* BlockEvents::get() {
    // The list's pointers, one per event: the record ends in an array of them.
    constexpr std::size_t kPointer = sizeof(void*);
    const std::size_t bytes = offsetof(VstEvents, events) + std::max<std::size_t>(order_.size(), 2) * kPointer;
    if (list_.size() < bytes) list_.resize(bytes);
    auto* list = reinterpret_cast<VstEvents*>(list_.data());
    list->numEvents = static_cast<std::int32_t>(order_.size());
    list->reserved = 0;
    for (std::size_t i = 0; i < order_.size(); ++i) {
        const auto [isSysex, index] = order_[i];
        eventSlots(list)[i] = isSysex ? reinterpret_cast<VstEvent*>(&sysex_[index]) : reinterpret_cast<VstEvent*>(&midi_[index]);
    }
    return list;
}

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

}  // namespace validate
