#include <aerie/io/midi_reader.h>

#include <gtest/gtest.h>

#include "files.h"

namespace {

using fixtures::Bytes;
using fixtures::midiFile;
using fixtures::Track;
using aerie::MidiError;
using aerie::parseMidi;

std::vector<std::uint64_t> frames(const aerie::MidiSequence& seq, std::uint32_t rate) {
    std::vector<std::uint64_t> out;
    for (const auto& e : seq.events) out.push_back(e.time.frame(rate));
    return out;
}

// Format 1: the tempo map in the first track governs the notes in the second,
// including a note that falls between two tempo changes and one whose time
// rounds exactly half a frame.
TEST(MidiFile, TempoMapInOneTrackTimesEventsOfAnother) {
    Track tempo;
    tempo.tempo(0, 500000).tempo(192, 250000).tempo(96, 1000000).end();
    Track notes;
    notes.noteOn(0, 60, 100).noteOn(96, 61, 100).noteOn(96, 62, 100).noteOn(48, 63, 100).noteOn(48, 64, 100)
        .noteOn(96, 65, 100).end();
    const auto seq = parseMidi(midiFile(1, 96, {tempo, notes}));
    EXPECT_EQ(seq.format, 1);
    EXPECT_EQ(seq.trackCount, 2);
    EXPECT_EQ(seq.tempoChanges, 3);
    // 0, 0.5, 1.0, 1.125, 1.25 and 2.25 seconds.
    EXPECT_EQ(frames(seq, 44100), (std::vector<std::uint64_t>{0, 22050, 44100, 49613, 55125, 99225}));
    EXPECT_EQ(frames(seq, 48000), (std::vector<std::uint64_t>{0, 24000, 48000, 54000, 60000, 108000}));
    EXPECT_EQ(seq.events[3].tick, 240u);
    EXPECT_EQ(seq.events[3].track, 1);
}

TEST(MidiFile, DefaultTempoIs120BeatsPerMinute) {
    Track t;
    t.noteOn(480, 60, 1).end();
    const auto seq = parseMidi(midiFile(0, 480, {t}));
    ASSERT_EQ(seq.events.size(), 1u);
    EXPECT_DOUBLE_EQ(seq.events[0].time.seconds(), 0.5);
}

TEST(MidiFile, RunningStatusAndTwoByteMessages) {
    Track t;
    t.event(0, {0x91, 60, 100}).event(10, {62, 90}).event(0, {0xC1, 5}).event(0, {0xE1, 0, 64}).event(5, {0x81, 60, 0});
    t.end();
    const auto seq = parseMidi(midiFile(0, 96, {t}));
    ASSERT_EQ(seq.events.size(), 5u);
    EXPECT_EQ(seq.events[1].bytes[0], 0x91);
    EXPECT_EQ(seq.events[1].bytes[1], 62);
    EXPECT_EQ(seq.events[1].bytes[2], 90);
    EXPECT_EQ(seq.events[2].size, 2);
    EXPECT_EQ(seq.events[2].bytes[1], 5);
    EXPECT_EQ(seq.events[3].size, 3);
    EXPECT_EQ(seq.events[4].tick, 15u);
}

TEST(MidiFile, TracksMergeInTimeOrderKeepingTrackOrderOnTies) {
    Track a, b;
    a.noteOn(10, 1, 1).noteOn(10, 3, 1).end();
    b.noteOn(5, 0, 1).noteOn(5, 2, 1).noteOn(20, 4, 1).end();
    const auto seq = parseMidi(midiFile(1, 96, {a, b}));
    ASSERT_EQ(seq.events.size(), 5u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(seq.events[static_cast<std::size_t>(i)].bytes[1], i == 1 ? 1 : i == 2 ? 2 : i);
    EXPECT_EQ(seq.events[1].track, 0);  // tick 10 in both tracks: the first track first
    EXPECT_EQ(seq.events[2].track, 1);
}

TEST(MidiFile, SystemExclusiveAndMetaEventsAreSkippedAndOtherChunksIgnored) {
    Track t;
    t.event(0, {0xF0, 0x03, 0x43, 0x12, 0xF7}).event(0, {0xFF, 0x03, 0x04, 'n', 'a', 'm', 'e'}).noteOn(96, 60, 1).end();
    t.event(0, {0x90, 1, 1});  // after the end of the track: ignored
    Bytes file = midiFile(0, 96, {t});
    const Bytes alien = {'X', 'y', 'z', 'w', 0, 0, 0, 2, 9, 9};
    file.insert(file.begin() + 14, alien.begin(), alien.end());
    const auto seq = parseMidi(file);
    ASSERT_EQ(seq.events.size(), 1u);
    EXPECT_DOUBLE_EQ(seq.events[0].time.seconds(), 0.5);
}

TEST(MidiFile, SmpteDivisionsCountRealTime) {
    Track t;
    t.noteOn(500, 60, 1).end();
    // 25 frames per second, 40 ticks per frame: 1000 ticks per second; tempo does not apply.
    Track withTempo = t;
    withTempo.data.insert(withTempo.data.begin(), {0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40});
    const auto seq = parseMidi(midiFile(0, 0xE728, {withTempo}));
    EXPECT_EQ(seq.events.at(0).time.frame(44100), 22050u);
    // 29.97 frames per second, 100 ticks per frame: 2997 ticks are 0.999999 s.
    Track drop;
    drop.noteOn(2997, 60, 1).end();
    const auto seq29 = parseMidi(midiFile(0, 0xE364, {drop}));
    EXPECT_EQ(seq29.events.at(0).time.frame(44100), 44100u);
}

TEST(MidiFile, FramesRoundHalfUpAndRefuseOverflow) {
    EXPECT_EQ((aerie::MidiTime{1, 2}.frame(1)), 1u);
    EXPECT_EQ((aerie::MidiTime{1, 3}.frame(1)), 0u);
    EXPECT_EQ((aerie::MidiTime{2, 3}.frame(1)), 1u);
    EXPECT_EQ((aerie::MidiTime{7, 1}.frame(44100)), 308700u);
    EXPECT_THROW((aerie::MidiTime{~0ull, 1}.frame(44100)), MidiError);
}

// Each malformed file and the words its message must contain.
TEST(MidiFile, MalformedFilesAreRejectedWithAReason) {
    auto header = [](int format, int tracks, int division) {
        Bytes b = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
        fixtures::put16(b, static_cast<std::uint32_t>(format));
        fixtures::put16(b, static_cast<std::uint32_t>(tracks));
        fixtures::put16(b, static_cast<std::uint32_t>(division));
        return b;
    };
    auto withTrack = [&](Bytes body, int tracks = 1) {
        Bytes b = header(1, tracks, 96);
        b.insert(b.end(), {'M', 'T', 'r', 'k'});
        fixtures::put32(b, static_cast<std::uint32_t>(body.size()));
        b.insert(b.end(), body.begin(), body.end());
        return b;
    };
    Bytes longTrack = header(0, 1, 96);
    longTrack.insert(longTrack.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 100, 0, 0x90, 60, 1});

    const struct {
        const char* name;
        Bytes bytes;
        const char* message;
    } cases[] = {
        {"empty", {}, "not a MIDI file: it is empty"},
        {"another format", {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 0, 0}, "does not start with \"MThd\""},
        {"cut header", {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1}, "truncated MIDI file: the header is incomplete"},
        {"short header", {'M', 'T', 'h', 'd', 0, 0, 0, 4, 0, 0, 0, 1, 0, 96}, "header of 4 bytes"},
        {"format 2", header(2, 1, 96), "format 2 MIDI files (independent sequences) are not supported"},
        {"format 5", header(5, 1, 96), "unknown format 5"},
        {"no tracks", header(1, 0, 96), "declares no tracks"},
        {"zero division", header(0, 1, 0), "0 ticks per quarter note"},
        {"bad smpte", header(0, 1, 0xE028), "unknown SMPTE time division"},
        {"missing track", withTrack({0, 0xFF, 0x2F, 0}, 2), "truncated MIDI file: 1 of 2 tracks present"},
        {"track longer than file", longTrack, "track 1 declares 100 bytes but only 4 remain"},
        {"cut message", withTrack({0, 0x90, 60}), "track 1 ends inside a channel message"},
        {"cut delta", withTrack({0x81}), "track 1 ends inside an event's time"},
        {"no running status", withTrack({0, 60, 100}), "data byte 0x3C without a status byte"},
        {"status in data", withTrack({0, 0x90, 60, 0x80}), "status byte 0x80 inside a channel message"},
        {"long number", withTrack({0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x90, 1, 1}), "more than 4 bytes"},
        {"short tempo", withTrack({0, 0xFF, 0x51, 0x02, 1, 2}), "tempo event of 2 bytes"},
        {"zero tempo", withTrack({0, 0xFF, 0x51, 0x03, 0, 0, 0}), "tempo of 0"},
        {"cut meta", withTrack({0, 0xFF, 0x01, 0x09, 'a'}), "ends inside a meta event"},
        {"undefined status", withTrack({0, 0xF4}), "status byte 0xF4, which a MIDI file may not contain"},
        {"sysex ends running status", withTrack({0, 0x90, 60, 1, 0, 0xF0, 1, 0xF7, 0, 61, 1}), "without a status byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            parseMidi(c.bytes);
            ADD_FAILURE() << "accepted";
        } catch (const MidiError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

TEST(MidiFile, ReadingNamesTheFile) {
    try {
        aerie::readMidiFile(fixtures::tmpDir() + "/no-such.mid");
        ADD_FAILURE() << "accepted";
    } catch (const MidiError& e) {
        EXPECT_NE(std::string(e.what()).find("MIDI file not found: "), std::string::npos) << e.what();
    }
    const std::string bad = fixtures::tmpDir() + "/bad.mid";
    fixtures::writeFile(bad, {'M', 'T', 'h', 'd'});
    try {
        aerie::readMidiFile(bad);
        ADD_FAILURE() << "accepted";
    } catch (const MidiError& e) {
        EXPECT_NE(std::string(e.what()).find("truncated MIDI file: the header is incomplete: "), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("bad.mid"), std::string::npos);
    }
}

}  // namespace

namespace {

// Every cut and every single-byte change of a valid file either parses or is
// refused with MidiError: never another exception, a crash or a read past
// the end (which the sanitizer build would catch).
TEST(MidiFile, DamagedFilesNeverReadOutOfBounds) {
    Track tempo;
    tempo.tempo(0, 500000).event(0, {0xFF, 0x03, 0x02, 'h', 'i'}).tempo(96, 250000).end();
    Track notes;
    notes.noteOn(0, 60, 100).event(10, {61, 90}).event(0, {0xF0, 0x02, 0x01, 0xF7}).event(0, {0xC0, 3})
        .event(200, {0xE0, 0, 64}).noteOn(0x4000, 62, 1).end();
    const Bytes good = midiFile(1, 96, {tempo, notes});
    int refused = 0;
    auto attempt = [&](const Bytes& bytes) {
        try {
            parseMidi(bytes);
        } catch (const MidiError&) {
            ++refused;
        }
    };
    for (std::size_t n = 0; n < good.size(); ++n) attempt(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    for (std::size_t i = 0; i < good.size(); ++i) {
        for (unsigned char v : {0x00, 0x7F, 0x80, 0xFF}) {
            Bytes damaged = good;
            damaged[i] = v;
            attempt(damaged);
        }
    }
    EXPECT_GT(refused, static_cast<int>(good.size()));  // every cut but the complete one at least
}

}  // namespace
