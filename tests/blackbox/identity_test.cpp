// What a host sees of Kestravian: the record, names, pins, capabilities, and
// the requests the plug-in makes of the host. (The entry and what every
// module must show are the conformance suite's, tests/kit.)
#include <cstring>

#include <gtest/gtest.h>

#include "tests/blackbox/blackbox.h"

using namespace blackbox;
using kit::RawHost;


TEST(Record, FreshInstanceShowsTheSynthesizersIdentity) {
    RawHost::version = 2;
    AEffect* e = module().entry()(&RawHost::callback);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->magic, 0x56737450);
    EXPECT_EQ(e->numPrograms, 0);
    EXPECT_EQ(e->numParams, 0);
    EXPECT_EQ(e->numInputs, 0);
    EXPECT_EQ(e->numOutputs, 1);
    EXPECT_EQ(e->flags, 272);
    EXPECT_EQ(e->uniqueID, 0x4B737476);
    EXPECT_EQ(e->version, 1);
    EXPECT_EQ(e->resvd1, 0);
    EXPECT_EQ(e->resvd2, 0);
    EXPECT_EQ(e->initialDelay, 0);
    EXPECT_EQ(e->realQualities, 0);
    EXPECT_EQ(e->offQualities, 0);
    EXPECT_EQ(e->ioRatio, 1.0f);
    EXPECT_NE(e->object, nullptr);
    EXPECT_EQ(e->user, nullptr);
    for (char c : e->future) EXPECT_EQ(c, 0);
    EXPECT_NE(e->process, nullptr);
    EXPECT_NE(e->processReplacing, nullptr);
    EXPECT_EQ(e->getParameter(e, 0), 0.0f);
    e->setParameter(e, 0, 0.5f);
    EXPECT_EQ(e->getParameter(e, 0), 0.0f);
    EXPECT_EQ(e->dispatcher(e, effClose, 0, 0, nullptr, 0.0f), 1);
}

TEST(Requests, NamesVersionCategoryAndTheAnswersThatDifferFromDefaults) {
    Plugin p;
    EXPECT_EQ(p.instance->raw().text(effGetEffectName), "Kestravian");
    EXPECT_EQ(p.instance->raw().text(effGetVendorString), "Ulvo");
    EXPECT_EQ(p.instance->raw().text(effGetProductString), "Kestravian");
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(p.dispatch(effGetEffectName, 0, 0, buffer), 1);
    EXPECT_EQ(std::memcmp(buffer, "Kestravian\0x", 12), 0);  // 11 bytes written, no more
    EXPECT_EQ(p.dispatch(effGetVendorVersion), 1);
    EXPECT_EQ(p.dispatch(effGetPlugCategory), 2);
    EXPECT_EQ(p.dispatch(effGetVstVersion), 2);
    EXPECT_EQ(p.dispatch(effIdentify), 0x4E764566);
    EXPECT_EQ(p.dispatch(effKeysRequired), 1);
    EXPECT_EQ(p.dispatch(effGetProgramNameIndexed, 0, 0), 0);
    EXPECT_EQ(p.dispatch(effGetProgramNameIndexed, -1, 0), 1);
    EXPECT_EQ(p.dispatch(effCopyProgram, 0), 0);
    EXPECT_EQ(p.dispatch(effCopyProgram, -1), 1);
    EXPECT_EQ(p.dispatch(effProcessEvents, 0, 0, nullptr), 1);  // a missing list is an empty one
    EXPECT_EQ(p.dispatch(59), 0);
    EXPECT_EQ(p.dispatch(-1), 0);
}

TEST(Requests, ProgramAndParameterTextsLeaveTheHostBufferAlone) {
    Plugin p;
    for (std::int32_t opcode : {effGetProgramName, effSetProgramName, effGetParamLabel, effGetParamDisplay,
                                effGetParamName}) {
        char buffer[32] = "untouched";
        p.dispatch(opcode, 0, 0, buffer);
        EXPECT_STREQ(buffer, "untouched") << "opcode " << opcode;
    }
    p.dispatch(effSetProgram, 0, -1);
    EXPECT_EQ(p.dispatch(effGetProgram), 0);
}

TEST(Requests, CanDoSaysYesToExactlyTwoWords) {
    Plugin p;
    const struct {
        const char* word;
        std::int32_t answer;
    } cases[] = {
        {"receiveVstEvents", 1},     {"receiveVstMidiEvent", 1},   {"receiveVstTimeInfo", -1},
        {"sendVstMidiEvent", -1},    {"ReceiveVstEvents", -1},     {"receiveVstEvent", -1},
        {"receiveVstMidiEventX", -1}, {"", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(p.instance->canDo(c.word), c.answer) << '"' << c.word << '"';
    EXPECT_EQ(p.dispatch(effCanDo, 0, 0, nullptr), -1);
}

TEST(Requests, OutputPinIsClickOne) {
    Plugin p;
    VstPinProperties pin;
    std::memset(&pin, 0x5A, sizeof pin);
    EXPECT_EQ(p.dispatch(effGetOutputProperties, 0, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Click 1");
    EXPECT_EQ(pin.flags, kVstPinIsActive);
    EXPECT_EQ(pin.arrangementType, 0x5A5A5A5A);  // the rest is the host's

    VstPinProperties untouched;
    std::memset(&untouched, 0x5A, sizeof untouched);
    EXPECT_EQ(p.dispatch(effGetOutputProperties, 1, 0, &untouched), 0);
    EXPECT_EQ(untouched.flags, 0x5A5A5A5A);
    EXPECT_EQ(p.dispatch(effGetOutputProperties, -1, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Click 0");
    EXPECT_EQ(p.dispatch(effGetInputProperties, 0, 0, &untouched), 0);
    EXPECT_EQ(p.dispatch(effGetOutputProperties, 0, 0, nullptr), 0);
}

TEST(Requests, EveryResumeAsksForMidiAndSuspendAsksNothing) {
    Plugin p;  // resumed once already
    p.host.requests.clear();
    p.dispatch(effMainsChanged, 0, 0);
    EXPECT_TRUE(p.host.requests.empty());
    p.dispatch(effMainsChanged, 0, 1);
    p.dispatch(effMainsChanged, 0, 2);
    ASSERT_EQ(p.host.requests.size(), 2u);
    for (const auto& r : p.host.requests) {
        EXPECT_EQ(r.effect, p.instance->raw().effect());
        EXPECT_EQ(r.opcode, audioMasterWantMidi);
        EXPECT_EQ(r.index, 0);
        EXPECT_EQ(r.value, 1);
        EXPECT_EQ(r.ptr, nullptr);
        EXPECT_EQ(r.opt, 0.0f);
    }
}

TEST(Requests, TwoInstancesAreIndependent) {
    Plugin a, b;
    EXPECT_NE(a.instance->raw().effect(), b.instance->raw().effect());
    aerie::EventList events;
    events.addNoteOn(0, 60, 127);
    a.send(events);
    const auto outA = a.render(64);
    const auto outB = b.render(64);
    EXPECT_NE(outA[1], 0.0f);
    for (float s : outB) EXPECT_EQ(s, 0.0f);
}
