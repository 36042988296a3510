// What every plug-in module must stand, whatever it sounds like: its entry,
// its record, an identity that is the same on every instance, and what the
// strictest hosts and validators do to it (thousands of instances, odd
// request orders, every opcode with null pointers, absurd rates, parameter
// values and frame counts, floating-point traps unmasked). Every render goes
// through guarded buffers for all the pins the record announces, and what
// comes out must be finite and never subnormal.
//
// The validator runs the request sweeps, the odd orders and the traps on any
// plug-in too (requests.*, processing.fp-traps), calibrated on plug-ins in
// wide use; here they run at full strength on this project's modules.
//
// Run by kstv_add_plugin for every module it makes:
//     kstv_conformance --module=PATH --unique-id=ABCD --file-name=NAME
#include <cfloat>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <map>

#include "tests/kit/kit.h"

namespace {

using kit::module;

constexpr std::int32_t kMin32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax32 = std::numeric_limits<std::int32_t>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kSignallingNaN = std::numeric_limits<float>::signaling_NaN();

std::int32_t expectedId() {
    const std::string id = kit::option("unique-id");
    return id.size() == 4 ? fourCharCode(id[0], id[1], id[2], id[3]) : 0;
}

using kit::RawHost;

using kit::Entry;
using kit::render;

// An instance as hosts usually set one up: rate, block size, resume.
struct Session : kit::Session {
    using kit::Session::Session;
    // A few ordinary blocks through both entries: still clean.
    void renderSome() {
        for (Entry entry : {Entry::Replace, Entry::Accumulate, Entry::Replace}) render(*instance, 512, entry);
    }
};

// Everything a host can ask an instance without changing it.
std::map<std::string, std::string> identity(Session& s) {
    std::map<std::string, std::string> out;
    const AEffect* e = s.instance->raw().effect();
    const auto put = [&](const std::string& key, long long value) { out[key] = std::to_string(value); };
    put("numPrograms", e->numPrograms);
    put("numParams", e->numParams);
    put("numInputs", e->numInputs);
    put("numOutputs", e->numOutputs);
    put("flags", e->flags);
    put("uniqueID", e->uniqueID);
    put("version", e->version);
    put("initialDelay", e->initialDelay);
    out["effectName"] = s.instance->raw().text(effGetEffectName);
    out["vendor"] = s.instance->raw().text(effGetVendorString);
    out["product"] = s.instance->raw().text(effGetProductString);
    put("vendorVersion", s.dispatch(effGetVendorVersion));
    put("category", s.dispatch(effGetPlugCategory));
    put("vstVersion", s.dispatch(effGetVstVersion));
    put("tail", s.dispatch(effGetTailSize));
    for (const char* word : {"receiveVstEvents", "receiveVstMidiEvent", "sendVstMidiEvent", "1in1out", "2in2out",
                             "plugAsChannelInsert", "bypass", "noSuchCapability"}) {
        put(std::string("canDo ") + word, s.instance->canDo(word));
    }
    for (std::int32_t p = 0; p < e->numPrograms && p < 128; ++p) {
        out["program " + std::to_string(p)] = s.instance->raw().text(effGetProgramNameIndexed, p);
    }
    for (std::int32_t i = 0; i < e->numParams && i < 128; ++i) {
        const std::string at = "parameter " + std::to_string(i);
        out[at + " name"] = s.instance->raw().text(effGetParamName, i);
        out[at + " label"] = s.instance->raw().text(effGetParamLabel, i);
        out[at + " display"] = s.instance->raw().text(effGetParamDisplay, i);
        out[at + " value"] = std::to_string(s.instance->raw().getParameter(i));
    }
    for (std::int32_t opcode : {effGetInputProperties, effGetOutputProperties}) {
        for (std::int32_t pin = 0; pin < 4; ++pin) {
            VstPinProperties props{};
            const VstIntPtr answer = s.dispatch(opcode, pin, 0, &props);
            out["pin " + std::to_string(opcode) + "/" + std::to_string(pin)] =
                std::to_string(answer) + " " + std::string(props.label, strnlen(props.label, 64)) + " " +
                std::to_string(props.flags);
        }
    }
    return out;
}

}  // namespace

// ---- the entry and the record -------------------------------------------------

TEST(Entry, AsksTheVersionOnceWithANullRecordAndRefusesVersionZero) {
    RawHost::calls = 0;
    RawHost::version = 0;
    EXPECT_EQ(module().entry()(&RawHost::callback), nullptr);
    EXPECT_EQ(RawHost::calls, 1);
    EXPECT_EQ(RawHost::lastEffect, nullptr);
    EXPECT_EQ(RawHost::lastOpcode, audioMasterVersion);

    RawHost::calls = 0;
    RawHost::version = 2;
    AEffect* e = module().entry()(&RawHost::callback);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(RawHost::calls, 1);  // the constructor itself sends nothing
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(Entry, NullCallbackGivesNoInstance) { EXPECT_EQ(module().entry()(nullptr), nullptr); }

TEST(Entry, ExportedNamesAndTheFileName) {
    void* mainEntry = module().symbol("main");
    ASSERT_NE(mainEntry, nullptr);
#if defined(_WIN32) && !defined(_WIN64)
    EXPECT_EQ(module().ordinal(1), mainEntry);
    EXPECT_EQ(module().symbol("VSTPluginMain"), nullptr);
#else
    EXPECT_EQ(module().symbol("VSTPluginMain"), mainEntry);
#endif
    const std::string& path = module().path();
    const std::string name = path.substr(path.find_last_of("/\\") + 1);
    EXPECT_EQ(name, kit::option("file-name"));
}

TEST(Record, AFreshRecordIsWellFormed) {
    RawHost::version = 2;
    AEffect* e = module().entry()(&RawHost::callback);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->uniqueID, expectedId()) << "expected '" << kit::option("unique-id") << "'";
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_NE(e->object, nullptr);
    EXPECT_EQ(e->user, nullptr);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    for (char c : e->future) EXPECT_EQ(c, 0);
    EXPECT_NE(e->dispatcher, nullptr);
    EXPECT_NE(e->process, nullptr);
    EXPECT_NE(e->setParameter, nullptr);
    EXPECT_NE(e->getParameter, nullptr);
    if ((e->flags & effFlagsCanReplacing) != 0) {
        EXPECT_NE(e->processReplacing, nullptr);
    }
    EXPECT_EQ(e->flags & effFlagsHasEditor, 0) << "announces an editor the frame cannot open";
    EXPECT_GE(e->numInputs, 0);
    EXPECT_GE(e->numOutputs, 1);
    EXPECT_GE(e->numPrograms, 0);
    EXPECT_GE(e->numParams, 0);
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(Identity, EveryInstanceShowsTheSameAndInstancesAreIndependent) {
    Session first;
    const auto fresh = identity(first);
    const AEffect* e = first.instance->raw().effect();
    // Change what a host can change on the first, then make another.
    for (std::int32_t i = 0; i < e->numParams; ++i) first.instance->raw().setParameter(i, 0.9f);
    if (e->numPrograms > 1) first.dispatch(effSetProgram, 0, e->numPrograms - 1);
    first.dispatch(effSetSampleRate, 0, 0, nullptr, 96000.0f);
    first.renderSome();
    Session second;
    EXPECT_EQ(identity(second), fresh);
    Session third(48000.0f, 64);
    third.dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    EXPECT_EQ(identity(third), fresh);
}

// ---- parameters, programs and state ---------------------------------------------

TEST(State, ParametersProgramsAndChunksAnswerConsistently) {
    Session s;
    const AEffect* e = s.instance->raw().effect();
    for (std::int32_t i = 0; i < e->numParams; ++i) {
        for (float v : {0.0f, 0.25f, 1.0f}) {
            s.instance->raw().setParameter(i, v);
            EXPECT_EQ(s.instance->raw().getParameter(i), v) << "parameter " << i;
        }
    }
    for (std::int32_t p = 0; p < e->numPrograms; ++p) {
        s.dispatch(effSetProgram, 0, p);
        EXPECT_EQ(s.dispatch(effGetProgram), p);
        EXPECT_EQ(s.instance->raw().text(effGetProgramName), s.instance->raw().text(effGetProgramNameIndexed, p));
    }
    if ((e->flags & effFlagsProgramChunks) == 0) return;
    // The state saved, spoiled and restored reads back as saved.
    for (std::int32_t isPreset : {0, 1}) {
        void* data = nullptr;
        const auto size = s.dispatch(effGetChunk, isPreset, 0, &data);
        ASSERT_GT(size, 0);
        ASSERT_NE(data, nullptr);
        std::vector<unsigned char> saved(static_cast<const unsigned char*>(data),
                                         static_cast<const unsigned char*>(data) + size);
        const auto before = identity(s);
        for (std::int32_t i = 0; i < e->numParams; ++i) s.instance->raw().setParameter(i, 0.75f);
        EXPECT_EQ(s.dispatch(effSetChunk, isPreset, size, saved.data()), 1);
        EXPECT_EQ(identity(s), before) << (isPreset ? "program" : "bank") << " chunk";
    }
}

// ---- what validators do --------------------------------------------------------------

TEST(Validator, TenThousandInstancesComeAndGoWithoutGrowingTheProcess) {
    aerie::Host host;
    aerie::EventList events;
    events.addNoteOn(3, 60, 127);
    events.addNoteOn(40, 20, 90);
    auto cycle = [&](int i) {
        host.requests.clear();
        aerie::Instance instance(module(), host);
        instance.open();
        instance.configure(i % 2 == 0 ? 44100.0 : 48000.0, 256);
        instance.resume();
        instance.sendEvents(events);
        render(instance, 256);
        instance.sendEvents(events);  // never rendered
        instance.suspend();
        EXPECT_EQ(instance.close(), 1);
    };
    for (int i = 0; i < 200; ++i) cycle(i);  // let the allocators settle
    const std::size_t before = kit::memoryInUse();
    ASSERT_GT(before, 0u) << "no way to measure this process's memory";
    for (int i = 0; i < 10000; ++i) cycle(i);
    const std::size_t after = kit::memoryInUse();
    // One lost instance would be at least a record and its object; 10,000
    // of them over a megabyte. A megabyte is less than a hundred bytes a cycle.
    EXPECT_LT(after, before + (1u << 20)) << "grew from " << before << " to " << after << " bytes";
    // What passes here is the growth; leaks are looked for only where a leak
    // checker runs, and the report says which.
    const kit::Leaks leaks = kit::leaks();
    EXPECT_NE(leaks, kit::Leaks::Found) << "the leak checker found leaks";
    const char* said = leaks == kit::Leaks::NotMeasured ? "not measured (no leak checker in this build)" : "none";
    RecordProperty("leaks", said);
    std::printf("leaks: %s\n", said);
}

TEST(Validator, RequestsInUnusualOrders) {
    const struct Case {
        const char* what;
        std::function<void(aerie::Instance&)> run;
    } cases[] = {
        {"render before any rate, block size or resume",
         [](aerie::Instance& i) {
             render(i, 300);
             render(i, 300, Entry::Accumulate);
         }},
        {"open, suspend and resume repeated in any order",
         [](aerie::Instance& i) {
             for (int n = 0; n < 100; ++n) i.raw().dispatch(n % 3 == 0 ? effOpen : effMainsChanged, 0, n % 2);
             render(i, 300);
         }},
        {"render while suspended",
         [](aerie::Instance& i) {
             i.raw().dispatch(effMainsChanged, 0, 1);
             render(i, 300);
             i.raw().dispatch(effMainsChanged, 0, 0);
             render(i, 300, Entry::Accumulate);
         }},
        {"frame counts of zero and below write nothing",
         [](aerie::Instance& i) {
             i.raw().dispatch(effMainsChanged, 0, 1);
             for (std::int32_t frames : {0, -1, -512, kMin32}) {
                 for (Entry entry : {Entry::Replace, Entry::Accumulate}) {
                     for (const auto& out : render(i, frames, entry)) EXPECT_TRUE(out.empty());
                 }
             }
         }},
        {"block sizes other than the announced one",
         [](aerie::Instance& i) {
             for (std::int32_t announced : {1, 0, -1, kMin32, kMax32, 512}) {
                 i.raw().dispatch(effSetBlockSize, 0, announced);
                 for (std::int32_t frames : {1, 3, 4096, 1}) render(i, frames);
             }
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        aerie::Host host;
        aerie::Instance instance(module(), host);
        c.run(instance);
        render(instance, 512);
    }
}

TEST(Validator, SampleRatesThatMakeNoSenseBetweenBlocks) {
    Session s;
    for (float rate : {0.0f, -0.0f, -44100.0f, kNaN, kSignallingNaN, kInf, -kInf, 1.0f, 8000.0f, 44123.45f,
                       384000.0f, FLT_TRUE_MIN, 1.0e-30f, FLT_MAX, 1.0e30f, 22050.0f, 44100.0f}) {
        SCOPED_TRACE(testing::Message() << "rate " << rate);
        s.dispatch(effMainsChanged, 0, 0);
        s.dispatch(effSetSampleRate, 0, 0, nullptr, rate);
        s.dispatch(effMainsChanged, 0, 1);
        render(*s.instance, 700);
        s.dispatch(effSetBlockSizeAndSampleRate, 0, 512, nullptr, rate);
        render(*s.instance, 300, Entry::Accumulate);
    }
}

// A host that unmasks floating-point exceptions: nothing the plug-in does,
// whatever the rates, requests and frame counts, and with parameter values
// anywhere in the 0 to 1 hosts send, may raise one. The checks of `render`
// run inside too; they raise nothing.
TEST(Validator, FloatingPointExceptionsUnmaskedByTheHost) {
    const float rates[] = {kNaN, kSignallingNaN, -kSignallingNaN, kInf, -kInf, -1.0f, 0.0f, FLT_MAX, FLT_TRUE_MIN,
                           1.0f, 384000.0f, 44100.0f};
    const float values[] = {0.0f, 1.0f, 0.5f, 1e-7f, 0.99999994f, 0.0f};
    aerie::EventList notes;
    for (int note = 0; note < 128; note += 9) notes.addNoteOn(note, note, 1 + note % 127);
    kit::UnmaskedFloatingPointExceptions traps;
    Session s;  // creation and set-up too
    const AEffect* e = s.instance->raw().effect();
    for (std::size_t n = 0; n < std::size(rates); ++n) {
        s.dispatch(effSetSampleRate, 0, 0, nullptr, rates[n]);
        s.dispatch(effSetBlockSizeAndSampleRate, 0, 512, nullptr, rates[n]);
        for (std::int32_t i = 0; i < e->numParams; ++i) s.instance->raw().setParameter(i, values[n % std::size(values)]);
        s.dispatch(effProcessEvents, 0, 0, notes.get());
        s.renderSome();
    }
    for (std::int32_t opcode = -1000; opcode <= 1000; ++opcode) {
        if (opcode != effClose) s.dispatch(opcode, -1, 0, nullptr, opcode % 2 == 0 ? kNaN : kSignallingNaN);
    }
    for (std::int32_t i = 0; i < e->numParams; ++i) {
        char text[256] = {};
        s.dispatch(effGetParamDisplay, i, 0, text);
    }
    s.renderSome();
}

TEST(Validator, EveryOpcodeWithNullPointers) {
    // The pointer is null throughout, which every request must survive
    // without writing through it. effClose would end the instance and comes
    // last.
    Session s;
    kit::everyOpcodeWithNullPointers(
        [&](std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
            s.dispatch(opcode, index, value, ptr, opt);
        },
        [&] { s.renderSome(); });
    EXPECT_EQ(s.instance->close(), 1);
}

TEST(Validator, EveryOpcodeWritesAtMostAPinRecordIntoAHostBuffer) {
    // A 1 KiB buffer of 0xA5 bytes (NUL-terminated, for requests that read a
    // text): no request may write beyond the largest record a host hands
    // over (a pin record, 128 bytes; a parameter's properties, 152), and
    // every text written must end within it.
    constexpr std::size_t kSize = 1024;
    Session s;
    for (std::int32_t opcode = -1000; opcode <= 1000; ++opcode) {
        if (opcode == effClose) continue;
        std::vector<unsigned char> buffer(kSize, 0xA5);
        buffer.back() = 0;
        if (opcode == effProcessEvents) std::fill(buffer.begin(), buffer.end(), 0);  // an empty list
        for (std::int32_t index : {0, -1, 1}) {
            const VstIntPtr value = opcode == effSetSpeakerArrangement ? reinterpret_cast<VstIntPtr>(buffer.data()) : 0;
            s.dispatch(opcode, index, value, buffer.data(), 0.0f);
            const std::size_t mostWritten =
                opcode == effGetParameterProperties ? sizeof(VstParameterProperties) : sizeof(VstPinProperties);
            for (std::size_t i = mostWritten; i < kSize; ++i) {
                ASSERT_EQ(buffer[i], opcode == effProcessEvents || i == kSize - 1 ? 0 : 0xA5)
                    << "opcode " << opcode << " index " << index << " wrote byte " << i;
            }
        }
    }
    s.renderSome();
}

TEST(Validator, ChunksOfEveryShapeAreSurvived) {
    Session s;
    std::vector<unsigned char> bytes(4096);
    std::uint32_t x = 12345;
    for (auto& b : bytes) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
    for (std::int32_t isPreset : {0, 1}) {
        s.dispatch(effSetChunk, isPreset, 0, nullptr);
        s.dispatch(effSetChunk, isPreset, 100, nullptr);
        s.dispatch(effGetChunk, isPreset, 0, nullptr);
        for (std::int32_t size : {0, 1, 7, 12, 52, 136, 1000, 4096, -1, kMin32}) {
            s.dispatch(effSetChunk, isPreset, size, bytes.data());
        }
    }
    s.renderSome();
}
