// What the LV2 side costs: the same plug-in's VST 2 build called through its
// record's processReplacing, against its LV2 build called through the
// descriptor's run(), both loaded as a host loads them, stereo (or mono)
// blocks of 512 frames.
//
//   gain          the layer's example, a parameter that stays: the cheapest
//                 block there is, so the adapter's own cost shows most here
//   kestravian    the instrument, a note restarted every 16 blocks (MIDI
//                 through each format's own event path)
//
// Paired runs, timed back to back in alternating order, as bench/layer_bench
// does: the share is the mean of the middle half of the ratios (LV2 over
// VST 2), the times the fastest runs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include <aerie/aerie.h>
#include <lv2/atom/forge.h>
#include <lv2/midi/midi.h>

#include "tests/lv2/lv2_host.h"

namespace {

constexpr std::int32_t kBlock = 512;
constexpr int kBlocks = 64;
constexpr int kRepetitions = 2001;
constexpr int kNoteEvery = 16;

using Clock = std::chrono::steady_clock;

struct Pair {
    double a = 1e30, b = 1e30;
    std::vector<double> ratios;
    void add(double ta, double tb) {
        a = std::min(a, ta);
        b = std::min(b, tb);
        ratios.push_back(tb / ta);
    }
    double share() {
        std::sort(ratios.begin(), ratios.end());
        const std::size_t quarter = ratios.size() / 4;
        double sum = 0.0;
        for (std::size_t i = quarter; i < ratios.size() - quarter; ++i) sum += ratios[i];
        return 100.0 * (sum / static_cast<double>(ratios.size() - 2 * quarter) - 1.0);
    }
};

struct Vst {
    explicit Vst(const char* path) : module(aerie::Module::open(path)) {
        instance = std::make_unique<aerie::Instance>(*module, host);
        instance->open();
        instance->configure(44100.0, kBlock);
        instance->resume();
        e = instance->raw().effect();
        notes.addNoteOn(0, 0, 127);  // note 0 rings about 11,500 frames
    }
    double run(float** in, float** out, bool withNotes) {
        const auto t0 = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            if (withNotes && b % kNoteEvery == 0) e->dispatcher(e, effProcessEvents, 0, 0, notes.get(), 0.0f);
            e->processReplacing(e, in, out, kBlock);
        }
        return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kBlocks;
    }
    std::unique_ptr<aerie::Module> module;
    aerie::Host host;
    std::unique_ptr<aerie::Instance> instance;
    aerie::EventList notes;
    AEffect* e = nullptr;
};

struct Lv2 {
    explicit Lv2(const char* uri) : plugin(uri, 44100.0) {
        plugin.activate();
        instance = plugin.instance();
        // Two event buffers made once: empty, and one note-on at frame 0.
        for (auto* buffer : {&empty, &note}) {
            buffer->assign(64, 0);
            LV2_Atom_Forge forge;
            lv2_atom_forge_init(&forge, lv2test::uridMap());
            lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(buffer->data()), buffer->size() * 8);
            LV2_Atom_Forge_Frame frame;
            lv2_atom_forge_sequence_head(&forge, &frame, 0);
            if (buffer == &note) {
                const unsigned char on[3] = {0x90, 0, 127};
                lv2_atom_forge_frame_time(&forge, 0);
                lv2_atom_forge_atom(&forge, 3, lv2test::urid(LV2_MIDI__MidiEvent));
                lv2_atom_forge_write(&forge, on, 3);
            }
            lv2_atom_forge_pop(&forge, &frame);
        }
        events = plugin.index("events");
    }
    void connect(float** in, float** out) {
        for (std::uint32_t c = 0; c < plugin.audioInputs(); ++c) {
            lilv_instance_connect_port(instance, plugin.index(c == 0 ? "in1" : "in2"), in[c]);
        }
        for (std::uint32_t c = 0; c < plugin.audioOutputs(); ++c) {
            lilv_instance_connect_port(instance, plugin.index(c == 0 ? "out1" : "out2"), out[c]);
        }
        lilv_instance_connect_port(instance, events, empty.data());
    }
    double run(bool withNotes) {
        const auto t0 = Clock::now();
        for (int b = 0; b < kBlocks; ++b) {
            if (withNotes) lilv_instance_connect_port(instance, events, b % kNoteEvery == 0 ? note.data() : empty.data());
            lilv_instance_run(instance, kBlock);
        }
        return std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / kBlocks;
    }
    lv2test::Plugin plugin;
    LilvInstance* instance = nullptr;
    std::vector<std::uint64_t> empty, note;
    std::uint32_t events = 0;
};

}  // namespace

int main() {
    std::vector<float> memory(kBlock * 4 + 64);
    float* inL = memory.data();
    float* inR = inL + kBlock + 16;
    float* outL = inR + kBlock + 16;
    float* outR = outL + kBlock + 16;
    for (std::int32_t i = 0; i < kBlock; ++i) {
        inL[i] = static_cast<float>((i * 7919) % 2001 - 1000) / 1000.0f;
        inR[i] = -inL[i];
    }
    float* in[] = {inL, inR};
    float* out[] = {outL, outR};

    Vst gainVst(GAIN_VST), synthVst(KESTRAVIAN_VST);
    Lv2 gainLv2("urn:kestravian:gain"), synthLv2("urn:kestravian:kestravian");
    gainLv2.connect(in, out);
    synthLv2.connect(in, out);
    Pair gain, synth;
    for (int r = 0; r < kRepetitions; ++r) {
        const bool flip = (r & 1) != 0;
        const auto pair = [flip](Pair& into, auto&& a, auto&& b) {
            if (flip) {
                const double tb = b();
                into.add(a(), tb);
            } else {
                const double ta = a();
                into.add(ta, b());
            }
        };
        pair(gain, [&] { return gainVst.run(in, out, false); }, [&] { return gainLv2.run(false); });
        if (r % 8 == 0) pair(synth, [&] { return synthVst.run(in, out, true); }, [&] { return synthLv2.run(true); });
    }
    std::printf("512-frame block                 VST 2 entry      LV2 run()   LV2's share\n");
    std::printf("  gain (layer), no change      %8.1f ns    %8.1f ns   %+6.2f %%\n", gain.a, gain.b, gain.share());
    std::printf("  kestravian, a note every 16  %8.1f ns    %8.1f ns   %+6.2f %% (at most 2 %%)\n", synth.a, synth.b,
                synth.share());
    return 0;
}
