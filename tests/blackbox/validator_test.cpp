// What the strictest hosts and plug-in validators do to a plug-in, with
// Kestravian's sound checked afterwards (what any module must survive is
// the conformance suite's, tests/kit): requests in odd orders, rates and
// block sizes that change between blocks, absurd event lists and frame
// counts, every opcode with null pointers. Every render goes through guarded buffers and is checked
// for NaN, infinity and subnormals, and every case ends with an ordinary
// click that must still come out exactly as the reference renders it.
#include <cfenv>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include "tests/blackbox/blackbox.h"

using namespace blackbox;

namespace {

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kSignallingNaN = std::numeric_limits<float>::signaling_NaN();

// An instance exactly as the entry hands it over: no rate, block size or
// resume yet.
struct Bare {
    aerie::Host host;
    aerie::Instance instance{module(), host};
    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) {
        return instance.raw().dispatch(opcode, index, value, ptr, opt);
    }
    void send(aerie::EventList& events) { EXPECT_EQ(dispatch(effProcessEvents, 0, 0, events.get()), 1); }
};

using kit::clean;
using kit::Entry;

// One render call the way a careless host makes it: an input buffer the
// synthesizer has no use for and two outputs more than it announced, all
// fenced by guards (kit::render). Returns the one output.
std::vector<float> renderChecked(aerie::Instance& instance, std::int32_t frames, Entry entry = Entry::Replace) {
    std::vector<std::vector<float>> outputs = kit::render(instance, frames, entry, 1, 2);
    return outputs.empty() ? std::vector<float>{} : std::move(outputs.front());
}

// After whatever a case did, an ordinary host session must sound exactly
// right: a note-on on frame 0 replaces anything still ringing, so the
// instance must render what a fresh reference at `rate` renders, across a
// block boundary, through both entries. A note-on of velocity 0 then
// silences it, so that the next case starts from silence.
void expectOrdinaryClick(aerie::Instance& instance, float rate) {
    for (Entry entry : {Entry::Replace, Entry::Accumulate}) {
        aerie::EventList events;
        events.addNoteOn(0, 12, 100);
        EXPECT_EQ(instance.raw().dispatch(effProcessEvents, 0, 0, events.get()), 1);
        Reference ref(rate);
        ref.noteOn(0, 12, 100);
        for (int block = 0; block < 3; ++block) {
            EXPECT_TRUE(sameBits(renderChecked(instance, 512, entry), ref.render(512)))
                << "ordinary click at " << rate << " Hz, block " << block;
        }
    }
    aerie::EventList silence;
    silence.addNoteOn(0, 12, 0);
    instance.raw().dispatch(effProcessEvents, 0, 0, silence.get());
    for (float s : renderChecked(instance, 64)) EXPECT_EQ(s, 0.0f);
}

using kit::UnmaskedFloatingPointExceptions;

}  // namespace

// ---- lifecycle -----------------------------------------------------------------

TEST(Validator, RequestsInUnusualOrdersThenTheSoundIsExact) {
    const struct Case {
        const char* what;
        std::function<void(Bare&)> run;
    } cases[] = {
        {"render before any rate, block size or resume",
         [](Bare& b) {
             for (float s : renderChecked(b.instance, 300)) EXPECT_EQ(s, 0.0f);
             std::vector<float> acc = renderChecked(b.instance, 300, Entry::Accumulate);
             for (float s : acc) EXPECT_EQ(s, 0.0f);
         }},
        {"a click before any rate sounds at 44100 Hz",
         [](Bare& b) {
             aerie::EventList events;
             events.addNoteOn(7, 50, 127);
             b.send(events);
             Reference ref;
             ref.noteOn(7, 50, 127);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 700), ref.render(700)));
         }},
        {"events without a render, many times over; the next block plays them once",
         [](Bare& b) {
             aerie::EventList events;
             Reference ref;
             for (std::int32_t f = 0; f < 1000; f += 3) {
                 events.addNoteOn(f, f % 128, 1 + f % 100);
                 ref.noteOn(f, f % 128, 1 + f % 100);
             }
             for (int i = 0; i < 200; ++i) b.send(events);
             b.dispatch(effMainsChanged, 0, 0);
             b.dispatch(effMainsChanged, 0, 1);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 1024), ref.render(1024)));
         }},
        {"renders without events",
         [](Bare& b) {
             b.dispatch(effMainsChanged, 0, 1);
             for (int i = 0; i < 500; ++i) {
                 for (float s : renderChecked(b.instance, 64)) ASSERT_EQ(s, 0.0f);
             }
         }},
        {"suspend and resume while a click rings, and a render while suspended",
         [](Bare& b) {
             aerie::EventList events;
             events.addNoteOn(0, 5, 127);
             b.send(events);
             Reference ref;
             ref.noteOn(0, 5, 127);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 300), ref.render(300)));
             b.dispatch(effMainsChanged, 0, 0);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 300), ref.render(300)));
             b.dispatch(effMainsChanged, 0, 1);
             b.dispatch(effMainsChanged, 0, 1);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 300, Entry::Accumulate), ref.render(300)));
         }},
        {"open, suspend and resume repeated in any order",
         [](Bare& b) {
             for (int i = 0; i < 100; ++i) {
                 b.dispatch(i % 3 == 0 ? effOpen : effMainsChanged, 0, i % 2);
             }
             EXPECT_EQ(b.host.requests.size(), 1u + 33u);  // the version query, then each resume asks for MIDI
         }},
        {"no output buffers at all while a click rings",
         [](Bare& b) {
             aerie::EventList events;
             events.addNoteOn(0, 5, 127);
             b.send(events);
             b.instance.raw().processReplacing(nullptr, nullptr, 256);
             float* none[1] = {nullptr};
             b.instance.raw().process(nullptr, none, 256);
             Reference ref;
             ref.noteOn(0, 5, 127);
             ref.render(512);
             EXPECT_TRUE(sameBits(renderChecked(b.instance, 256), ref.render(256)));  // time went on unheard
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bare b;
        c.run(b);
        expectOrdinaryClick(b.instance, 44100.0f);
    }
}

// ---- rates and block sizes -------------------------------------------------------

TEST(Validator, SampleRatesChangedBetweenBlocks) {
    // Each rate in turn, while a click rings. A rate that is no sample rate
    // leaves the clicks at the last good one; a ringing click keeps the
    // rate it started with in any case.
    const struct {
        float rate;
        bool taken;
    } rates[] = {
        {0.0f, false},     {-0.0f, false},         {-44100.0f, false}, {kNaN, false},      {kInf, false},
        {kSignallingNaN, false},
        {-kInf, false},    {1.0f, true},           {8000.0f, true},    {44123.45f, true},  {384000.0f, true},
        {44100.0f, true},  {FLT_TRUE_MIN, false},  {1.0e-30f, false},  {1.0e-20f, true},   {FLT_MAX, false},
        {1.0e35f, false},  {1.0e30f, true},        {-1.0f, false},     {22050.0f, true},   {44100.0f, true},
    };
    for (bool suspend : {false, true}) {
        SCOPED_TRACE(suspend ? "with suspend" : "without suspend");
        Plugin p(96000.0f);
        float current = 96000.0f;
        for (const auto& r : rates) {
            SCOPED_TRACE(testing::Message() << "rate " << r.rate);
            aerie::EventList events;
            events.addNoteOn(10, 3, 120);
            p.send(events);
            Reference ringing(current);
            ringing.noteOn(10, 3, 120);
            EXPECT_TRUE(sameBits(renderChecked(*p.instance, 100), ringing.render(100)));
            if (suspend) p.dispatch(effMainsChanged, 0, 0);
            p.dispatch(effSetSampleRate, 0, 0, nullptr, r.rate);
            if (suspend) p.dispatch(effMainsChanged, 0, 1);
            EXPECT_TRUE(sameBits(renderChecked(*p.instance, 100), ringing.render(100)));
            if (r.taken) current = r.rate;
            expectOrdinaryClick(*p.instance, current);
        }
    }
}

// Soft clicks of every note at rates from absurdly low to absurdly high:
// nothing that comes out may be NaN, infinite or subnormal.
TEST(Validator, NoNanInfinityOrSubnormalAtAnyRate) {
    const struct {
        float rate;
        bool taken;
    } rates[] = {
        {1.0f, true},    {3.0f, true},    {64.0f, true},   {8000.0f, true}, {384000.0f, true}, {1.0e7f, true},
        {1.0e20f, true}, {1.0e30f, true}, {1.0e35f, false}, {3.0e38f, false}, {FLT_MAX, false}, {FLT_MIN, false},
        {FLT_TRUE_MIN, false}, {1.0e-30f, false}, {1.0e-20f, true},
    };
    for (const auto& [rate, taken] : rates) {
        SCOPED_TRACE(testing::Message() << "rate " << rate);
        Plugin p(rate);
        for (int note = 0; note < 128; note += 1) {
            for (int velocity : {1, 2, 127}) {
                aerie::EventList events;
                events.addNoteOn(0, note, velocity);
                p.send(events);
                renderChecked(*p.instance, 48);
            }
        }
        expectOrdinaryClick(*p.instance, taken ? rate : 44100.0f);
    }
}

// A host that unmasks floating-point exceptions: nothing the plug-in does,
// whatever the rate, events, frame counts or requests, may raise one. Only
// the plug-in runs while they are unmasked; the checks come afterwards.
TEST(Validator, FloatingPointTrapsThenTheSoundIsExact) {
    const float rates[] = {44100.0f, 0.0f,    -1.0f,  kNaN,         kSignallingNaN, -kSignallingNaN,
                           kInf,     -kInf,   1.0f,   8000.0f,      384000.0f,      1e-20f,
                           1e-30f,   1e30f,   FLT_MAX, FLT_TRUE_MIN, 44123.45f,     44100.0f};
    aerie::EventList notes, odd;
    for (int note = 0; note < 128; note += 9) {
        notes.addNoteOn(note, note, 1 + note % 127);
        notes.addNoteOn(note + 200, 127 - note, 127);
    }
    for (int status = 0; status < 256; ++status) odd.addMidi(status - 100, static_cast<unsigned char>(status), 255, 255);
    odd.addNoteOn(kMin32, 60, 127);
    odd.addNoteOn(kMax32, 60, 127);
    std::vector<std::vector<float>> blocks;
    Plugin p;
    {
        UnmaskedFloatingPointExceptions traps;
        Plugin inside;  // creation and set-up too
        for (float rate : rates) {
            p.dispatch(effSetSampleRate, 0, 0, nullptr, rate);
            p.dispatch(effSetBlockSizeAndSampleRate, 0, 512, nullptr, rate);
            p.send(notes);
            blocks.push_back(p.render(400));
            p.send(odd);
            blocks.emplace_back(400, 0.25f);
            p.accumulate(blocks.back());
            p.send(notes);
            p.instance->raw().processReplacing(nullptr, nullptr, 300);
            float untouched[1] = {0.0f};
            float* outputs[1] = {untouched};
            for (std::int32_t frames : {0, -1, kMin32}) p.instance->raw().process(nullptr, outputs, frames);
        }
        for (std::int32_t opcode = -1000; opcode <= 1000; ++opcode) {
            if (opcode != effClose) inside.dispatch(opcode, -1, 0, nullptr, opcode % 2 == 0 ? kNaN : kSignallingNaN);
        }
        inside.send(notes);
        blocks.push_back(inside.render(512));
    }
    for (const auto& block : blocks) EXPECT_TRUE(clean(block));
    expectOrdinaryClick(*p.instance, 44100.0f);
}

TEST(Validator, BlockSizesThatDifferFromTheAnnouncedOne) {
    const std::int32_t announced[] = {1, 0, -1, kMin32, kMax32, 1048576, 512};
    std::mt19937 rng(4711);
    for (std::int32_t size : announced) {
        SCOPED_TRACE(testing::Message() << "announced " << size);
        Plugin p;
        p.dispatch(effSetBlockSize, 0, size);
        p.dispatch(effSetBlockSizeAndSampleRate, 0, size, nullptr, 44100.0f);
        Reference ref;
        std::vector<std::int32_t> blocks = {1, 1, 0, 3};
        if (size == 1 || size == 1048576) blocks.push_back(1048576);
        for (int i = 0; i < 40; ++i) blocks.push_back(std::uniform_int_distribution<std::int32_t>(1, 3000)(rng));
        for (std::int32_t frames : blocks) {
            aerie::EventList events;
            for (int n = 0; n < 3; ++n) {
                const auto frame = std::uniform_int_distribution<std::int32_t>(-2, frames + 2)(rng);
                const int note = std::uniform_int_distribution<int>(0, 127)(rng);
                const int velocity = std::uniform_int_distribution<int>(0, 127)(rng);
                events.addNoteOn(frame, note, velocity);
                ref.noteOn(frame, note, velocity);
            }
            p.send(events);
            ASSERT_TRUE(sameBits(renderChecked(*p.instance, frames), ref.render(frames))) << frames << " frames";
        }
        expectOrdinaryClick(*p.instance, 44100.0f);
    }
}

// ---- event lists and frame counts ----------------------------------------------

TEST(Validator, EventListsOfEveryShape) {
    struct Midi {
        std::int32_t frame;
        unsigned char status, data1, data2;
    };
    struct Click {
        std::int32_t frame;
        int note, velocity;
    };
    const auto everyStatus = [] {
        std::vector<Midi> all;
        for (int s = 0; s < 256; ++s) all.push_back({s, static_cast<unsigned char>(s), 60, 100});
        return all;
    };
    const auto everyNoteOn = [] {
        std::vector<Click> clicks;
        for (int s = 0x90; s <= 0x9F; ++s) clicks.push_back({s, 60, 100});
        return clicks;
    };
    const struct Case {
        const char* what;
        std::vector<Midi> midi;
        std::vector<Click> clicks;
    } cases[] = {
        {"empty list", {}, {}},
        {"every status byte; only note-ons sound", everyStatus(), everyNoteOn()},
        {"the extreme frame offsets", {{kMin32, 0x90, 30, 90}, {0, 0x90, 31, 91}, {kMax32, 0x90, 32, 92}},
         {{kMin32, 30, 90}, {0, 31, 91}}},
        {"last frame of the block, first frame after it", {{255, 0x90, 20, 127}, {256, 0x90, 90, 127}},
         {{255, 20, 127}}},
        {"first frame after the block alone", {{256, 0x90, 20, 127}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Plugin p;
        aerie::EventList events;
        for (const Midi& m : c.midi) events.addMidi(m.frame, m.status, m.data1, m.data2);
        p.send(events);
        Reference ref;
        for (const Click& k : c.clicks) ref.noteOn(k.frame, k.note, k.velocity);
        EXPECT_TRUE(sameBits(renderChecked(*p.instance, 256), ref.render(256)));
        EXPECT_TRUE(sameBits(renderChecked(*p.instance, 256), ref.render(256)));  // the ring goes on
        expectOrdinaryClick(*p.instance, 44100.0f);
    }
}

TEST(Validator, EventListsThatAreHardlyLists) {
    // Counts of zero and below, null entries, event types other than MIDI
    // whose bytes look like note-ons, and no list at all.
    aerie::EventList noteOns;
    noteOns.addNoteOn(0, 60, 127);
    noteOns.addNoteOn(5, 61, 127);
    for (std::int32_t count : {0, -1, -100000, kMin32}) {
        SCOPED_TRACE(testing::Message() << "count " << count);
        Plugin p;
        VstEvents* list = noteOns.get();
        list->numEvents = count;
        EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, list), 1);
        for (float s : renderChecked(*p.instance, 64)) EXPECT_EQ(s, 0.0f);
        EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, nullptr), 1);
        expectOrdinaryClick(*p.instance, 44100.0f);
    }

    aerie::EventList others;
    for (std::int32_t type : {0, 2, 3, 4, 5, 6, -1, kMin32, kMax32}) {
        VstEvent e{};
        e.type = type;
        e.byteSize = 24;
        e.deltaFrames = 3;
        e.data[12] = static_cast<char>(0x90);  // where a MIDI event keeps its status byte
        e.data[13] = 60;
        e.data[14] = 127;
        others.addNull();
        others.addRaw(e);
    }
    others.addNull();
    others.addNoteOn(9, 70, 80);
    Plugin p;
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, others.get()), 1);
    Reference ref;
    ref.noteOn(9, 70, 80);
    EXPECT_TRUE(sameBits(renderChecked(*p.instance, 128), ref.render(128)));
    expectOrdinaryClick(*p.instance, 44100.0f);
}

TEST(Validator, AHundredThousandEventsInOneList) {
    // Distinct frames, so every one makes an entry of its own; duplicates of
    // the first 1000 frames compete on velocity.
    std::mt19937 rng(99);
    Plugin p;
    Reference ref;
    aerie::EventList events;
    for (std::int32_t i = 0; i < 100000; ++i) {
        const std::int32_t frame = i < 99000 ? i : i - 99000;
        const int note = std::uniform_int_distribution<int>(0, 127)(rng);
        const int velocity = std::uniform_int_distribution<int>(0, 127)(rng);
        events.addNoteOn(frame, note, velocity);
        ref.noteOn(frame, note, velocity);
    }
    p.send(events);
    EXPECT_TRUE(sameBits(renderChecked(*p.instance, 100000), ref.render(100000)));
    p.send(events);  // and again, this time mostly beyond a short block
    ref.render(0);
    EXPECT_TRUE(sameBits(renderChecked(*p.instance, 500), ref.render(500)));
    expectOrdinaryClick(*p.instance, 44100.0f);
}

TEST(Validator, FrameCountsOfZeroAndBelowWriteNothing) {
    for (std::int32_t frames : {0, -1, -512, kMin32}) {
        for (Entry entry : {Entry::Replace, Entry::Accumulate}) {
            SCOPED_TRACE(testing::Message() << frames << " frames");
            Plugin p;
            aerie::EventList events;
            events.addNoteOn(0, 5, 127);
            p.send(events);
            Reference ref;
            ref.noteOn(0, 5, 127);
            EXPECT_TRUE(sameBits(renderChecked(*p.instance, 100, entry), ref.render(100)));
            p.send(events);  // scheduled, then forgotten by the empty block
            EXPECT_TRUE(renderChecked(*p.instance, frames, entry).empty());
            EXPECT_TRUE(sameBits(renderChecked(*p.instance, 100, entry), ref.render(100)));  // rings on unchanged
            expectOrdinaryClick(*p.instance, 44100.0f);
        }
    }
}

// ---- the dispatcher ------------------------------------------------------------

TEST(Validator, EveryOpcodeWithNullPointersThenTheSoundIsExact) {
    // As every module's conformance suite does it, and the sound is checked
    // after each set of arguments. effClose would end the instance and comes
    // last.
    Plugin p;
    kit::everyOpcodeWithNullPointers(
        [&](std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
            p.dispatch(opcode, index, value, ptr, opt);
        },
        [&] {
            renderChecked(*p.instance, 512);
            expectOrdinaryClick(*p.instance, 44100.0f);
        });
    EXPECT_EQ(p.instance->close(), 1);
}
