// The MIDI file writer, read back by the reader: the tempo map, the time
// signatures and the channel messages at their ticks; what it leaves out;
// gaps longer than a delta holds; tempos beyond what a file holds.
#include <aerie/io/midi_reader.h>
#include <aerie/io/midi_writer.h>

#include <gtest/gtest.h>

namespace {

TEST(MidiWriter, WhatItWritesReadsBack) {
    const std::uint64_t far = (std::uint64_t{1} << 29) + 5;  // beyond one delta's 28 bits
    const std::vector<aerie::MidiOutEvent> events = {
        {0, {0x90, 60, 100}},  {0, {0xF8, 0, 0}},       // a system message: left out
        {10, {0xC3, 5, 0x7F}}, {10, {0x91, 0x80, 1}},   // a data byte out of range: left out
        {20, {0xD0, 9, 0}},    {far, {0x80, 60, 0}},
    };
    const auto bytes = aerie::serializeMidi(480, {{0, 600000}, {10, 30000000}}, {{0, 6, 8}, {20, 5, 4}}, events);
    const aerie::MidiSequence seq = aerie::parseMidi(bytes);
    EXPECT_EQ(seq.format, 0);
    EXPECT_EQ(seq.division, 480);
    ASSERT_EQ(seq.tempos.size(), 2u);
    EXPECT_EQ(seq.tempos[0].microsPerQuarter, 600000u);
    EXPECT_EQ(seq.tempos[1].tick, 10u);
    EXPECT_EQ(seq.tempos[1].microsPerQuarter, 0xFFFFFFu) << "the slowest a file holds, not the low 24 bits";
    ASSERT_EQ(seq.timeSignatures.size(), 2u);
    EXPECT_EQ(seq.timeSignatures[0].numerator, 6);
    EXPECT_EQ(seq.timeSignatures[0].denominator, 8);
    EXPECT_EQ(seq.timeSignatures[1].tick, 20u);
    EXPECT_EQ(seq.timeSignatures[1].denominator, 4);
    const struct {
        std::uint64_t tick;
        std::uint8_t size, status, data1;
    } want[] = {{0, 3, 0x90, 60}, {10, 2, 0xC3, 5}, {20, 2, 0xD0, 9}, {far, 3, 0x80, 60}};
    ASSERT_EQ(seq.events.size(), std::size(want));
    for (std::size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seq.events[i].tick, want[i].tick);
        EXPECT_EQ(seq.events[i].size, want[i].size);
        EXPECT_EQ(seq.events[i].bytes[0], want[i].status);
        EXPECT_EQ(seq.events[i].bytes[1], want[i].data1);
    }
}

}  // namespace
