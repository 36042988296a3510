// The host services: one callback request each, with the effect's record
// first and the arguments in their fixed places, the host's answer handed
// back as the service defines, and a fixed answer when there is no callback.
#include <string>
#include <utility>

#include "frame_harness.h"

namespace {

using Answers = std::vector<std::pair<VstIntPtr, VstIntPtr>>;  // host answers -> service returns

struct Service {
    const char* name;
    VstIntPtr (*call)(EffectExt&);
    std::int32_t opcode;
    std::int32_t index;
    VstIntPtr value;
    const void* ptr;
    float opt;
    Answers answers;
    VstIntPtr withoutHost;
};

#define SERVICE(expr) [](EffectExt& fx) -> VstIntPtr { return (expr); }

const Answers kInt{{5, 5}, {-1, -1}, {0, 0}};
const Answers kTruth{{5, 1}, {-1, 1}, {0, 0}};
const Answers kAddress{{kWide, kWide}, {0, 0}};
const Answers kConnected{{0, 1}, {1, 0}, {-1, 0}};  // the host answers 0 for a connected pin

const Service kServices[] = {
    {"Version", SERVICE(fx.hostVersion()), 1, 0, 0, nullptr, 0, {{0, 1}, {2400, 2400}, {-1, -1}}, 1},
    {"CurrentId", SERVICE(fx.hostCurrentId()), 2, 0, 0, nullptr, 0, kInt, 0},
    {"Idle", SERVICE(fx.hostIdle()), 3, 0, 0, nullptr, 0, kInt, 0},
    {"InputConnected", SERVICE(fx.hostInputConnected(2)), 4, 2, 0, nullptr, 0, kConnected, 1},
    {"OutputConnected", SERVICE(fx.hostOutputConnected(3)), 4, 3, 1, nullptr, 0, kConnected, 1},
    {"WantMidi", SERVICE(fx.hostWantMidi(1)), 6, 0, 1, nullptr, 0, kInt, 0},
    {"GetTime", SERVICE(A(fx.hostGetTime(0x0F00))), 7, 0, 0x0F00, nullptr, 0, kAddress, 0},
    {"TempoAt", SERVICE(fx.hostTempoAt(4410)), 10, 0, 4410, nullptr, 0, kInt, 0},
    {"NumAutomatableParameters", SERVICE(fx.hostNumAutomatableParameters()), 11, 0, 0, nullptr, 0, kInt, 0},
    {"ParameterQuantization", SERVICE(fx.hostParameterQuantization()), 12, 0, 0, nullptr, 0, kInt, 0},
    {"IOChanged", SERVICE(fx.hostIOChanged()), 13, 0, 0, nullptr, 0, kTruth, 0},
    {"NeedIdle", SERVICE(fx.hostNeedIdle()), 14, 0, 0, nullptr, 0, kTruth, 0},
    {"SizeWindow", SERVICE(fx.hostSizeWindow(640, 480)), 15, 640, 480, nullptr, 0, kTruth, 0},
    // The answer is not taken: the field is returned as the call left it.
    {"UpdateSampleRate", SERVICE(static_cast<VstIntPtr>(fx.hostUpdateSampleRate())), 16, 0, 0, nullptr, 0,
     {{48000, 44100}, {0, 44100}}, 44100},
    {"UpdateBlockSize", SERVICE(fx.hostUpdateBlockSize()), 17, 0, 0, nullptr, 0, {{512, 1024}, {0, 1024}}, 1024},
    {"InputLatency", SERVICE(fx.hostInputLatency()), 18, 0, 0, nullptr, 0, kInt, 0},
    {"OutputLatency", SERVICE(fx.hostOutputLatency()), 19, 0, 0, nullptr, 0, kInt, 0},
    {"PreviousPlug", SERVICE(A(fx.hostPreviousPlug(5))), 20, 0, 0, nullptr, 0, kAddress, 0},
    {"NextPlug", SERVICE(A(fx.hostNextPlug(5))), 21, 0, 0, nullptr, 0, kAddress, 0},
    {"WillReplaceOrAccumulate", SERVICE(fx.hostWillReplaceOrAccumulate()), 22, 0, 0, nullptr, 0, kInt, 0},
    {"CurrentProcessLevel", SERVICE(fx.hostCurrentProcessLevel()), 23, 0, 0, nullptr, 0, kInt, 0},
    {"AutomationState", SERVICE(fx.hostAutomationState()), 24, 0, 0, nullptr, 0, kInt, 0},
    {"OfflineStart", SERVICE(fx.hostOfflineStart(as<VstAudioFile>(), 3, 1)), 25, 1, 3, blobA, 0, kTruth, 0},
    {"OfflineReadSource", SERVICE(fx.hostOfflineRead(as<VstOfflineTask>(), 2, true)), 26, 1, 2, blobA, 0, kTruth, 0},
    {"OfflineReadResult", SERVICE(fx.hostOfflineRead(as<VstOfflineTask>(), 2, false)), 26, 0, 2, blobA, 0, kTruth, 0},
    {"OfflineWrite", SERVICE(fx.hostOfflineWrite(as<VstOfflineTask>(), 6)), 27, 0, 6, blobA, 0, kTruth, 0},
    {"OfflineCurrentPass", SERVICE(fx.hostOfflineCurrentPass()), 28, 0, 0, nullptr, 0, kTruth, 0},
    {"OfflineCurrentMetaPass", SERVICE(fx.hostOfflineCurrentMetaPass()), 29, 0, 0, nullptr, 0, kTruth, 0},
    {"SetOutputSampleRate", SERVICE(fx.hostSetOutputSampleRate(96000.0f)), 30, 0, 0, nullptr, 96000.0f, kInt, 0},
    {"SpeakerArrangement", SERVICE(fx.hostSpeakerArrangement(as<VstSpeakerArrangement>(blobB), as<VstSpeakerArrangement>())),
     31, 0, A(blobB), blobA, 0, kTruth, 0},
    {"VendorString", SERVICE(fx.hostVendorString(blobA)), 32, 0, 0, blobA, 0, kTruth, 0},
    {"ProductString", SERVICE(fx.hostProductString(blobA)), 33, 0, 0, blobA, 0, kTruth, 0},
    {"VendorVersion", SERVICE(fx.hostVendorVersion()), 34, 0, 0, nullptr, 0, kInt, 0},
    {"VendorSpecific", SERVICE(fx.hostVendorSpecific(-4, kWide, blobA, 0.5f)), 35, -4, kWide, blobA, 0.5f,
     {{5, 5}, {-1, -1}, {kWide, kWide}}, 0},
    {"CanDo", SERVICE(fx.hostCanDo(blobA)), 37, 0, 0, blobA, 0, kTruth, 0},
    {"Language", SERVICE(fx.hostLanguage()), 38, 0, 0, nullptr, 0, kInt, 0},
    {"OpenWindow", SERVICE(A(fx.hostOpenWindow(as<VstWindow>()))), 39, 0, 0, blobA, 0, kAddress, 0},
    {"CloseWindow", SERVICE(fx.hostCloseWindow(as<VstWindow>())), 40, 0, 0, blobA, 0, kTruth, 0},
    {"Directory", SERVICE(A(fx.hostDirectory())), 41, 0, 0, nullptr, 0, kAddress, 0},
    {"UpdateDisplay", SERVICE(fx.hostUpdateDisplay()), 42, 0, 0, nullptr, 0, kTruth, 0},
};

void PrintTo(const Service& s, std::ostream* os) { *os << s.name; }

class HostService : public Frame, public ::testing::WithParamInterface<Service> {};

TEST_P(HostService, SendsOneRequestAndConvertsTheAnswer) {
    const Service& s = GetParam();
    Instance fx;
    for (auto [answer, expected] : s.answers) {
        g.trace.clear();
        g.hostAnswer = answer;
        EXPECT_EQ(s.call(*fx.fx), expected) << "host answered " << answer;
        const Call sent{"host", {s.opcode, s.index, s.value, A(s.ptr)}, s.opt};
        EXPECT_THAT(g.trace, ::testing::ElementsAre(sent));
        EXPECT_EQ(g.trace.at(0).self, fx.e);
    }
}

TEST_P(HostService, AnswersItsDefaultWithoutACallback) {
    Instance fx(nullptr);
    EXPECT_EQ(GetParam().call(*fx.fx), GetParam().withoutHost);
}

INSTANTIATE_TEST_SUITE_P(Requests, HostService, ::testing::ValuesIn(kServices),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Frame, RateAndBlockSizeServicesReturnWhatTheHostSentDuringTheCall) {
    Instance fx;
    g.duringHostCall = [](AEffect* e, std::int32_t opcode) {
        if (opcode == 16) e->dispatcher(e, 10, 0, 0, nullptr, 48000.0f);
        if (opcode == 17) e->dispatcher(e, 11, 0, 512, nullptr, 0.0f);
    };
    EXPECT_EQ(fx.fx->hostUpdateSampleRate(), 48000.0f);
    EXPECT_EQ(fx.fx->hostUpdateBlockSize(), 512);
}

TEST_F(Frame, AutomateTakesTheValueBeforeTellingTheHost) {
    {
        Instance fx;
        fx.fx->automateParameter(3, 0.75f);
        EXPECT_THAT(g.trace, ::testing::ElementsAre(Call{"setParameter", {3}, 0.75f},
                                                    Call{"host", {0, 3, 0, 0}, 0.75f}));
    }
    g.trace.clear();
    Instance alone(nullptr);
    alone.fx->automateParameter(-1, 0.25f);
    EXPECT_THAT(g.trace, ::testing::ElementsAre(Call{"setParameter", {-1}, 0.25f}));
}

}  // namespace
