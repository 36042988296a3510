// The two request tables, as a host sees them: each opcode reaches its one
// operation with the request's arguments in the operation's order, and the
// answer reaches the host converted the way the request defines.
#include <cstring>
#include <limits>
#include <string>

#include "frame_harness.h"

namespace {

// What an operation receives: the request's index, value, ptr or opt, or the
// truth of index / value.
enum Arg { I, V, P, O, IndexSet, ValueSet };
// How the operation's answer reaches the host.
enum class Conv { Fixed, Truth, AsIs, Address, Inverted };

struct Request {
    std::int32_t opcode;
    const char* op;  // null: no operation is called
    std::vector<Arg> args;
    Conv conv;
    VstIntPtr byDefault;      // the answer when the operation is not overridden
    bool clearsText = false;  // the default writes an empty string into ptr
};

const Request kRequests[] = {
    {0, "open", {}, Conv::Fixed, 0},
    {2, "setProgram", {V}, Conv::Fixed, 0},  // numPrograms is 10: every value sent is below it
    {3, "getProgram", {}, Conv::AsIs, 0},
    {4, "setProgramName", {P}, Conv::Fixed, 0, true},
    {5, "getProgramName", {P}, Conv::Fixed, 0, true},
    {6, "getParamLabel", {I, P}, Conv::Fixed, 0, true},
    {7, "getParamDisplay", {I, P}, Conv::Fixed, 0, true},
    {8, "getParamName", {I, P}, Conv::Fixed, 0, true},
    {10, "setSampleRate", {O}, Conv::Fixed, 0},
    {11, "setBlockSize", {V}, Conv::Fixed, 0},
    {22, nullptr, {}, Conv::Fixed, 0x4E764566},  // 'NvEf'
    {23, "getChunk", {P, IndexSet}, Conv::AsIs, 0},
    {24, "setChunk", {P, V, IndexSet}, Conv::AsIs, 0},
    {25, "processEvents", {P}, Conv::AsIs, 0},
    {26, "canBeAutomated", {I}, Conv::Truth, 1},
    {27, "string2Parameter", {I, P}, Conv::Truth, 0},
    {28, "getNumProgramCategories", {}, Conv::AsIs, 1},
    {29, "getProgramNameIndexed", {V, I, P}, Conv::Truth, 0},
    {30, "copyProgram", {I}, Conv::Truth, 0},
    {31, "connectInput", {I, ValueSet}, Conv::Fixed, 1},
    {32, "connectOutput", {I, ValueSet}, Conv::Fixed, 1},
    {33, "getInputProperties", {I, P}, Conv::Truth, 0},
    {34, "getOutputProperties", {I, P}, Conv::Truth, 0},
    {35, "getPlugCategory", {}, Conv::AsIs, 0},
    {36, "getCurrentPosition", {}, Conv::AsIs, 0},
    {37, "getDestinationBuffer", {}, Conv::Address, 0},
    {38, "offlineNotify", {P, V, IndexSet}, Conv::Truth, 0},
    {39, "offlinePrepare", {P, V}, Conv::Truth, 0},
    {40, "offlineRun", {P, V}, Conv::Truth, 0},
    {41, "processVarIo", {P}, Conv::Truth, 0},
    {42, "setSpeakerArrangement", {V, P}, Conv::Truth, 0},
    {43, "setBlockSizeAndSampleRate", {V, O}, Conv::Fixed, 1},
    {44, "setBypass", {ValueSet}, Conv::Truth, 0},
    {45, "getEffectName", {P}, Conv::Truth, 0},
    {46, "getErrorText", {P}, Conv::Truth, 0},
    {47, "getVendorString", {P}, Conv::Truth, 0},
    {48, "getProductString", {P}, Conv::Truth, 0},
    {49, "getVendorVersion", {}, Conv::AsIs, 0},
    {50, "vendorSpecific", {I, V, P, O}, Conv::AsIs, 0},
    {51, "canDo", {P}, Conv::AsIs, 0},
    {52, "getTailSize", {}, Conv::AsIs, 0},
    {53, "idle", {}, Conv::AsIs, 0},
    {54, "getIcon", {}, Conv::Address, 0},
    {55, "setViewPosition", {I, V}, Conv::Truth, 0},
    {56, "getParameterProperties", {I, P}, Conv::Truth, 0},
    {57, "keysRequired", {}, Conv::Inverted, 1},
    {58, "getVstVersion", {}, Conv::AsIs, 2},
};

void PrintTo(const Request& r, std::ostream* os) { *os << "opcode " << r.opcode << ' ' << (r.op ? r.op : "-"); }

class RequestTable : public Frame, public ::testing::WithParamInterface<Request> {};

TEST_P(RequestTable, ReachesItsOperationWithTheRequestArguments) {
    const Request& r = GetParam();
    struct Send { std::int32_t index; VstIntPtr value; char* ptr; float opt; };
    for (const Send s : {Send{3, 7, blobA, 0.25f}, Send{0, 0, blobA, 0.0f}, Send{-2, -9, nullptr, -1.5f}}) {
        SCOPED_TRACE(::testing::Message() << "index " << s.index << " value " << s.value);
        Instance fx;
        g.trace.clear();
        std::memset(blobA, '#', sizeof blobA);
        EXPECT_EQ(fx(r.opcode, s.index, s.value, s.ptr, s.opt), r.byDefault);

        std::vector<Call> expected;
        if (r.op != nullptr) {
            Call c{r.op};
            for (Arg a : r.args) {
                switch (a) {
                case I: c.args.push_back(s.index); break;
                case V: c.args.push_back(s.value); break;
                case P: c.args.push_back(A(s.ptr)); break;
                case O: c.number = s.opt; break;
                case IndexSet: c.args.push_back(s.index != 0); break;
                case ValueSet: c.args.push_back(s.value != 0); break;
                }
            }
            expected.push_back(c);
        }
        EXPECT_EQ(ops(), expected);
        EXPECT_TRUE(hostCalls().empty());
        // Defaults leave the host's buffer alone, or store one NUL in it.
        std::string want(sizeof blobA, '#');
        if (r.clearsText && s.ptr) want[0] = '\0';
        EXPECT_EQ(std::string(blobA, sizeof blobA), want);
    }
}

TEST_P(RequestTable, ConvertsTheOperationsAnswer) {
    const Request& r = GetParam();
    std::vector<std::pair<VstIntPtr, VstIntPtr>> answers;  // operation answers -> host receives
    switch (r.conv) {
    case Conv::Fixed: answers = {{0, r.byDefault}, {1, r.byDefault}, {-1, r.byDefault}}; break;
    case Conv::Truth: answers = {{1, 1}, {0, 0}}; break;
    case Conv::AsIs: answers = {{5, 5}, {-1, -1}, {0, 0}}; break;  // int32 -1 arrives as -1 at any width
    case Conv::Address: answers = {{kWide, kWide}, {0, 0}}; break;
    case Conv::Inverted: answers = {{1, 0}, {0, 1}}; break;
    }
    Instance fx;
    for (auto [answer, expected] : answers) {
        g.answer = answer;
        EXPECT_EQ(fx(r.opcode, 3, 7, blobA, 0.25f), expected) << "operation answered " << answer;
    }
}

INSTANTIATE_TEST_SUITE_P(Opcodes, RequestTable, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return "opcode" + std::to_string(info.param.opcode); });

TEST_F(Frame, PointerSizedValuesReachTheOperationUncut) {
    Instance fx;
    g.answer = kWide;
    EXPECT_EQ(fx(50, -4, kWide, blobA, 0.5f), kWide);
    EXPECT_EQ(fx(42, 0, A(blobB), blobA), 1);
    EXPECT_THAT(ops(), ::testing::ElementsAre(Call{"vendorSpecific", {-4, kWide, A(blobA)}, 0.5f},
                                              Call{"setSpeakerArrangement", {A(blobB), A(blobA)}}));
}

TEST_F(Frame, EditorRequestsAndUnknownOpcodesAnswerZeroAndCallNothing) {
    Instance fx;  // no editor attached
    g.answer = 1;
    for (std::int32_t opcode : {13, 14, 15, 16, 17, 18, 19, 20, 21, -1, 59, 60, 1000, INT32_MIN, INT32_MAX})
        EXPECT_EQ(fx(opcode, 1, 1, blobA, 1.0f), 0) << "opcode " << opcode;
    EXPECT_TRUE(g.trace.empty());
}

struct BareEffect : Effect {
    using Effect::Effect;
    void process(float**, float**, std::int32_t) override {}
};

TEST_F(Frame, BareEffectAnswersIdentifyButNoExtendedRequest) {
    AEffect* e = (new BareEffect(recordingHost, 0, 0))->getAeffect();
    EXPECT_EQ(e->dispatcher(e, 22, 9, -9, blobA, 3.0f), 0x4E764566);
    EXPECT_EQ(e->dispatcher(e, 22, 0, 0, nullptr, 0.0f), 0x4E764566);
    for (std::int32_t opcode = 25; opcode <= 58; ++opcode)
        EXPECT_EQ(e->dispatcher(e, opcode, 1, 1, blobA, 1.0f), 0) << "opcode " << opcode;
    EXPECT_EQ(e->dispatcher(e, 1, 0, 0, nullptr, 0.0f), 1);
}

TEST_F(Frame, SetProgramBoundIsASignedUpperBoundOnly) {
    struct Case { std::int32_t programs; VstIntPtr value; bool reaches; };
    for (const Case c : {Case{0, 0, false}, Case{0, 5, false}, Case{0, -1, true}, Case{10, 9, true},
                         Case{10, 10, false}, Case{10, INT32_MIN, true}}) {
        SCOPED_TRACE(::testing::Message() << c.programs << " programs, value " << c.value);
        g = Harness{};
        Instance fx(recordingHost, c.programs);
        EXPECT_EQ(fx(2, 0, c.value), 0);
        EXPECT_EQ(ops().size(), c.reaches ? 1u : 0u);
        EXPECT_EQ(fx(3), c.reaches ? c.value : 0);
    }
}

TEST_F(Frame, MainsChangedSuspendsOnZeroAndResumesOnAnythingElse) {
    Instance fx;
    for (VstIntPtr value : {0, 2, -1, 1}) fx(12, 0, value);
    EXPECT_THAT(ops(), ::testing::ElementsAre(Call{"suspend"}, Call{"resume"}, Call{"resume"}, Call{"resume"}));
}

TEST_F(Frame, VuLevelIsScaledTruncatedAndSaturated) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Case { float level; VstIntPtr answer; };
    Instance fx;
    EXPECT_EQ(fx(9), 0);  // the default level
    for (const Case c : {Case{1.0f, 32767}, {0.5f, 16383}, {0.0f, 0}, {-1.0f, -32767}, {-0.5f, -16383},
                         {65538.0f, 2147483646}, {65538.0078125f, INT32_MAX}, {-65538.0f, -2147483646},
                         {-65538.0078125f, INT32_MIN}, {1e30f, INT32_MAX}, {inf, INT32_MAX}, {-inf, INT32_MIN},
                         {std::numeric_limits<float>::quiet_NaN(), 0}}) {
        g.level = c.level;
        EXPECT_EQ(fx(9), c.answer) << "level " << c.level;
    }
}

TEST_F(Frame, SetBlockSizeAndSampleRateStoresBothFieldsDirectly) {
    Instance fx;  // the table shows setBlockSize and setSampleRate are not called
    EXPECT_EQ(fx(43, 0, 512, nullptr, 48000.0f), 1);
    EXPECT_EQ(fx.fx->getBlockSize(), 512);
    EXPECT_EQ(fx.fx->getSampleRate(), 48000.0f);
}

TEST_F(Frame, AttachedEditorServesTheEditorRequests) {
    Instance fx;
    fx.fx->attachEditor();
    g.answer = -3;
    EXPECT_EQ(fx(13, 0, 0, blobA), -3);
    EXPECT_EQ(fx(14, 0, 0, blobB), -3);
    for (std::int32_t opcode : {15, 16, 17, 18, 19, 20, 21}) EXPECT_EQ(fx(opcode, 0, 0, blobA), 0);
    fx.close();
    // The derived destructor runs first, then the base one destroys the editor.
    EXPECT_THAT(ops(), ::testing::ElementsAre(Call{"getRect", {A(blobA)}}, Call{"openEditor", {A(blobB)}},
                                              Call{"closeEditor"}, Call{"idleEditor"}, Call{"close"},
                                              Call{"~TestEffect"}, Call{"~TestEditor"}));
}

TEST_F(Frame, ExceptionsStopAtTheEntries) {
    Instance fx;
    g.answer = 1;
    g.level = 0.5f;
    g.throwIn = "canDo";
    EXPECT_EQ(fx(51, 0, 0, blobA), 0);  // answered as unhandled
    EXPECT_EQ(fx(3), 1);                // and the instance goes on
    for (const std::string op : {"process", "processReplacing", "getParameter"}) {
        g.throwIn = op;
        fx.e->process(fx.e, nullptr, nullptr, 1);
        fx.e->processReplacing(fx.e, nullptr, nullptr, 1);
        EXPECT_EQ(fx.e->getParameter(fx.e, 0), op == "getParameter" ? 0.0f : 0.5f);
    }
}

}  // namespace
