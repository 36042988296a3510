// What kstv::Plugin costs a render call: the example gain (examples/gain, on
// the layer) against the same effect written straight on EffectExt
// (plain_gain.cpp), both loaded as modules and called through their records'
// processReplacing, stereo blocks of 512 frames.
//
//   no change:   the parameter stays; the layer's share must stay within 1 %
//   change:      the parameter moves before every block, so each block starts
//                a 10 ms ramp; on the layer it must cost at most 5 % more
//                than a block without a change
//
// Each figure is the fastest of many interleaved runs (a median moves with
// the other programs of a busy machine).
#include <algorithm>
#include <chrono>
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
    // Nanoseconds per block of one run; `change` moves the parameter first.
    double run(float** in, float** out, bool change) {
        const auto t0 = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            if (change) e->setParameter(e, 0, (b & 1) != 0 ? 0.70f : 0.75f);
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
    Subject plain(PLAIN_GAIN_MODULE), layer(LAYER_GAIN_MODULE);
    std::vector<float> inL(kBlock), inR(kBlock), outL(kBlock), outR(kBlock);
    for (std::int32_t i = 0; i < kBlock; ++i) {
        inL[static_cast<std::size_t>(i)] = static_cast<float>((i * 7919) % 2001 - 1000) / 1000.0f;
        inR[static_cast<std::size_t>(i)] = -inL[static_cast<std::size_t>(i)];
    }
    float* in[] = {inL.data(), inR.data()};
    float* out[] = {outL.data(), outR.data()};
    double best[4] = {1e30, 1e30, 1e30, 1e30};
    for (int r = 0; r < kRepetitions; ++r) {
        best[0] = std::min(best[0], plain.run(in, out, false));
        best[1] = std::min(best[1], layer.run(in, out, false));
        best[2] = std::min(best[2], plain.run(in, out, true));
        best[3] = std::min(best[3], layer.run(in, out, true));
    }
    std::printf("gain, 512-frame stereo block   without layer   with layer   layer's share\n");
    std::printf("  no change                    %8.1f ns     %8.1f ns   %+6.2f %% (at most 1 %%)\n", best[0], best[1],
                100.0 * (best[1] / best[0] - 1.0));
    std::printf("  a change and its ramp        %8.1f ns     %8.1f ns   %+6.2f %%\n", best[2], best[3],
                100.0 * (best[3] / best[2] - 1.0));
    std::printf("on the layer, a block with a change costs %+.2f %% more than one without (at most 5 %%)\n",
                100.0 * (best[3] / best[1] - 1.0));
    return 0;
}
