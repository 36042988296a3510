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
// Each figure is the fastest of many interleaved runs (a median moves with
// the other programs of a busy machine).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <aerie/aerie.h>

namespace {

constexpr std::int32_t kBlock = 512;
constexpr int kBlocks = 256;       // per timed run
constexpr int kRepetitions = 301;  // interleaved

using Clock = std::chrono::steady_clock;

struct Subject {
    explicit Subject(const char* path) : module(aerie::Module::open(path)) {
        instance = std::make_unique<aerie::Instance>(*module, host);
        instance->dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
        instance->dispatch(effSetBlockSize, 0, kBlock);
        instance->dispatch(effMainsChanged, 0, 1);
        e = instance->effect();
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
    double best[6] = {1e30, 1e30, 1e30, 1e30, 1e30, 1e30};
    for (int r = 0; r < kRepetitions; ++r) {
        best[0] = std::min(best[0], plain.run(in, out, false));
        best[1] = std::min(best[1], layer.run(in, out, false));
        best[2] = std::min(best[2], plain.run(in, out, true));
        best[3] = std::min(best[3], layer.run(in, out, true));
        best[4] = std::min(best[4], synth.run(in, out, false));
        best[5] = std::min(best[5], synth.run(in, out, true, kVolume));
    }
    std::printf("gain, 512-frame stereo block   without layer   with layer   layer's share\n");
    std::printf("  no change                    %8.1f ns     %8.1f ns   %+6.2f %% (at most 1 %%)\n", best[0], best[1],
                100.0 * (best[1] / best[0] - 1.0));
    std::printf("  a change and its ramp        %8.1f ns     %8.1f ns   %+6.2f %%\n", best[2], best[3],
                100.0 * (best[3] / best[2] - 1.0));
    std::printf("on the layer, a gain block with a change costs %+.2f %% more than one without\n",
                100.0 * (best[3] / best[1] - 1.0));
    std::printf("polysynth, eight notes: %.1f ns a block, %.1f ns with a volume change and its ramp: %+.2f %% "
                "(at most 5 %%)\n",
                best[4], best[5], 100.0 * (best[5] / best[4] - 1.0));
    return 0;
}
