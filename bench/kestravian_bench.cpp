// How fast Kestravian renders, next to the floor set by its own recurrence.
//
// Every frame's state is the previous one times the coefficient, each part
// rounded to float: a serial chain of one complex multiply-and-round per
// frame that no implementation can shorten. `floor` times that chain alone;
// the plug-in's workloads are measured against it, and against a
// straightforward implementation (`naive`) of the same sound.
//
// Before anything is timed, each workload's output is compared bit for bit
// with the reference synthesizer of the test suites; the program stops on
// the first difference. After the usual Google Benchmark report it prints
// one table of medians and, last, the line of ratios other tooling reads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/abi/opcodes.h"
#include "synth/kestravian.h"
#include "tests/reference/reference.h"

namespace {

constexpr std::int32_t kBlock = 512;        // frames per render call
constexpr int kBlocks = 64;                 // render calls per timed iteration
constexpr std::int64_t kFrames = std::int64_t{kBlock} * kBlocks;
constexpr int kRestartEvery = 16;           // note 0 rings ~11,500 frames; restarted every 8,192
constexpr int kDenseStep = 8;               // dense: a note-on on every 8th frame

VstIntPtr VST_CALL quietHost(AEffect*, std::int32_t opcode, std::int32_t, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}

// ---- the workloads' events -------------------------------------------------

// The note-ons of one iteration, block by block: lists the plug-in is handed
// (built once, so handing them over allocates nothing) and the same notes for
// the reference.
struct Session {
    struct Note {
        std::int32_t frame;
        int note;
        int velocity;
    };
    using List = std::unique_ptr<reference::NoteOnList>;
    std::vector<std::vector<Note>> notes = std::vector<std::vector<Note>>(kBlocks);
    std::vector<List> lists = std::vector<List>(kBlocks);  // null for a block without note-ons

    void add(int block, std::int32_t frame, int note, int velocity) {
        notes[block].push_back({frame, note, velocity});
    }
    void seal() {
        for (int b = 0; b < kBlocks; ++b) {
            if (notes[b].empty()) continue;
            lists[b] = std::make_unique<reference::NoteOnList>(notes[b].size());
            for (const Note& n : notes[b]) lists[b]->add(n.frame, n.note, n.velocity);
        }
    }
};

// One click always ringing: note 0, restarted well before it decays.
Session ringingSession() {
    Session s;
    for (int b = 0; b < kBlocks; b += kRestartEvery) s.add(b, 0, 0, 127);
    s.seal();
    return s;
}

Session silentSession() { return {}; }

// A note-on on every 8th frame of every block, notes and velocities varied.
Session denseSession() {
    Session s;
    for (int b = 0; b < kBlocks; ++b) {
        for (int j = 0; j < kBlock / kDenseStep; ++j) {
            s.add(b, j * kDenseStep, (7 * b + 13 * j) % 128, 1 + (31 * b + 17 * j) % 127);
        }
    }
    s.seal();
    return s;
}

// What the reference synthesizer renders for a session: kFrames samples.
std::vector<float> referenceOutput(const Session& s) {
    reference::Synth synth(44100.0f);
    std::vector<float> out;
    for (int b = 0; b < kBlocks; ++b) {
        for (const Session::Note& n : s.notes[b]) synth.noteOn(n.frame, n.note, n.velocity);
        const std::vector<float> block = synth.render(kBlock);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

// ---- the plug-in, driven through its record as a host does --------------------

class Instance {
public:
    Instance() : effect_((new Kestravian(quietHost))->getAeffect()) {
        call(effOpen);
        call(effSetSampleRate, 0, nullptr, 44100.0f);
        call(effSetBlockSize, kBlock);
        call(effMainsChanged, 1);
    }
    ~Instance() { call(effClose); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // One iteration: each block's note-ons, then one render call per block
    // into the host's buffer `out` (kBlock samples), which `each` sees after
    // every block.
    template <bool accumulate, typename Each>
    void run(const Session& s, float* out, Each&& each) {
        float* outputs[1] = {out};
        for (int b = 0; b < kBlocks; ++b) {
            if (s.lists[b]) call(effProcessEvents, 0, s.lists[b]->get());
            if constexpr (accumulate) {
                effect_->process(effect_, nullptr, outputs, kBlock);
            } else {
                effect_->processReplacing(effect_, nullptr, outputs, kBlock);
            }
            each(b);
        }
    }

private:
    void call(std::int32_t opcode, VstIntPtr value = 0, void* ptr = nullptr, float opt = 0.0f) {
        effect_->dispatcher(effect_, opcode, 0, value, ptr, opt);
    }
    AEffect* effect_;
};

// ---- the straightforward implementation ------------------------------------

// The same synthesizer as the textbook would have it: a std::map schedule,
// std::complex<float> state multiplied in double, the standard library's
// complex modulus every frame.
class Naive {
public:
    void processEvents(const VstEvents* events) {
        for (std::int32_t i = 0; i < events->numEvents; ++i) {
            const VstEvent* e = eventSlots(events)[i];
            if (e->type != kVstMidiType) continue;
            const auto* midi = reinterpret_cast<const unsigned char*>(e) + offsetof(VstMidiEvent, midiData);
            if ((midi[0] & 0xF0) != 0x90) continue;
            const int velocity = midi[2] & 0x7F;
            auto it = schedule_.find(e->deltaFrames);
            if (it == schedule_.end()) {
                schedule_.emplace(e->deltaFrames, std::pair{velocity, midi[1] & 0x7F});
            } else if (it->second.first < velocity) {
                it->second = {velocity, midi[1] & 0x7F};
            }
        }
    }

    void processReplacing(float* out, std::int32_t frames) {
        auto next = schedule_.begin();
        for (std::int32_t i = 0; i < frames; ++i) {
            if (next != schedule_.end() && i >= next->first) {
                start(next->second.second, next->second.first);
                ++next;
            }
            out[i] = state_.imag();
            state_ = std::complex<float>(std::complex<double>(state_) * std::complex<double>(coefficient_));
            if (!(std::abs(state_) >= 0.00001)) state_ = {0.0f, 0.0f};
        }
        schedule_.clear();
    }

private:
    void start(int note, int velocity) {
        const float x = static_cast<float>(static_cast<double>(note + 1.0f) * rateFactor_);
        const std::complex<float> z = std::complex<float>(x, 0.0f) * std::complex<float>(-0.001f, 0.01f);
        const double e = std::exp(static_cast<double>(z.real()));
        coefficient_ = {static_cast<float>(e * static_cast<float>(std::cos(static_cast<double>(z.imag())))),
                        static_cast<float>(e * static_cast<float>(std::sin(static_cast<double>(z.imag()))))};
        state_ = {static_cast<float>(velocity * (1.0 / 127.0)), 0.0f};
    }

    float rateFactor_ = 1.0f;  // 44100 Hz
    std::map<std::int32_t, std::pair<int, int>> schedule_;  // frame -> (velocity, note)
    std::complex<float> state_{0.0f, 0.0f};
    std::complex<float> coefficient_{0.0f, 0.0f};
};

template <typename Each>
void runNaive(Naive& synth, const Session& s, float* out, Each&& each) {
    for (int b = 0; b < kBlocks; ++b) {
        if (s.lists[b]) synth.processEvents(s.lists[b]->get());
        synth.processReplacing(out, kBlock);
        each(b);
    }
}

// ---- the floor -----------------------------------------------------------------

// The bare recurrence of the ringing workload: the same coefficient, the
// same restarts, the same number of frames; no gate, no output, no schedule.
// With `record`, the imaginary parts are kept (for the check only).
template <bool record>
void runFloor(float startRe, float cr, float ci, float* trace) {
    float re = 0.0f, im = 0.0f;
    const double dcr = cr, dci = ci;
    for (int b = 0; b < kBlocks; ++b) {
        if (b % kRestartEvery == 0) {
            re = startRe;
            im = 0.0f;
        }
        for (std::int32_t k = 0; k < kBlock; ++k) {
            if constexpr (record) trace[std::int64_t{b} * kBlock + k] = im;
            const auto nextRe = static_cast<float>(re * dcr - im * dci);
            const auto nextIm = static_cast<float>(re * dci + im * dcr);
            re = nextRe;
            im = nextIm;
        }
        benchmark::DoNotOptimize(re);
        benchmark::DoNotOptimize(im);
    }
}

// Note 0 at velocity 127, as the plug-in starts it.
Resonator note0() {
    Resonator r;
    r.start(0, 127, 1.0f);
    return r;
}

// ---- the check -------------------------------------------------------------------

// Bit for bit, -0 and +0 told apart; stops the program on a difference.
void expectSame(const char* workload, const std::vector<float>& got, const std::vector<float>& want) {
    for (std::size_t i = 0; i < want.size(); ++i) {
        std::uint32_t a, b;
        std::memcpy(&a, &got[i], 4);
        std::memcpy(&b, &want[i], 4);
        if (a != b) {
            std::fprintf(stderr, "%s: frame %zu is %a, the reference has %a\n", workload, i,
                         static_cast<double>(got[i]), static_cast<double>(want[i]));
            std::exit(1);
        }
    }
}

// Something the host had in its buffer before an accumulating call, -0 among it.
float hostSample(std::int64_t i) {
    return (i % 7 == 3) ? -0.0f : static_cast<float>(static_cast<double>((i * 2654435761u) % 2001) / 1000.0 - 1.0);
}

void checkAll() {
    const std::vector<float> ringing = referenceOutput(ringingSession());
    std::vector<float> got(kFrames);
    std::vector<float> buffer(kBlock);

    {
        const Resonator r = note0();
        runFloor<true>(r.state.real(), r.coefficient.real(), r.coefficient.imag(), got.data());
        expectSame("floor", got, ringing);  // the gate never closes within a restart period
    }
    const auto capture = [&](int b) {
        std::copy(buffer.begin(), buffer.end(), got.begin() + std::int64_t{b} * kBlock);
    };
    {
        Instance p;
        p.run<false>(ringingSession(), buffer.data(), capture);
        expectSame("ringing", got, ringing);
    }
    {
        // Fresh host samples before each call; the sum is the float sum.
        Instance p;
        std::vector<float> want(kFrames);
        for (std::int64_t k = 0; k < kBlock; ++k) buffer[k] = hostSample(k);
        p.run<true>(ringingSession(), buffer.data(), [&](int b) {
            for (std::int64_t k = 0; k < kBlock; ++k) {
                const std::int64_t i = std::int64_t{b} * kBlock + k;
                want[i] = hostSample(i) + ringing[i];
                got[i] = buffer[k];
                buffer[k] = hostSample(i + kBlock);
            }
        });
        expectSame("accumulate", got, want);
    }
    {
        Instance p;
        std::fill(buffer.begin(), buffer.end(), 1.0f);
        p.run<false>(silentSession(), buffer.data(), capture);
        expectSame("silence", got, referenceOutput(silentSession()));
    }
    {
        Instance p;
        p.run<false>(denseSession(), buffer.data(), capture);
        expectSame("dense", got, referenceOutput(denseSession()));
    }
    {
        Naive n;
        runNaive(n, ringingSession(), buffer.data(), capture);
        expectSame("naive", got, ringing);
    }
}

// ---- the timed workloads -------------------------------------------------------

// Frames per second, and its inverse: seconds per frame (shown as "ns").
void setFrames(benchmark::State& state) {
    const auto frames = static_cast<double>(kFrames);
    state.counters["frames/s"] = benchmark::Counter(frames, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["per_frame"] = benchmark::Counter(
        frames, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void bm_floor(benchmark::State& state) {
    const Resonator r = note0();
    for (auto _ : state) runFloor<false>(r.state.real(), r.coefficient.real(), r.coefficient.imag(), nullptr);
    setFrames(state);
}

template <bool accumulate>
void plugin(benchmark::State& state, const Session& s) {
    Instance p;
    std::vector<float> buffer(kBlock, 0.0f);
    const auto each = [&](int) { benchmark::ClobberMemory(); };
    p.run<accumulate>(s, buffer.data(), each);  // warm-up
    for (auto _ : state) p.run<accumulate>(s, buffer.data(), each);
    setFrames(state);
}

void bm_ringing(benchmark::State& state) { plugin<false>(state, ringingSession()); }
void bm_accumulate(benchmark::State& state) { plugin<true>(state, ringingSession()); }
void bm_silence(benchmark::State& state) { plugin<false>(state, silentSession()); }
void bm_dense(benchmark::State& state) { plugin<false>(state, denseSession()); }

void bm_naive(benchmark::State& state) {
    Naive n;
    const Session s = ringingSession();
    std::vector<float> buffer(kBlock, 0.0f);
    const auto each = [&](int) { benchmark::ClobberMemory(); };
    for (auto _ : state) runNaive(n, s, buffer.data(), each);
    setFrames(state);
}

// ---- the summary ---------------------------------------------------------------

// The processor's model name as Linux reports it.
std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
        }
    }
    return "unknown processor";
}

// The usual console report, keeping each workload's CPU time per frame: the
// median of the repetitions, or the one run when there are none.
class Summary : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const double seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double ns = seconds * 1e9 / static_cast<double>(kFrames);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                median_[run.run_name.function_name] = ns;
            } else if (run.run_type == Run::RT_Iteration) {
                single_[run.run_name.function_name] = ns;
            }
        }
    }

    // The table, and the ratios line when all six workloads ran.
    void print() const {
        static const char* const order[] = {"floor", "ringing", "accumulate", "silence", "dense", "naive"};
        std::map<std::string, double> ns;
        for (const char* name : order) {
            if (median_.count(name) != 0) {
                ns[name] = median_.at(name);
            } else if (single_.count(name) != 0) {
                ns[name] = single_.at(name);
            }
        }
        const auto& cpu = benchmark::CPUInfo::Get();
        std::printf("\nmachine: %s, %d CPUs at %.0f MHz\n", cpuModel().c_str(), cpu.num_cpus,
                    cpu.cycles_per_second / 1e6);
        std::printf("CPU time per iteration (%s), %lld frames in %d blocks of %d\n",
                    median_.empty() ? "one run" : "median of the repetitions", static_cast<long long>(kFrames),
                    kBlocks, static_cast<int>(kBlock));
        std::printf("%-12s %16s %12s\n", "workload", "frames/s", "ns/frame");
        for (const char* name : order) {
            if (ns.count(name) != 0) std::printf("%-12s %16.0f %12.3f\n", name, 1e9 / ns.at(name), ns.at(name));
        }
        if (ns.size() != std::size(order)) return;
        std::printf("ratios: ringing/floor=%.2f accumulate/ringing=%.2f silence_speedup=%.1f dense/ringing=%.1f "
                    "naive/ringing=%.1f\n",
                    ns["ringing"] / ns["floor"], ns["accumulate"] / ns["ringing"], ns["ringing"] / ns["silence"],
                    ns["dense"] / ns["ringing"], ns["naive"] / ns["ringing"]);
    }

private:
    std::map<std::string, double> median_;
    std::map<std::string, double> single_;
};

}  // namespace

int main(int argc, char** argv) {
    // Defaults for a noisy shared machine: many short runs, interleaved so
    // that a busy moment does not fall on one workload only, medians reported.
    std::vector<std::string> args(argv, argv + argc);
    const auto given = [&](const char* flag) {
        return std::any_of(args.begin(), args.end(), [&](const std::string& a) { return a.rfind(flag, 0) == 0; });
    };
    if (!given("--benchmark_repetitions")) args.emplace_back("--benchmark_repetitions=21");
    if (!given("--benchmark_min_time")) args.emplace_back("--benchmark_min_time=0.1");
    if (!given("--benchmark_enable_random_interleaving")) args.emplace_back("--benchmark_enable_random_interleaving=true");
    if (!given("--benchmark_report_aggregates_only")) args.emplace_back("--benchmark_report_aggregates_only=true");
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    int count = static_cast<int>(argp.size());
    benchmark::Initialize(&count, argp.data());
    if (benchmark::ReportUnrecognizedArguments(count, argp.data())) return 2;

    checkAll();
    std::printf("all six workloads match the reference bit for bit\n\n");
    std::fflush(stdout);

    benchmark::RegisterBenchmark("floor", bm_floor);
    benchmark::RegisterBenchmark("ringing", bm_ringing);
    benchmark::RegisterBenchmark("accumulate", bm_accumulate);
    benchmark::RegisterBenchmark("silence", bm_silence);
    benchmark::RegisterBenchmark("dense", bm_dense);
    benchmark::RegisterBenchmark("naive", bm_naive);

    Summary summary;
    benchmark::RunSpecifiedBenchmarks(&summary);
    benchmark::Shutdown();
    summary.print();
    return 0;
}
