// An LV2 run is the host's audio thread: the adapter must not call the
// allocator there (a lock, a page fault: a drop-out). This program counts
// the calls into the C library's malloc (tests/kit/malloc_counter.h), which
// every operator new of the modules ends in, during runs that take every
// path: ports read and changed, MIDI in (in and out of order), a song
// position, MIDI out, and a block longer than promised.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include <lv2/atom/forge.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>

#include "tests/kit/malloc_counter.h"
#include "tests/lv2/lv2_host.h"

namespace {

// A sequence made before the count starts: notes out of order and a position.
std::vector<std::uint64_t> sequence() {
    std::vector<std::uint64_t> buffer(1024, 0);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, lv2test::uridMap());
    lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(buffer.data()), buffer.size() * 8);
    LV2_Atom_Forge_Frame seq, obj;
    lv2_atom_forge_sequence_head(&forge, &seq, 0);
    lv2_atom_forge_frame_time(&forge, 0);
    lv2_atom_forge_object(&forge, &obj, 0, lv2test::urid(LV2_TIME__Position));
    lv2_atom_forge_key(&forge, lv2test::urid(LV2_TIME__beatsPerMinute));
    lv2_atom_forge_float(&forge, 133.0f);
    lv2_atom_forge_key(&forge, lv2test::urid(LV2_TIME__speed));
    lv2_atom_forge_float(&forge, 1.0f);
    lv2_atom_forge_pop(&forge, &obj);
    for (const auto& [frame, note] : {std::pair{300, 64}, std::pair{20, 60}, std::pair{3000, 67}}) {
        const unsigned char on[3] = {0x90, static_cast<unsigned char>(note), 100};
        lv2_atom_forge_frame_time(&forge, frame);
        lv2_atom_forge_atom(&forge, 3, lv2test::urid(LV2_MIDI__MidiEvent));
        lv2_atom_forge_write(&forge, on, 3);
    }
    lv2_atom_forge_pop(&forge, &seq);
    return buffer;
}

TEST(Lv2Run, AllocatesNothing) {
    struct Case {
        const char* uri;
        const char* moved;  // a control port the host moves, or null
        float to;
    };
    for (const Case& c : {Case{"urn:kestravian:polysynth", "p1", 500.0f}, Case{"urn:kestravian:tremolo", "p1", 9.0f},
                          Case{"urn:kestravian:kestravian", nullptr, 0.0f}, Case{"urn:kestravian:test:probe", nullptr, 0.0f}}) {
        const char* uri = c.uri;
        SCOPED_TRACE(uri);
        lv2test::Plugin p(uri, 44100.0, {true, 512});
        ASSERT_TRUE(p.ok());
        std::vector<float> in(4096, 0.25f), out(4 * 4096);  // room for a run past the promise
        const std::vector<std::uint64_t> events = sequence();
        std::vector<std::uint64_t> midiOut(512, 0);
        LilvInstance* instance = p.instance();
        for (std::uint32_t i = 0; i < p.audioInputs(); ++i) p.connect(p.audioInput(i), in.data());
        for (std::uint32_t o = 0; o < p.audioOutputs(); ++o) p.connect(p.audioOutput(o), out.data() + o * 4096);
        float* moved = c.moved != nullptr ? p.control(c.moved) : nullptr;
        p.connect(p.index("events"), const_cast<std::uint64_t*>(events.data()));
        const bool sends = std::string(uri).find("probe") != std::string::npos;
        if (sends) p.connect(p.index("midi_out"), midiOut.data());
        p.activate();
        const long allocations = kit::allocationsDuring([&] {
            for (int run = 0; run < 8; ++run) {
                reinterpret_cast<LV2_Atom*>(midiOut.data())->size = 4000;  // the output's capacity, each run
                if (run == 3 && moved != nullptr) *moved = c.to;  // the host moves a port
                lilv_instance_run(instance, run == 5 ? 4096 : 512);  // one run longer than promised
            }
        });
        EXPECT_EQ(allocations, 0) << "allocations during runs";
    }
}

}  // namespace
