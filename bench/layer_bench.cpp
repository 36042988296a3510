// What kstv::Plugin costs a render call: the example gain (examples/gain, on
// the layer) against the same effect written straight on EffectExt
// (plain_gain.cpp), both built here alike, loaded as modules and called
// through their records' processReplacing, stereo blocks of 512 frames.
//
//   no change:   the parameter stays; the layer's share, meant to be within 1 %
//   change:      the parameter moves before every block, so each block starts
//                a 10 ms ramp
//
// and what a change with its smoothing costs an instrument: the example
// polysynth holding eight notes, its volume moved before every block (a
// 20 ms ramp, always under way) against blocks where it stays. At most 5 %.
// (For the gain the same change costs far more than the block: the block is
// one multiply per sample, the change a pow and a ramp, in both builds.)
//
// The machine's speed drifts (other programs, other guests of a virtual
// machine), so each share comes from many paired runs, the two subjects
// timed back to back in alternating order: a ratio of two runs a few
// microseconds apart is steady where either time alone is not. The share is
// the mean of the middle half of the ratios; the times printed are the
// fastest runs. What remains is where the code lands: the same source
// linked with other flags measures up to a point and a half apart, so read
// a share of the gain's steady block to about 1 %.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <aerie/aerie.h>

namespace {

constexpr std::int32_t kBlock = 512;
constexpr int kBlocks = 64;          // per timed run
constexpr int kRepetitions = 4001;  // pairs

using Clock = std::chrono::steady_clock;

struct Subject {
    explicit Subject(const char* path) : module(aerie::Module::open(path)) {
        instance = std::make_unique<aerie::Instance>(*module, host);
        instance->raw().dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
        instance->raw().dispatch(effSetBlockSize, 0, kBlock);
        instance->raw().dispatch(effMainsChanged, 0, 1);
        e = instance->raw().effect();
    }
    // Nanoseconds per block of one run; `change` moves parameter `index` first.
    double run(float** in, float** out, bool change, std::int32_t index = 0) {
        const auto t0 = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            if (change) e->setParameter(e, index, (b & 1) != 0 ? 0.70f : 0.75f);
            e->processReplacing(e, in, out, kBlock);
        }
        return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kBlocks;
    }
    std::unique_ptr<aerie::Module> module;
    aerie::Host host;
    std::unique_ptr<aerie::Instance> instance;
    AEffect* e = nullptr;
};

}  // namespace

int main() {
    Subject plain(PLAIN_GAIN_MODULE), layer(LAYER_GAIN_MODULE), synth(POLYSYNTH_MODULE);
    aerie::EventList notes;  // a chord of eight, held throughout
    for (int n = 0; n < 8; ++n) notes.addNoteOn(0, 48 + 5 * n, 100);
    synth.e->dispatcher(synth.e, effProcessEvents, 0, 0, notes.get(), 0.0f);
    // The four buffers in one aligned allocation, each at its own offset
    // within a page: buffers that share their low address bits make the
    // processor wrongly see a store and a later load overlap, which would
    // time the allocator's placement instead of the code.
    constexpr std::size_t kStride = 2048 + 64 * 5;  // floats: 8 KiB plus 1.25 KiB
    std::vector<float> memory(kStride * 4 + 16);
    float* base = memory.data() + (16 - (reinterpret_cast<std::uintptr_t>(memory.data()) / 4) % 16) % 16;
    float* inL = base;
    float* inR = base + kStride;
    float* outL = base + 2 * kStride;
    float* outR = base + 3 * kStride;
    for (std::int32_t i = 0; i < kBlock; ++i) {
        inL[i] = static_cast<float>((i * 7919) % 2001 - 1000) / 1000.0f;
        inR[i] = -inL[i];
    }
    float* in[] = {inL, inR};
    float* out[] = {outL, outR};
    constexpr std::int32_t kVolume = 6;
    // One comparison: the fastest time of each side, and the ratios of the
    // pairs (b over a).
    struct Pair {
        double a = 1e30, b = 1e30;
        std::vector<double> ratios;
        double share() {  // the mean of the middle half of the ratios
            std::sort(ratios.begin(), ratios.end());
            const std::size_t quarter = ratios.size() / 4;
            double sum = 0.0;
            for (std::size_t i = quarter; i < ratios.size() - quarter; ++i) sum += ratios[i];
            return 100.0 * (sum / static_cast<double>(ratios.size() - 2 * quarter) - 1.0);
        }
        void add(double ta, double tb) {
            a = std::min(a, ta);
            b = std::min(b, tb);
            ratios.push_back(tb / ta);
        }
    };
    Pair steady, changing, instrument;
    const auto pair = [](Pair& into, bool flip, auto&& first, auto&& second) {
        if (flip) {
            const double tb = second();
            into.add(first(), tb);
        } else {
            const double ta = first();
            into.add(ta, second());
        }
    };
    for (int r = 0; r < kRepetitions; ++r) {
        const bool flip = (r & 1) != 0;
        pair(steady, flip, [&] { return plain.run(in, out, false); }, [&] { return layer.run(in, out, false); });
        pair(changing, flip, [&] { return plain.run(in, out, true); }, [&] { return layer.run(in, out, true); });
        if (r % 8 == 0) {  // a block of the synth is 700 of the gain's
            pair(instrument, (r & 8) != 0, [&] { return synth.run(in, out, false); },
                 [&] { return synth.run(in, out, true, kVolume); });
        }
    }
    Pair onLayer;  // the layer gain's change against its steady block
    onLayer.add(steady.b, changing.b);
    std::printf("gain, 512-frame stereo block   without layer   with layer   layer's share\n");
    std::printf("  no change                    %8.1f ns     %8.1f ns   %+6.2f %% (at most 1 %%)\n", steady.a, steady.b,
                steady.share());
    std::printf("  a change and its ramp        %8.1f ns     %8.1f ns   %+6.2f %%\n", changing.a, changing.b,
                changing.share());
    std::printf("on the layer, a gain block with a change costs %+.2f %% more than one without\n", onLayer.share());
    std::printf("polysynth, eight notes: %.1f ns a block, %.1f ns with a volume change and its ramp: %+.2f %% "
                "(at most 5 %%)\n",
                instrument.a, instrument.b, instrument.share());
    return 0;
}
