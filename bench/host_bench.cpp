// What the command-line host costs per block, beside what the plug-in itself
// costs, at 512-frame blocks: Kestravian (an instrument, events every few
// blocks) and a third-party effect (ZamComp from zam-plugins, stereo in).
//
// `plug-in` calls the module's own entries straight, block after block, on
// fixed buffers: its events (prepared once) and processReplacing. `host`
// renders the same blocks the way `vst2host render` does: the block's events
// gathered into an event list, the chain renderer's channel mapping, timing
// of the plug-in calls and NaN/infinity check, with the input copied into the
// chain's buffers. The file formats are timed apart (decoding the input WAV,
// encoding and writing the output WAV): that is the tool's file I/O, which a
// host playing live would not do at all.
//
// The plug-in's and the host's runs are interleaved, and the host's cost is
// the median over the repetitions of each host run minus the plug-in run
// beside it: a pair sees the same machine, so the other programs' noise
// cancels, and the median ignores the pairs a burst of work disturbed. The
// share is that cost over the plug-in's median. It must stay at or below
// 5 % for a plug-in of ordinary cost (ZamComp, tens of microseconds a
// block); a subject over the limit is measured again, twice at most, so
// that one noisy run does not fail the command. Kestravian's whole block
// takes about 2 us, so a hundred nanoseconds of host work is 5 % of it: its
// share is reported, never held to the limit.
//
// Then the sandbox's start-up cost: the time from asking for a child to
// its end, for an operation that does nothing, against starting this
// program again (how probes were isolated before the sandbox).
//
// Last, what isolation costs with a worker (<aerie/worker.h>): a request's
// round trip to a child that answers at once, and a 512-frame stereo block
// rendered by an instance in the worker (the input written into the shared
// buffers, the request, the output read back) against the same block in
// this process, in interleaved pairs of runs as above.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <aerie/render.h>
#include <aerie/timeline.h>
#include <aerie/aerie.h>
#include <aerie/io/wav_writer.h>
#include <aerie/io/wav_reader.h>
#include <aerie/process.h>
#include <aerie/sandbox.h>
#include <aerie/worker.h>

namespace {

constexpr std::int32_t kBlock = 512;
constexpr int kBlocks = 64;         // blocks per timed run
constexpr int kRepetitions = 101;   // interleaved, plug-in then host
constexpr int kNoteEvery = 8;       // Kestravian: note 0 every 8 blocks (4,096 frames) keeps it ringing

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}
double fastest(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// A float WAV file of noise, in memory.
std::vector<unsigned char> noiseWav(int channels, std::size_t frames) {
    auto le = [](std::vector<unsigned char>& b, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    std::vector<unsigned char> b;
    const auto dataBytes = static_cast<std::uint32_t>(frames * static_cast<std::size_t>(channels) * 4);
    for (char c : std::string("RIFF")) b.push_back(static_cast<unsigned char>(c));
    le(b, 36 + dataBytes, 4);
    for (char c : std::string("WAVEfmt ")) b.push_back(static_cast<unsigned char>(c));
    le(b, 16, 4);
    le(b, 3, 2);
    le(b, static_cast<std::uint32_t>(channels), 2);
    le(b, 44100, 4);
    le(b, 44100 * 4 * static_cast<std::uint32_t>(channels), 4);
    le(b, 4 * static_cast<std::uint32_t>(channels), 2);
    le(b, 32, 2);
    for (char c : std::string("data")) b.push_back(static_cast<unsigned char>(c));
    le(b, dataBytes, 4);
    std::uint32_t x = 1;
    for (std::size_t i = 0; i < frames * static_cast<std::size_t>(channels); ++i) {
        x = x * 1664525u + 1013904223u;
        const float v = static_cast<float>(static_cast<std::int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 23) * 0.3f;
        std::uint32_t u;
        std::memcpy(&u, &v, 4);
        le(b, u, 4);
    }
    return b;
}

struct Subject {
    const char* name;
    std::string path;
    bool instrument;
    bool limited;  // held to the 5 % limit (a plug-in of ordinary cost)
};

struct Result {
    double pluginNs;  // per block, median
    double hostNs;    // what the host adds per block, median of the pairs
    double readNs;    // decoding the input file's block (effects only)
    double writeNs;   // encoding and writing the output file's block
    double dawNs;     // what the host adds per block with time info and automation on, median
};

Result measure(const Subject& s) {
    const auto module = aerie::Module::open(s.path);
    // One instance for both ways, so that they differ by the host alone.
    aerie::Host hostA;
    aerie::Instance a(*module, hostA);
    a.open();
    a.configure(44100.0, kBlock);
    hostA.record = false;
    AEffect* e = a.raw().effect();
    const int inputs = e->numInputs;
    const int outputs = e->numOutputs;
    const std::size_t frames = static_cast<std::size_t>(kBlock) * kBlocks;
    const std::vector<unsigned char> wav = noiseWav(std::max(inputs, 1), frames);

    // The plug-in alone: fixed buffers holding the same input, the events
    // prepared once per block that has them.
    std::vector<std::vector<float>> in(static_cast<std::size_t>(inputs) + 1, std::vector<float>(kBlock));
    std::vector<std::vector<float>> out(static_cast<std::size_t>(outputs) + 1, std::vector<float>(kBlock));
    std::vector<float*> inP;
    std::vector<float*> outP;
    for (auto& v : in) inP.push_back(v.data());
    for (auto& v : out) outP.push_back(v.data());
    {
        auto reader = aerie::WavReader::fromMemory(wav);
        reader->read(inP.data(), kBlock);
    }
    aerie::EventList direct;
    direct.addNoteOn(17, 0, 100);
    VstEvents* directEvents = direct.get();
    auto pluginRun = [&] {
        const auto t0 = Clock::now();
        for (int k = 0; k < kBlocks; ++k) {
            if (s.instrument && k % kNoteEvery == 0) a.raw().dispatch(effProcessEvents, 0, 0, directEvents);
            a.raw().processReplacing(inP.data(), outP.data(), kBlock);
        }
        return seconds(t0, Clock::now());
    };

    // The host's way, as `vst2host render` does it.
    std::vector<aerie::TimedMidi> schedule;
    for (int k = 0; k < kBlocks; k += kNoteEvery) {
        aerie::TimedMidi m;
        m.frame = static_cast<std::uint64_t>(k) * kBlock + 17;
        m.bytes[0] = 0x90;
        m.bytes[1] = 0;
        m.bytes[2] = 100;
        schedule.push_back(m);
    }
    aerie::ChainRenderer renderer({{&a, s.instrument}}, s.instrument ? 0 : inputs, kBlock);
    aerie::EventList list;
    // The DAW case: the song position answered to every time request, and a
    // parameter automated every few blocks (to the value it has).
    const aerie::Timeline timeline(aerie::TimelineSettings{44100, 960, {{0, 500000}, {7680, 400000}}, {{0, 3, 4}}, {}, {}});
    bool daw = false;
    const float automated = e->numParams > 0 ? a.raw().getParameter(0) : 0.0f;
    auto hostRun = [&] {
        renderer.setTimeline(daw ? &timeline : nullptr);
        const auto t0 = Clock::now();
        auto next = schedule.begin();
        std::uint64_t start = 0;
        for (int k = 0; k < kBlocks; ++k, start += kBlock) {
            // The input arrives as the plug-in alone has it, in a buffer.
            for (int c = 0; c < renderer.inputChannels(); ++c) {
                std::memcpy(renderer.inputs()[c], inP[static_cast<std::size_t>(c)], sizeof(float) * kBlock);
            }
            list.clear();
            while (next != schedule.end() && next->frame < start + kBlock) {
                list.addMidi(static_cast<std::int32_t>(next->frame - start), next->bytes[0], next->bytes[1], next->bytes[2]);
                ++next;
            }
            if (daw && e->numParams > 0 && k % kNoteEvery == 0) renderer.setParameter(0, 0, automated);
            renderer.block(kBlock, list.size() > 0 ? list.get() : nullptr);
        }
        return seconds(t0, Clock::now());
    };

    // The file formats, apart: decoding the input, encoding the output.
    std::vector<std::vector<float>> decoded(static_cast<std::size_t>(std::max(inputs, 1)), std::vector<float>(kBlock));
    std::vector<float*> decodedP;
    for (auto& v : decoded) decodedP.push_back(v.data());
    auto readRun = [&] {
        auto reader = aerie::WavReader::fromMemory(wav);
        const auto t0 = Clock::now();
        while (reader->read(decodedP.data(), kBlock) > 0) {
        }
        return seconds(t0, Clock::now());
    };
    const std::string outPath = (std::filesystem::temp_directory_path() / "vst2host_bench.wav").string();
    auto writeRun = [&] {
        aerie::WavWriter writer(outPath, outputs, 44100, aerie::SampleFormat::Float32);
        const auto t0 = Clock::now();
        for (int k = 0; k < kBlocks; ++k) writer.write(outP.data(), kBlock);
        return seconds(t0, Clock::now());
    };

    renderer.start();
    pluginRun();  // warm up all
    hostRun();
    readRun();
    writeRun();
    std::vector<double> plugin;
    std::vector<double> extra;
    std::vector<double> reading;
    std::vector<double> writing;
    std::vector<double> dawHost;
    for (int r = 0; r < kRepetitions; ++r) {
        const double p = pluginRun();
        const double h = hostRun();
        daw = true;
        const double d = hostRun();
        daw = false;
        plugin.push_back(p);
        extra.push_back(h - p);
        dawHost.push_back(d - p);
        reading.push_back(readRun());
        writing.push_back(writeRun());
    }
    renderer.stop();
    if (renderer.nonFinite().found) std::fprintf(stderr, "%s: NaN or infinite output\n", s.name);
    return {median(plugin) / kBlocks * 1e9, median(extra) / kBlocks * 1e9,
            s.instrument ? 0.0 : fastest(reading) / kBlocks * 1e9, fastest(writing) / kBlocks * 1e9,
            median(dawHost) / kBlocks * 1e9};
}


// The sandbox's start-up cost per child, and starting this program again.
void measureSandbox(const char* self) {
    constexpr int kChildren = 40;
    aerie::SandboxOptions options;
    options.restart = {self, "--sandbox-child"};
    std::vector<double> sandbox;
    std::vector<double> restart;
    for (int i = 0; i < kChildren; ++i) {
        const aerie::SandboxResult r = aerie::runSandboxed([](aerie::SandboxReporter&) { return 0; }, options);
        if (!r.ok()) {
            std::printf("sandbox: %s\n", r.describe().c_str());
            return;
        }
        sandbox.push_back(r.seconds);
        aerie::ProcessOptions p;
        const auto t0 = Clock::now();
        (void)aerie::runProcess({self, "--exit"}, p);
        restart.push_back(seconds(t0, Clock::now()));
    }
    std::printf("sandbox start-up per child: median %.0f us, fastest %.0f us (starting the program again: median %.0f us)\n",
                median(sandbox) * 1e6, fastest(sandbox) * 1e6, median(restart) * 1e6);
}

// The worker's side for the isolation cost: "o PATH" opens an instance of a
// module, "r" renders a block from the shared buffers ("n": after a note-on,
// as the instrument gets every few blocks), anything else is answered at
// once.
aerie::WorkerHandler benchWorker() {
    struct State {
        std::unique_ptr<aerie::Module> module;
        aerie::Host host;
        std::unique_ptr<aerie::Instance> instance;
        aerie::EventList note;
    };
    auto state = std::make_shared<State>();
    state->note.addNoteOn(17, 0, 100);
    return [state](aerie::WorkerCall& call) {
        const std::vector<unsigned char>& q = call.request;
        if (!q.empty() && q[0] == 'o') {
            state->module = aerie::Module::open(std::string(q.begin() + 1, q.end()));
            state->instance = std::make_unique<aerie::Instance>(*state->module, state->host);
            state->instance->open();
            state->instance->configure(44100.0, kBlock);
            state->instance->resume();
            state->host.record = false;
        } else if (!q.empty() && (q[0] == 'r' || q[0] == 'n')) {
            call.reporter.block(0, 0);
            if (q[0] == 'n') state->instance->sendEvents(state->note);
            state->instance->processBlock(call.inputs, call.outputs, kBlock);
        }
        return std::vector<unsigned char>{};
    };
}

void measureWorker(const char* self, const std::vector<Subject>& subjects) {
    aerie::WorkerOptions options;
    options.restart = {self, "--worker-child"};
    options.frames = kBlock;
    const std::vector<unsigned char> nothing;
    {
        aerie::Worker w(benchWorker(), options);
        std::vector<double> trips;
        for (int i = 0; i < 2000; ++i) {
            const auto t0 = Clock::now();
            (void)w.call(nothing);
            trips.push_back(seconds(t0, Clock::now()));
        }
        std::printf("worker round trip (empty request and reply): median %.1f us, fastest %.1f us\n",
                    median(trips) * 1e6, fastest(trips) * 1e6);
    }
    for (const Subject& s : subjects) {
        if (!std::filesystem::exists(s.path)) continue;
        aerie::Worker w(benchWorker(), options);
        const std::string open = "o" + s.path;
        (void)w.call(std::vector<unsigned char>(open.begin(), open.end()));
        const std::vector<unsigned char> render = {'r'};
        const std::vector<unsigned char> noteAndRender = {'n'};
        aerie::EventList note;
        note.addNoteOn(17, 0, 100);
        const auto module = aerie::Module::open(s.path);
        aerie::Host host;
        aerie::Instance local(*module, host);
        local.open();
        local.configure(44100.0, kBlock);
        local.resume();
        host.record = false;
        // The caller's own buffers, stereo noise in; the worker's are copied
        // to and from them.
        std::vector<std::vector<float>> in(2, std::vector<float>(kBlock));
        std::vector<std::vector<float>> out(2, std::vector<float>(kBlock));
        std::uint32_t x = 1;
        for (auto& channel : in) {
            for (float& v : channel) {
                x = x * 1664525u + 1013904223u;
                v = static_cast<float>(static_cast<std::int32_t>(x >> 8) - (1 << 23)) / static_cast<float>(1 << 23) * 0.3f;
            }
        }
        float* inP[2] = {in[0].data(), in[1].data()};
        float* outP[2] = {out[0].data(), out[1].data()};
        const int ins = std::min(local.numInputs(), 2);
        const int outs = std::min(local.numOutputs(), 2);
        auto localRun = [&] {
            const auto t0 = Clock::now();
            for (int k = 0; k < kBlocks; ++k) {
                if (s.instrument && k % kNoteEvery == 0) local.sendEvents(note);
                local.processBlock(inP, outP, kBlock);
            }
            return seconds(t0, Clock::now());
        };
        auto workerRun = [&] {
            const auto t0 = Clock::now();
            for (int k = 0; k < kBlocks; ++k) {
                for (int c = 0; c < ins; ++c) std::memcpy(w.inputs()[c], inP[c], sizeof(float) * kBlock);
                (void)w.call(s.instrument && k % kNoteEvery == 0 ? noteAndRender : render);
                for (int c = 0; c < outs; ++c) std::memcpy(outP[c], w.outputs()[c], sizeof(float) * kBlock);
            }
            return seconds(t0, Clock::now());
        };
        localRun();
        workerRun();
        std::vector<double> plugin;
        std::vector<double> extra;
        for (int r = 0; r < kRepetitions; ++r) {
            const double p = localRun();
            plugin.push_back(p);
            extra.push_back(workerRun() - p);
        }
        const double pluginUs = median(plugin) / kBlocks * 1e6;
        const double extraUs = median(extra) / kBlocks * 1e6;
        std::printf("%-12s in-process %.1f us a block, through a worker %.1f us more (%.0f%%)\n", s.name, pluginUs,
                    extraUs, 100.0 * extraUs / pluginUs);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--exit") return 0;
    if (argc == 3 && std::string(argv[1]) == "--worker-child") return aerie::runWorkerChild(argv[2], benchWorker());
    if (argc == 4 && std::string(argv[1]) == "--sandbox-child") {
        return aerie::runSandboxChild(argv[2], argv[3], [](aerie::SandboxReporter&) { return 0; });
    }
    std::vector<Subject> subjects = {{"Kestravian", KESTRAVIAN_MODULE, true, false},
                                     {"ZamComp", "/usr/lib/vst/ZamComp-vst.so", false, true}};
    if (argc > 1) subjects = {{"module", argv[1], argc > 2 && std::string(argv[2]) == "instrument", true}};
    std::printf("host cost per %d-frame block: medians of %d interleaved pairs of runs of %d blocks\n", kBlock,
                kRepetitions, kBlocks);
    std::printf("%-12s %12s %10s %8s %14s %14s\n", "module", "plug-in ns", "host ns", "share", "read input ns",
                "write output ns");
    bool ok = true;
    std::string summary;
    for (const Subject& s : subjects) {
        if (!std::filesystem::exists(s.path)) {
            std::printf("%-12s skipped: %s is not installed\n", s.name, s.path.c_str());
            continue;
        }
        double share = 0.0;
        Result r{};
        for (int attempt = 1; attempt <= 3; ++attempt) {
            r = measure(s);
            share = 100.0 * r.hostNs / r.pluginNs;
            std::printf("%-12s %12.0f %10.0f %7.2f%% %14.0f %14.0f%s\n", s.name, r.pluginNs, r.hostNs, share, r.readNs,
                        r.writeNs, s.limited && share > 5.0 && attempt < 3 ? "  (over 5 %: measuring again)" : "");
            if (!s.limited || share <= 5.0) break;
        }
        std::printf("%-12s %12s %10.0f %7.2f%%   (with time info and automation)\n", s.name, "", r.dawNs,
                    100.0 * r.dawNs / r.pluginNs);
        char item[96];
        (void)std::snprintf(item, sizeof item, "%s%s=%.2f%%%s", summary.empty() ? "" : " ", s.name, share,
                            s.limited ? "" : " (not held to the limit)");
        summary += item;
        if (s.limited && share > 5.0) ok = false;
    }
    measureSandbox(argv[0]);
    measureWorker(argv[0], subjects);
    std::printf("host share: %s (limit 5%% for plug-ins of ordinary cost)\n", summary.c_str());
    return ok ? 0 : 1;
}
