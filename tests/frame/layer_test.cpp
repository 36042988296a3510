// kstv::Plugin and its pieces: mappings and display texts, programs, saved
// state (round trips, older and damaged chunks), events at their frames, and
// parameters set from one thread while another renders.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/plugin.h"
#include "tests/kit/chunk.h"

namespace {

using kstv::Mapping, kstv::Parameter, kstv::Range;
namespace fmt = kstv::fmt;

const char* const kModes[] = {"Clean", "Warm", "Hot"};
const Parameter kParams[] = {
    {10, "Level", "Lvl", "dB", Range::linear(-60.0, 12.0), 0.0, fmt::dbValue},
    {11, "Cutoff frequency", "Cutoff", "Hz", Range::logarithmic(20.0, 20000.0), 1000.0, fmt::hertz},
    {12, "Mode", "Mode", "", Range::choice(kModes), 1.0, fmt::choice},
    {13, "Bypass", "Bypass", "", Range::linear(0.0, 1.0), 0.0, fmt::onOff, false},
    {14, "Voices", "Voices", "", Range::stepped(1, 16), 4.0, fmt::integer},
};
const kstv::Program kPrograms[] = {
    {"First", {-6.0, 500.0, 0.0}},
    {"Second", {0.0, 2000.0, 2.0, 1.0, 8.0}},
    {"A program name far longer than the limit", {}},
};
const kstv::Pin kPins[] = {{"Left", "L", true}, {"Right", "R"}};

// Records what the layer hands it: the pieces rendered and the events, each
// at the frame it was delivered.
struct Probe : kstv::Plugin {
    explicit Probe(kstv::Description d = description(), std::int32_t id = fourCharCode('P', 'r', 'b', 'e'))
        : Plugin(nullptr, d) {
        identify({id, kPlugCategEffect, false});
    }
    static kstv::Description description() {
        return {.name = "Probe", .vendor = "Test", .product = "Probe", .version = 3, .parameters = kParams,
                .programs = kPrograms, .inputs = kPins, .outputs = kPins, .midiInput = true, .dataVersion = 2};
    }
    void render(const float* const* in, float* const* out, std::int32_t frames) override {
        pieces.push_back({rendered, frames});
        const float level = static_cast<float>(plain(0));
        for (std::int32_t i = 0; i < frames; ++i) {
            out[0][i] = in[0][i] + level;
            out[1][i] = static_cast<float>(rendered + i);
        }
        rendered += frames;
    }
    void onEvent(const kstv::Event& e) override { events.push_back({rendered, e.number}); }
    void startBlock(std::int32_t) override { rendered = 0; }
    void saveData(kstv::Writer& w) override { w.u32(extra); }
    bool loadData(kstv::Reader& r, std::uint32_t version) override {
        const std::uint32_t v = version >= 1 ? r.u32() : 7;  // version 0 had none
        if (!r.atEnd() || v == 0xDEAD) return false;
        extra = v;
        return true;
    }
    std::vector<unsigned char> chunk(bool preset) {
        return kit::chunkOf([this](std::int32_t op, std::int32_t i, VstIntPtr v, void* p) { return dispatcher(op, i, v, p, 0.0f); },
                            preset);
    }
    VstIntPtr load(std::vector<unsigned char> bytes, bool preset) {
        return dispatcher(effSetChunk, preset ? 1 : 0, static_cast<VstIntPtr>(bytes.size()),
                          bytes.empty() ? nullptr : bytes.data(), 0.0f);
    }
    std::string text(std::int32_t opcode, std::int32_t index = 0) {
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        buffer[255] = '\0';
        dispatcher(opcode, index, 0, buffer, 0.0f);
        return buffer;
    }

    struct Piece {
        std::int32_t at, frames;
        bool operator==(const Piece&) const = default;
    };
    std::vector<Piece> pieces;
    std::vector<Piece> events;  // frame, note number
    std::int32_t rendered = 0;
    std::uint32_t extra = 5;
};

std::vector<unsigned char> u32(std::uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v >> 16),
            static_cast<unsigned char>(v >> 24)};
}
void append(std::vector<unsigned char>& to, const std::vector<unsigned char>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}
std::vector<unsigned char> f32(float v) {
    std::uint32_t b;
    std::memcpy(&b, &v, 4);
    return u32(b);
}

// ---- mappings and texts -----------------------------------------------------------

TEST(Mapping, EdgesMapBackToThemselves) {
    const struct {
        Range range;
        double plainAtHalf;
    } cases[] = {
        {Range::linear(-60.0, 12.0), -24.0},
        {Range::logarithmic(20.0, 20000.0), std::sqrt(20.0 * 20000.0)},
        {Range::stepped(1, 16), 9.0},  // 8.5 rounds away from zero
        {Range::choice(kModes), 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.range.mapping));
        EXPECT_EQ(c.range.toPlain(0.0), c.range.min);
        EXPECT_EQ(c.range.toPlain(1.0), c.range.max);
        EXPECT_NEAR(c.range.toPlain(0.5), c.plainAtHalf, 1e-9);
        EXPECT_EQ(c.range.toPlain(-3.0), c.range.min);  // clamped, NaN too
        EXPECT_EQ(c.range.toPlain(NAN), c.range.min);
        EXPECT_EQ(c.range.toNormalised(c.range.max * 10.0 + 10.0), 1.0);
        for (double n : {0.0, 1.0}) EXPECT_EQ(c.range.toNormalised(c.range.toPlain(n)), n);
    }
    // Each choice owns an equal share of 0..1 and comes back as itself.
    const Range modes = Range::choice(kModes);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(modes.toPlain(modes.toNormalised(i)), i);
    EXPECT_EQ(modes.toPlain(0.3333), 0.0);
    EXPECT_EQ(modes.toPlain(0.3334), 1.0);
}

TEST(Texts, FormattersRoundAndFitTheField) {
    const Parameter gain{1, "G", "G", "", Range::linear(0.0, 4.0), 1.0, fmt::decibels};
    const Parameter freq{2, "F", "F", "", Range::logarithmic(20.0, 20000.0), 1000.0, fmt::hertz};
    const Parameter time{3, "T", "T", "", Range::logarithmic(1.0, 10000.0), 1.0, fmt::milliseconds};
    const Parameter part{4, "P", "P", "", Range::linear(0.0, 1.0), 0.0, fmt::percent};
    const Parameter flag{5, "S", "S", "", Range::linear(0.0, 1.0), 0.0, fmt::onOff};
    const Parameter mode{6, "M", "M", "", Range::choice(kModes), 0.0, fmt::choice};
    const Parameter num{7, "N", "N", "Q", Range::linear(-1e12, 1e12), 0.0, fmt::number};
    const struct {
        const Parameter& p;
        double plain;
        const char* text;
        const char* unit;
        double tolerance;  // of the value read back from text and unit
    } cases[] = {
        {gain, 0.5, "-6.02", "dB", 1e-3}, {gain, 1.0, "0.00", "dB", 1e-9}, {gain, 0.0, "-inf", "dB", 0.0},
        {gain, 4.0, "12.04", "dB", 5e-3},  {gain, 1e-9, "-180.00", "dB", 1e-11},
        {freq, 20.0, "20.0", "Hz", 1e-9},  {freq, 999.4, "999", "Hz", 0.5}, {freq, 999.6, "1.00", "kHz", 0.5},
        {freq, 20000.0, "20.0", "kHz", 1e-9}, {freq, 1234.5, "1.23", "kHz", 5.0},
        {time, 1.0, "1.00", "ms", 1e-9},   {time, 250.0, "250", "ms", 1e-9}, {time, 1200.0, "1.20", "s", 1e-9},
        {time, 10000.0, "10.0", "s", 1e-9},
        {part, 0.0, "0.000", "%", 1e-9},   {part, 0.5, "50.0", "%", 1e-9}, {part, 1.0, "100", "%", 1e-9},
        {flag, 0.0, "Off", "", 0.0},       {flag, 1.0, "On", "", 0.0},
        {mode, 0.0, "Clean", "", 0.0},     {mode, 2.0, "Hot", "", 0.0},
        {num, -0.0001, "0.000", "Q", 1e-3}, {num, 0.5, "0.500", "Q", 1e-9}, {num, -12345.6, "-12346", "Q", 0.5},
        {num, -1234567.0, "-1234567", "Q", 0.0}, {num, 1e9, "Huge", "Q", -1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + c.unit);
        const kstv::Shown s = c.p.show(c.plain);
        EXPECT_STREQ(s.text, c.text);
        EXPECT_STREQ(s.unit, c.unit);
        EXPECT_LE(std::strlen(s.text), 8u);
        if (c.tolerance < 0.0) continue;  // a text that names no value
        double back = -1.0;
        ASSERT_TRUE(c.p.parse((std::string(s.text) + " " + s.unit).c_str(), back));
        EXPECT_NEAR(back, c.plain, c.tolerance);
        ASSERT_TRUE(c.p.parse(s.text, back));  // the number alone is in the unit shown, or the base one
    }
    double v = 0.0;
    for (const char* bad : {"", "  ", "abc", "12 furlongs", "nan", "inf"}) EXPECT_FALSE(freq.parse(bad, v)) << bad;
    EXPECT_TRUE(freq.parse(" 2.5 k ", v));
    EXPECT_EQ(v, 2500.0);
    EXPECT_TRUE(mode.parse("warm", v));
    EXPECT_EQ(v, 1.0);
    EXPECT_TRUE(flag.parse("ON", v));
    EXPECT_EQ(v, 1.0);
}

TEST(Texts, HostQueriesKeepTheInterfaceLimits) {
    Probe p;
    EXPECT_EQ(p.text(effGetParamName, 1), "Cutoff f");  // 8 characters
    EXPECT_EQ(p.text(effGetParamDisplay, 1), "500");  // the first program's
    EXPECT_EQ(p.text(effGetParamLabel, 1), "Hz");
    p.setParameter(1, 1.0f);
    EXPECT_EQ(p.text(effGetParamDisplay, 1), "20.0");
    EXPECT_EQ(p.text(effGetParamLabel, 1), "kHz");
    EXPECT_EQ(p.text(effGetParamDisplay, 12), "");  // no such parameter
    EXPECT_EQ(p.text(effGetProgramNameIndexed, 2), "A program name far long");  // 23
    EXPECT_EQ(p.text(effGetEffectName), "Probe");
    EXPECT_EQ(p.dispatcher(effCanBeAutomated, 3, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(p.dispatcher(effCanBeAutomated, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(p.dispatcher(effGetPlugCategory, 0, 0, nullptr, 0.0f), kPlugCategEffect);
    char receive[] = "receiveVstMidiEvent", pins[] = "2in2out", other[] = "offline";
    EXPECT_EQ(p.dispatcher(effCanDo, 0, 0, receive, 0.0f), 1);
    EXPECT_EQ(p.dispatcher(effCanDo, 0, 0, pins, 0.0f), 1);
    EXPECT_EQ(p.dispatcher(effCanDo, 0, 0, other, 0.0f), -1);

    char typed[] = "-12 dB";
    EXPECT_EQ(p.dispatcher(effString2Parameter, 0, 0, typed, 0.0f), 1);
    EXPECT_EQ(p.text(effGetParamDisplay, 0), "-12.0");
    char junk[] = "loud";
    EXPECT_EQ(p.dispatcher(effString2Parameter, 0, 0, junk, 0.0f), 0);

    VstParameterProperties props{};
    ASSERT_EQ(p.dispatcher(effGetParameterProperties, 4, 0, &props, 0.0f), 1);
    EXPECT_STREQ(props.label, "Voices");
    EXPECT_EQ(props.flags, kVstParameterUsesIntegerMinMax | kVstParameterUsesIntStep);
    EXPECT_EQ(props.minInteger, 1);
    EXPECT_EQ(props.maxInteger, 16);
    ASSERT_EQ(p.dispatcher(effGetParameterProperties, 1, 0, &props, 0.0f), 1);
    EXPECT_STREQ(props.shortLabel, "Cutoff");
    EXPECT_NE(props.flags & kVstParameterCanRamp, 0);

    // Pins: the layer writes label, flags, arrangement and short label; the
    // reserved bytes stay as the host left them.
    VstPinProperties pin;
    std::memset(&pin, 0x5A, sizeof pin);
    ASSERT_EQ(p.dispatcher(effGetOutputProperties, 1, 0, &pin, 0.0f), 1);
    EXPECT_STREQ(pin.label, "Right");
    EXPECT_STREQ(pin.shortLabel, "R");
    EXPECT_EQ(pin.flags, kVstPinIsActive | kVstPinUseSpeaker);
    EXPECT_EQ(pin.arrangementType, kVstSpeakerArrStereo);
    EXPECT_EQ(static_cast<unsigned char>(pin.reserved[47]), 0x5A);
    EXPECT_EQ(p.dispatcher(effGetOutputProperties, 2, 0, &pin, 0.0f), 0);
}

// ---- programs -----------------------------------------------------------------------------

TEST(Programs, EachKeepsItsValuesAndHostsCannotLeaveTheTable) {
    Probe p;
    EXPECT_EQ(p.getAeffect()->numPrograms, 3);
    EXPECT_EQ(p.text(effGetParamDisplay, 0), "-6.00");  // the first program's level
    p.dispatcher(effSetProgram, 0, 1, nullptr, 0.0f);
    EXPECT_EQ(p.text(effGetParamDisplay, 0), "0.000");
    EXPECT_EQ(p.text(effGetParamDisplay, 4), "8");
    p.setParameter(0, 1.0f);
    p.dispatcher(effSetProgram, 0, -1, nullptr, 0.0f);  // reaches setProgram: ignored
    EXPECT_EQ(p.dispatcher(effGetProgram, 0, 0, nullptr, 0.0f), 1);
    p.dispatcher(effSetProgram, 0, 0, nullptr, 0.0f);
    EXPECT_EQ(p.text(effGetParamDisplay, 0), "-6.00");
    p.setParameter(0, NAN);  // ignored
    p.setParameter(0, 9.0f);  // clamped
    EXPECT_EQ(p.getParameter(0), 1.0f);
    EXPECT_EQ(p.text(effGetProgramName), "First");
    EXPECT_EQ(p.text(effGetParamDisplay, 3), "Off");  // not in the program: its default
}

// ---- state -----------------------------------------------------------------------------------

TEST(State, BankAndProgramComeBackAsSaved) {
    Probe a;
    a.dispatcher(effSetProgram, 0, 2, nullptr, 0.0f);
    a.setParameter(1, 0.25f);
    char name[] = "Renamed";
    a.dispatcher(effSetProgramName, 0, 0, name, 0.0f);
    a.extra = 99;
    const auto bank = a.chunk(false), program = a.chunk(true);

    Probe b;
    EXPECT_EQ(b.load(bank, false), 1);
    EXPECT_EQ(b.dispatcher(effGetProgram, 0, 0, nullptr, 0.0f), 2);
    EXPECT_EQ(b.getParameter(1), 0.25f);
    EXPECT_EQ(b.text(effGetProgramName), "Renamed");
    EXPECT_EQ(b.extra, 99u);
    EXPECT_EQ(b.chunk(false), bank);

    Probe c;  // a program chunk goes into the current program
    c.dispatcher(effSetProgram, 0, 1, nullptr, 0.0f);
    EXPECT_EQ(c.load(program, true), 1);
    EXPECT_EQ(c.text(effGetProgramName), "Renamed");
    EXPECT_EQ(c.getParameter(1), 0.25f);
    EXPECT_EQ(c.text(effGetProgramNameIndexed, 2), "A program name far long");
}

// A chunk as an older build of the plug-in saved it: parameters by id (one
// it no longer has, one it did not have yet), its own data at version 0.
TEST(State, OlderChunksAndUnknownIdsLoad) {
    std::vector<unsigned char> c = {'K', 's', 'S', 't'};
    for (std::uint32_t v : {1u, 1u, static_cast<std::uint32_t>(fourCharCode('P', 'r', 'b', 'e')), 0u, 1u, 0u}) append(c, u32(v));
    char name[24] = "Old";
    c.insert(c.end(), name, name + 24);
    append(c, u32(3));
    append(c, u32(12));  // Mode
    append(c, f32(1.0f));
    append(c, u32(99));  // an id this build does not know
    append(c, f32(0.5f));
    append(c, u32(10));  // Level
    append(c, f32(0.25f));
    append(c, u32(0));   // no data of its own
    Probe p;
    p.setParameter(4, 1.0f);
    ASSERT_EQ(p.load(c, true), 1);
    EXPECT_EQ(p.getParameter(2), 1.0f);
    EXPECT_EQ(p.getParameter(0), 0.25f);
    EXPECT_EQ(p.text(effGetParamDisplay, 4), "4");  // not in the chunk: the default, not what it was
    EXPECT_EQ(p.text(effGetProgramName), "Old");
    EXPECT_EQ(p.extra, 7u);  // loadData saw version 0
}

TEST(State, DamagedChunksAreRefusedAndChangeNothing) {
    Probe p;
    p.setParameter(0, 0.75f);
    const auto bank = p.chunk(false), program = p.chunk(true);
    const auto with = [](std::vector<unsigned char> c, std::size_t at, std::vector<unsigned char> bytes) {
        std::copy(bytes.begin(), bytes.end(), c.begin() + static_cast<std::ptrdiff_t>(at));
        return c;
    };
    std::vector<unsigned char> longer = bank;
    longer.push_back(0);
    const std::size_t firstValue = 28 + 24 + 4 + 4;  // header, name, count, the first id
    const struct {
        const char* what;
        std::vector<unsigned char> bytes;
        bool preset;
    } cases[] = {
        {"empty", {}, false},
        {"one byte short", {bank.begin(), bank.end() - 1}, false},
        {"one byte more", longer, false},
        {"header only", {bank.begin(), bank.begin() + 28}, false},
        {"another magic", with(bank, 0, {'X'}), false},
        {"a newer layout", with(bank, 4, u32(2)), false},
        {"a program where a bank belongs", program, false},
        {"a bank where a program belongs", bank, true},
        {"another plug-in's", with(bank, 12, u32(1234)), false},
        {"no programs", with(bank, 20, u32(0)), false},
        {"a million programs", with(bank, 20, u32(1000000)), false},
        {"current program beyond them", with(bank, 24, u32(3)), false},
        {"a name without its end", with(bank, 28, std::vector<unsigned char>(24, 'n')), false},
        {"more values than bytes", with(bank, 28 + 24, u32(0x10000000)), false},
        {"a value that is not a number", with(bank, firstValue, f32(NAN)), false},
        {"a value above 1", with(bank, firstValue, f32(1.5f)), false},
        {"its own data beyond the end", with(bank, bank.size() - 8, u32(100)), false},
        {"its own data refused", with(bank, bank.size() - 4, u32(0xDEAD)), false},
        {"random bytes", std::vector<unsigned char>(bank.size(), 0xA7), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(p.load(c.bytes, c.preset), 0);
        EXPECT_EQ(p.chunk(false), bank);
    }
    EXPECT_EQ(p.dispatcher(effSetChunk, 0, 100, nullptr, 0.0f), 0);
    EXPECT_EQ(p.dispatcher(effGetChunk, 0, 0, nullptr, 0.0f), 0);
}

// ---- events at their frames ------------------------------------------------------------------

kstv::Event noteAt(std::int32_t frame, int note) {
    kstv::Event e;
    e.frame = frame;
    e.number = static_cast<std::uint8_t>(note);
    return e;
}

TEST(Events, BlocksAreSplitAtEachEventsFrame) {
    using Piece = Probe::Piece;
    const struct {
        const char* what;
        std::int32_t frames;
        std::vector<kstv::Event> events;
        std::vector<Piece> pieces, delivered;  // delivered: frame, note
    } cases[] = {
        {"none", 64, {}, {{0, 64}}, {}},
        {"first and last frame", 64, {noteAt(0, 1), noteAt(63, 2)}, {{0, 63}, {63, 1}}, {{0, 1}, {63, 2}}},
        {"several on one frame, in order", 64, {noteAt(10, 1), noteAt(10, 2), noteAt(10, 3)}, {{0, 10}, {10, 54}},
         {{10, 1}, {10, 2}, {10, 3}}},
        {"out of order", 64, {noteAt(40, 1), noteAt(5, 2), noteAt(40, 3), noteAt(20, 4)},
         {{0, 5}, {5, 15}, {20, 20}, {40, 24}}, {{5, 2}, {20, 4}, {40, 1}, {40, 3}}},
        {"outside the block", 64, {noteAt(-5, 1), noteAt(64, 2), noteAt(1000, 3)}, {{0, 63}, {63, 1}},
         {{0, 1}, {63, 2}, {63, 3}}},
        {"a block of no frames", 0, {noteAt(0, 1), noteAt(7, 2)}, {}, {{0, 1}, {0, 2}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Probe p;
        std::vector<float> in(64, 0.0f), l(64), r(64);
        float* ins[] = {in.data(), in.data()};
        float* outs[] = {l.data(), r.data()};
        // Through the host's event list, as MIDI note-ons.
        std::vector<VstMidiEvent> midi(c.events.size());
        std::vector<unsigned char> storage(sizeof(VstEvents) + sizeof(VstEvent*) * midi.size());
        auto* list = reinterpret_cast<VstEvents*>(storage.data());
        list->numEvents = static_cast<std::int32_t>(midi.size());
        for (std::size_t i = 0; i < midi.size(); ++i) {
            midi[i] = {kVstMidiType, 24, c.events[i].frame, 0, 0, 0, {'\x90', static_cast<char>(c.events[i].number), 100, 0}, 0, 0, 0, 0};
            eventSlots(list)[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        p.dispatcher(effProcessEvents, 0, 0, list, 0.0f);
        p.processReplacing(ins, outs, c.frames);
        EXPECT_EQ(p.pieces, c.pieces);
        EXPECT_EQ(p.events, c.delivered);
        for (std::int32_t i = 0; i < c.frames; ++i) ASSERT_EQ(r[static_cast<std::size_t>(i)], i);  // every frame once
        p.events.clear();
        p.processReplacing(ins, outs, 8);  // the events were this block's only
        EXPECT_TRUE(p.events.empty());
    }
}

TEST(Events, MidiDecodesToTypedEvents) {
    using Kind = kstv::Event::Kind;
    const struct {
        unsigned char bytes[3];
        bool decoded;
        Kind kind;
        int number, value;
        float bend;
    } cases[] = {
        {{0x93, 60, 100}, true, Kind::NoteOn, 60, 100, 0.0f},  {{0x90, 60, 0}, true, Kind::NoteOff, 60, 0, 0.0f},
        {{0x80, 61, 64}, true, Kind::NoteOff, 61, 64, 0.0f},   {{0xB0, 7, 90}, true, Kind::Controller, 7, 90, 0.0f},
        {{0xB0, 123, 0}, true, Kind::AllNotesOff, 123, 0, 0.0f}, {{0xB0, 120, 0}, true, Kind::AllNotesOff, 120, 0, 0.0f},
        {{0xC0, 5, 0}, true, Kind::ProgramChange, 5, 0, 0.0f},  {{0xE0, 0, 0x40}, true, Kind::PitchBend, 0, 64, 0.0f},
        {{0xE0, 0, 0}, true, Kind::PitchBend, 0, 0, -1.0f},     {{0xE0, 0x7F, 0x7F}, true, Kind::PitchBend, 127, 127, 1.0f},
        {{0xF8, 0, 0}, false, Kind::NoteOn, 0, 0, 0.0f},        {{0x40, 0, 0}, false, Kind::NoteOn, 0, 0, 0.0f},
        {{0xD0, 5, 0}, false, Kind::NoteOn, 0, 0, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.bytes[0]));
        kstv::Event e;
        ASSERT_EQ(kstv::decodeMidi(c.bytes, e), c.decoded);
        if (!c.decoded) continue;
        EXPECT_EQ(e.kind, c.kind);
        EXPECT_EQ(e.number, c.number);
        EXPECT_EQ(e.value, c.value);
        EXPECT_EQ(e.bend, c.bend);
        EXPECT_EQ(e.channel, c.bytes[0] & 0x0F);
    }
}

TEST(Audio, AccumulatingAddsWhatReplacingWritesInPieces) {
    Probe a, b;
    b.dispatcher(effSetBlockSize, 0, 16, nullptr, 0.0f);  // scratch of 16: a 100-frame block goes in pieces
    std::vector<float> in(100), want(100), wantR(100), got(100, 0.5f), gotR(100, -1.0f);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) * 0.01f;
    float* ins[] = {in.data(), in.data()};
    float* replaced[] = {want.data(), wantR.data()};
    float* added[] = {got.data(), gotR.data()};
    a.processReplacing(ins, replaced, 100);
    b.process(ins, added, 100);
    for (std::size_t i = 0; i < 100; ++i) {
        ASSERT_EQ(got[i], 0.5f + want[i]) << i;
        ASSERT_EQ(gotR[i], -1.0f + wantR[i]) << i;
    }
    EXPECT_EQ(b.pieces.size(), 7u);
    float* none[] = {nullptr, nullptr};
    b.processReplacing(ins, none, 100);  // null buffers: nothing rendered, nothing written
    b.processReplacing(nullptr, nullptr, 100);
    EXPECT_EQ(b.pieces.size(), 7u);
}

// Whatever the pins, one missing buffer, in any place, means nothing is
// rendered; with every buffer there the block is rendered once.
TEST(Audio, AnyMissingBufferStopsTheRender) {
    struct Counter : kstv::Plugin {
        explicit Counter(const kstv::Description& d) : Plugin(nullptr, d) {}
        void render(const float* const*, float* const*, std::int32_t) override { ++renders; }
        int renders = 0;
    };
    const kstv::Pin pins[] = {{"A", "A"}, {"B", "B"}, {"C", "C"}};
    const struct {
        std::size_t ins, outs;
    } layouts[] = {{0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}, {2, 1}, {3, 3}, {0, 3}};
    float buffer[8] = {};
    for (const auto& l : layouts) {
        SCOPED_TRACE(std::to_string(l.ins) + " in, " + std::to_string(l.outs) + " out");
        Counter c({.name = "C", .vendor = "Test", .product = "C", .inputs = std::span(pins, l.ins), .outputs = std::span(pins, l.outs)});
        float* ins[3] = {buffer, buffer, buffer};
        float* outs[3] = {buffer, buffer, buffer};
        c.processReplacing(ins, outs, 8);
        EXPECT_EQ(c.renders, 1);
        for (std::size_t k = 0; k < l.ins + l.outs; ++k) {
            float*& missing = k < l.ins ? ins[k] : outs[k - l.ins];
            missing = nullptr;
            c.processReplacing(ins, outs, 8);
            c.process(ins, outs, 8);
            missing = buffer;
            EXPECT_EQ(c.renders, 1) << "buffer " << k << " missing";
        }
        c.processReplacing(l.ins == 0 ? nullptr : ins, nullptr, 8);
        EXPECT_EQ(c.renders, 1);
        if (l.ins == 0) {  // an instrument may be handed no input array at all
            c.processReplacing(nullptr, outs, 8);
            EXPECT_EQ(c.renders, 2);
        }
    }
}

// A ramp taken a frame at a time, or in blocks of any size (whole or split
// into its ramp and its rest), gives the same values to the bit; it moves by
// even steps, lands on each target exactly, and a new target mid-ramp starts
// from where it is.
TEST(Smoother, BlocksOfAnySizeGiveTheFramesValues) {
    const auto run = [](std::int32_t block, bool split) {
        kstv::LinearSmoother s;
        s.setTime(0.01, 4410.0);  // 44 frames
        s.reset(0.25f);
        std::vector<float> values;
        for (std::int32_t at = 0; at < 160;) {
            if (at == 0) s.setTarget(1.0f);
            if (at == 30) s.setTarget(-0.5f);
            std::int32_t n = std::min(block == 0 ? 1 : block, 160 - at);
            if (at < 30) n = std::min(n, 30 - at);  // a piece ends where the target moves, as at an event
            if (block == 0) {
                values.push_back(s.next());
            } else {
                const kstv::Ramp r = s.block(n);
                for (std::int32_t k = 0; k < n; ++k) {
                    values.push_back(!split ? r.value(k) : k < r.ramped(n) ? r.onRamp(k) : r.target);
                }
            }
            at += n;
        }
        return values;
    };
    const std::vector<float> frames = run(0, false);
    for (const std::int32_t block : {1, 7, 30, 64, 200}) {
        EXPECT_EQ(run(block, false), frames) << block;
        EXPECT_EQ(run(block, true), frames) << block;
    }
    // Frames 0..29 climb from 0.25 toward 1 by 0.75/44; 30..73 head for -0.5.
    for (std::size_t k = 1; k < 30; ++k) EXPECT_NEAR(frames[k] - frames[k - 1], 0.75f / 44.0f, 1e-6f) << k;
    EXPECT_NEAR(frames[30] - frames[29], (-0.5f - frames[29]) / 44.0f, 1e-6f);
    EXPECT_EQ(frames[73], -0.5f);
    EXPECT_EQ(frames.back(), -0.5f);

    kstv::LinearSmoother odd;  // lengths no rate gives: one frame
    for (const double seconds : {0.0, -1.0, std::nan(""), 1.0e30}) {
        odd.setTime(seconds, 44100.0);
        odd.reset(0.0f);
        odd.setTarget(2.0f);
        EXPECT_EQ(odd.next(), 2.0f) << seconds;
    }
}

// One thread sets the level as fast as it can while the other renders: every
// sample is one of the two values (never torn) and the renders go on.
TEST(Stress, ParametersSetWhileRendering) {
    Probe p;
    p.setParameter(0, 0.0f);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned k = 0; !stop.load(); ++k) p.setParameter(0, (k & 1) != 0 ? 1.0f : 0.0f);
    });
    std::vector<float> in(256, 0.0f), l(256), r(256);
    float* ins[] = {in.data(), in.data()};
    float* outs[] = {l.data(), r.data()};
    float odd = 0.0f;  // a sample that is neither value, if any
    for (int block = 0; block < 4000; ++block) {
        p.processReplacing(ins, outs, 256);
        for (float s : l) odd = s == -60.0f || s == 12.0f ? odd : s;
        if (block % 100 == 0) (void)p.chunk(false);
    }
    stop = true;
    writer.join();
    EXPECT_EQ(odd, 0.0f);
}

}  // namespace
