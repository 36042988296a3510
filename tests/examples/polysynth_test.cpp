// The example instrument through a host's eyes: the demo song rendered,
// notes starting at their exact frames, velocity and pitch bend heard.
// Run as kstv_polysynth_tests --module=PATH --midi=examples/demo.mid.
#include <algorithm>
#include <cmath>

#include <aerie/io/midi_reader.h>
#include <aerie/render.h>

#include "tests/kit/kit.h"

namespace {

struct Synth {
    Synth() {
        instance = std::make_unique<aerie::Instance>(kit::module(), host);
        instance->raw().dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
        instance->raw().dispatch(effSetBlockSize, 0, 512);
        instance->raw().dispatch(effMainsChanged, 0, 1);
    }
    // Renders `blocks` blocks of 512 frames; `events` go with the first one.
    std::vector<float> render(int blocks, aerie::EventList* events = nullptr) {
        std::vector<float> all, l(512), r(512);
        for (int b = 0; b < blocks; ++b) {
            if (b == 0 && events != nullptr) instance->raw().dispatch(effProcessEvents, 0, 0, events->get());
            float* outs[] = {l.data(), r.data()};
            instance->raw().processReplacing(nullptr, outs, 512);
            all.insert(all.end(), l.begin(), l.end());
        }
        return all;
    }
    aerie::Host host;
    std::unique_ptr<aerie::Instance> instance;
};

float peak(const std::vector<float>& s, std::size_t from, std::size_t to) {
    float p = 0.0f;
    for (std::size_t i = from; i < to; ++i) p = std::max(p, std::fabs(s[i]));
    return p;
}

// Rising zero crossings per second over the samples from `from` on.
double frequency(const std::vector<float>& s, std::size_t from) {
    int crossings = 0;
    for (std::size_t i = from + 1; i < s.size(); ++i) crossings += s[i - 1] < 0.0f && s[i] >= 0.0f;
    return crossings * 44100.0 / static_cast<double>(s.size() - from);
}

}  // namespace

TEST(Sound, RendersTheDemoSong) {
    const auto song = aerie::readMidiFile(kit::option("midi"));
    std::vector<aerie::TimedMidi> events;
    for (const auto& e : song.events) {
        aerie::TimedMidi t;
        t.frame = e.time.frame(44100);
        std::copy(e.bytes, e.bytes + 3, t.bytes);
        events.push_back(t);
    }
    ASSERT_FALSE(events.empty());
    // Through the hosting library's render pipeline, as vst2host plays it.
    aerie::Host host;
    aerie::Instance instance(kit::module(), host);
    instance.raw().dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    instance.raw().dispatch(effSetBlockSize, 0, 512);
    aerie::ChainRenderer chain({{&instance, true}}, 0, 512);
    aerie::RenderPlan plan;
    plan.frames = events.back().frame + 44100 * 5;  // and the release's tail
    plan.events = events;
    std::vector<float> left;
    aerie::RenderCallbacks callbacks;
    callbacks.write = [&](const float* const* out, std::size_t frames) { left.insert(left.end(), out[0], out[0] + frames); };
    aerie::renderChain(chain, plan, callbacks);
    ASSERT_EQ(left.size(), plan.frames);
    EXPECT_TRUE(kit::clean(left));
    EXPECT_GT(peak(left, 0, left.size()), 0.05f);
    EXPECT_LT(peak(left, 0, left.size()), 1.0f);
    EXPECT_EQ(peak(left, left.size() - 44100, left.size()), 0.0f);  // silent once every note has died away
}

TEST(Sound, NotesStartAtTheirFrameAndFollowVelocity) {
    float loud = 0.0f;
    for (int velocity : {127, 32}) {
        Synth s;
        aerie::EventList events;
        events.addNoteOn(300, 60, velocity);
        const auto out = s.render(20, &events);
        EXPECT_EQ(peak(out, 0, 300), 0.0f);  // nothing before the note's frame
        EXPECT_GT(peak(out, 300, 310), 0.0f);
        const float level = peak(out, 2000, out.size());
        if (velocity == 127) {
            loud = level;
        } else {
            EXPECT_NEAR(level / loud, 32.0 / 127.0, 0.02);
        }
    }
}

TEST(Sound, PitchBendMovesTwoSemitones) {
    Synth plain, bent;
    plain.instance->raw().setParameter(0, 1.0f);  // the filter wide open
    bent.instance->raw().setParameter(0, 1.0f);
    aerie::EventList a, b;
    a.addNoteOn(0, 57, 100);  // 220 Hz
    b.addNoteOn(0, 57, 100);
    b.addMidi(0, 0xE0, 0x7F, 0x7F);  // all the way up
    const double f0 = frequency(plain.render(100, &a), 4096), f1 = frequency(bent.render(100, &b), 4096);
    EXPECT_NEAR(f0, 220.0, 2.0);
    EXPECT_NEAR(f1, 220.0 * std::pow(2.0, 2.0 / 12.0), 2.0);
}
