// The host's answers: every request an offline render may hear, from the
// one table that answers and names them.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include <aerie/host.h>
#include <aerie/timeline.h>

namespace {

// 48 kHz, 480 ticks per quarter: 120 BPM, then 60 BPM from tick 960 (frame 48000).
aerie::TimelineSettings twoTempos() {
    aerie::TimelineSettings s;
    s.sampleRate = 48000;
    s.ticksPerQuarter = 480;
    s.tempos = {{0, 500000}, {960, 1000000}};
    return s;
}

TEST(HostAnswers, EveryRequestOfAnOfflineRenderIsAnswered) {
    aerie::Host h;
    h.processLevel = aerie::ProcessLevel::Offline;
    h.automationState = aerie::AutomationState::Read;
    h.directory = "/plug-ins";
    h.collect = true;
    char text[64] = {};
    auto ask = [&](std::int32_t opcode, void* ptr = nullptr, std::int32_t index = 0, float opt = 0.0f) {
        return h.answer({nullptr, opcode, index, 0, ptr, opt});
    };
    auto canDo = [&](const char* word) { return ask(audioMasterCanDo, const_cast<char*>(word)); };
    EXPECT_EQ(ask(audioMasterVersion), 2400);
    EXPECT_EQ(ask(audioMasterGetCurrentProcessLevel), 4);
    EXPECT_EQ(ask(audioMasterGetAutomationState), 2);
    EXPECT_EQ(ask(audioMasterGetLanguage), 1);
    EXPECT_EQ(ask(audioMasterSizeWindow), 0);
    EXPECT_EQ(ask(audioMasterGetInputLatency), 0);
    EXPECT_EQ(ask(audioMasterUpdateDisplay), 1);
    EXPECT_EQ(ask(audioMasterBeginEdit), 1);
    EXPECT_EQ(ask(audioMasterEndEdit), 1);
    EXPECT_EQ(canDo("sendVstTimeInfo"), 1);
    EXPECT_EQ(canDo("receiveVstMidiEvent"), 1);
    EXPECT_EQ(canDo("acceptIOChanges"), 1);
    EXPECT_EQ(canDo("sizeWindow"), -1);
    EXPECT_EQ(canDo("offline"), -1);
    EXPECT_EQ(ask(audioMasterGetVendorString, text), 1);
    EXPECT_STREQ(text, "aerie");
    EXPECT_STREQ(reinterpret_cast<const char*>(ask(audioMasterGetDirectory)), "/plug-ins");
    EXPECT_EQ(ask(audioMasterGetTime), 0) << "no timeline: no time";
    const aerie::Timeline t(twoTempos());
    h.timeline = &t;
    h.position = 48000;
    h.firstBlock = false;
    const auto* info = reinterpret_cast<const VstTimeInfo*>(ask(audioMasterGetTime));
    ASSERT_NE(info, nullptr);
    EXPECT_DOUBLE_EQ(info->ppqPos, 2.0);
    EXPECT_EQ(ask(audioMasterTempoAt), 1200000);
    EXPECT_EQ(ask(audioMasterIOChanged), 1);
    EXPECT_TRUE(h.ioChanged);
    ask(audioMasterAutomate, nullptr, 3, 0.25f);
    ASSERT_EQ(h.automated.size(), 1u);
    EXPECT_EQ(h.automated[0].frame, 48000u);
    EXPECT_EQ(h.automated[0].index, 3);
    EXPECT_EQ(ask(99), 0);
    // One row per request, in request order, each named after it.
    std::int32_t last = -1;
    for (const aerie::HostAnswer& a : aerie::hostAnswers()) {
        EXPECT_GT(a.opcode, last);
        last = a.opcode;
        EXPECT_EQ(std::string(a.name).rfind("audioMaster", 0), 0u) << a.name;
        EXPECT_EQ(aerie::findHostAnswer(a.opcode), &a);
        EXPECT_EQ(aerie::hostRequestName(a.opcode), a.name);  // the listings name what the table names
    }
    EXPECT_EQ(aerie::hostRequestName(99), "audioMaster request 99");
}

}  // namespace
