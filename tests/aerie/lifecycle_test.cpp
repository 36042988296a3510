// Instance lifecycle: what each state allows, what the plug-in hears, and
// the typed getters on a fake whose answers are known.
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include <aerie/aerie.h>

namespace {

using State = aerie::Instance::State;

struct Fixture {
    std::unique_ptr<aerie::Module> module = aerie::Module::open(FAKE_EFFECT);
    aerie::Host host;
    aerie::Instance instance{*module, host};

    // Walks the lifecycle up to `state`.
    void reach(State state) {
        if (state == State::Created) return;
        instance.open();
        if (state == State::Open) return;
        instance.configure(48000.0, 256);
        if (state == State::Ready) return;
        instance.resume();
        if (state == State::Running) return;
        instance.close();
    }
};

TEST(Lifecycle, EachCallIsAllowedOnlyInItsStates) {
    float buffer[4][256] = {};
    float* pins[4] = {buffer[0], buffer[1], buffer[2], buffer[3]};
    aerie::EventList events;
    const struct Call {
        const char* name;
        std::function<void(aerie::Instance&)> run;
        std::vector<State> allowed;
    } calls[] = {
        {"open", [](aerie::Instance& i) { i.open(); }, {State::Created}},
        {"configure", [](aerie::Instance& i) { i.configure(44100.0, 128); }, {State::Open, State::Ready}},
        {"resume", [](aerie::Instance& i) { i.resume(); }, {State::Ready}},
        {"processBlock", [&](aerie::Instance& i) { i.processBlock(pins, pins + 2, 64); }, {State::Running}},
        {"sendEvents", [&](aerie::Instance& i) { i.sendEvents(events); }, {State::Running}},
        {"suspend", [](aerie::Instance& i) { i.suspend(); }, {State::Running}},
        {"identity", [](aerie::Instance& i) { (void)i.identity(); }, {State::Open, State::Ready, State::Running}},
        {"parameter", [](aerie::Instance& i) { (void)i.parameter(0); }, {State::Open, State::Ready, State::Running}},
        {"close", [](aerie::Instance& i) { (void)i.close(); },
         {State::Created, State::Open, State::Ready, State::Running}},
    };
    for (const Call& call : calls) {
        for (State from : {State::Created, State::Open, State::Ready, State::Running, State::Closed}) {
            SCOPED_TRACE(std::string(call.name) + " on a " + aerie::stateName(from) + " instance");
            Fixture f;
            f.reach(from);
            const bool allowed = std::find(call.allowed.begin(), call.allowed.end(), from) != call.allowed.end();
            try {
                call.run(f.instance);
                EXPECT_TRUE(allowed) << "no error";
            } catch (const aerie::HostError& e) {
                EXPECT_FALSE(allowed) << e.what();
                EXPECT_EQ(e.kind(), aerie::ErrorKind::WrongState) << e.what();
                const std::string what = e.what();
                EXPECT_EQ(what.rfind(std::string(call.name) + " on a", 0), 0u) << what;
                EXPECT_NE(what.find(std::string(aerie::stateName(from)) + " instance; it must be "), std::string::npos) << what;
            }
        }
    }
}

// What the plug-in hears as its instance is destroyed from each state: a
// running one is suspended once, and each is closed once (the closed one
// was running: close() suspended it).
AEffectDispatcherProc forwardTo = nullptr;
int suspends = 0;
int closes = 0;
VstIntPtr VST_CALL counting(AEffect* e, std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    if (opcode == effMainsChanged && value == 0) ++suspends;
    if (opcode == effClose) ++closes;
    return forwardTo(e, opcode, index, value, ptr, opt);
}

TEST(Lifecycle, DestroyingSuspendsARunningInstanceOnceAndClosesIt) {
    const struct Case {
        State state;
        int suspends;
        int closes;
    } cases[] = {{State::Created, 0, 1}, {State::Ready, 0, 1}, {State::Running, 1, 1}, {State::Closed, 1, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(aerie::stateName(c.state));
        suspends = closes = 0;
        {
            auto f = std::make_unique<Fixture>();
            forwardTo = f->instance.raw().effect()->dispatcher;
            f->instance.raw().effect()->dispatcher = counting;
            f->reach(c.state);
        }
        EXPECT_EQ(suspends, c.suspends);
        EXPECT_EQ(closes, c.closes);
    }
}

TEST(Lifecycle, BadArgumentsAreRefusedBeforeThePlugInSeesThem) {
    Fixture f;
    f.reach(State::Running);
    float buffer[2][512] = {};
    float* pins[2] = {buffer[0], buffer[1]};
    const std::function<void()> cases[] = {
        [&] { f.instance.processBlock(pins, pins, 257); },  // beyond the configured block
        [&] { (void)f.instance.parameterName(4); },
        [&] { (void)f.instance.parameterName(-1); },
        [&] { f.instance.setParameterValue(0, 1.5f); },
        [&] { f.instance.setProgram(2); },
        [&] { (void)f.instance.inputPin(2); },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        try {
            cases[i]();
            ADD_FAILURE() << "no error";
        } catch (const aerie::HostError& e) {
            EXPECT_EQ(e.kind(), aerie::ErrorKind::BadArgument) << e.what();
        }
    }
    Fixture g;
    g.reach(State::Open);
    // The host answers the plug-in with what it was configured with.
    g.instance.configure(48000.0, 256);
    EXPECT_EQ(g.host.sampleRate, 48000.0f);
    EXPECT_EQ(g.host.blockSize, 256);
    for (const auto& [rate, block] : {std::pair{0.0, 512}, {-1.0, 512}, {NAN, 512}, {44100.0, 0}}) {
        EXPECT_THROW(g.instance.configure(rate, block), aerie::HostError);
    }
}

TEST(Lifecycle, TypedGettersAnswerWhatThePlugInSays) {
    Fixture f;
    f.reach(State::Ready);
    aerie::Instance& i = f.instance;
    const aerie::Identity id = i.identity();
    EXPECT_EQ(id.effectName, "Fake Effect");
    EXPECT_EQ(id.vendor, "Kestravian Tests");
    EXPECT_EQ(id.product, "Fakes");
    EXPECT_EQ(id.vendorVersion, 1234);
    EXPECT_EQ(id.interfaceVersion, 2400);
    EXPECT_EQ(id.recordVersion, 7);
    EXPECT_EQ(aerie::fourCharString(id.uniqueId), "Fake");
    EXPECT_EQ(i.numInputs(), 2);
    EXPECT_EQ(i.numOutputs(), 2);
    EXPECT_TRUE(i.inputPin(1).described);
    const aerie::ParameterInfo gain = i.parameter(0);
    EXPECT_EQ(gain.name, "Gain");
    EXPECT_EQ(gain.label, "dB");
    EXPECT_EQ(gain.display, "-6.0");
    EXPECT_EQ(gain.value, 0.5f);
    i.setParameterValue(0, 0.75f);
    EXPECT_EQ(i.parameterValue(0), 0.75f);
    EXPECT_EQ(i.programName(1), "Half");
    i.setProgram(1);
    EXPECT_EQ(i.program(), 1);
    // The chunk comes back and restores what it held.
    const std::vector<unsigned char> chunk = i.chunk();
    ASSERT_EQ(chunk.size(), 20u);
    i.setParameterValue(0, 0.1f);
    i.setChunk(chunk);
    EXPECT_EQ(i.parameterValue(0), 0.25f);  // program 1 set the gain to 0.25 before the chunk was taken
}

TEST(Lifecycle, AChunkLargerThanAHostTakesIsRefusedUnread) {
    // The plug-in claims 1 GiB + 1 bytes and has 20: reading them would read
    // far out of bounds, and dropping them would lose the state unsaid.
    const auto module = aerie::Module::open(FAKE_HUGE_CHUNK);
    aerie::Host host;
    aerie::Instance i(*module, host);
    i.open();
    const aerie::ChunkAnswer raw = i.raw().readChunk(false);
    EXPECT_EQ(raw.kind, aerie::ChunkAnswer::Kind::TooLarge);
    EXPECT_EQ(raw.size, (std::int64_t{1} << 30) + 1);
    EXPECT_TRUE(raw.bytes.empty());
    try {
        (void)i.chunk();
        ADD_FAILURE() << "taken";
    } catch (const aerie::HostError& e) {
        EXPECT_NE(std::string(e.what()).find("bank chunk of 1073741825 bytes is larger than the 1024 MiB"),
                  std::string::npos)
            << e.what();
    }
}

TEST(Lifecycle, ProcessBlockRendersThroughTheRightEntry) {
    // The effect replaces: output = input x 2 x gain. The stereo fake only
    // accumulates, and processBlock clears its outputs first.
    Fixture f;
    f.reach(State::Running);
    float in[2][64], out[2][64];
    for (auto& c : in) std::fill(std::begin(c), std::end(c), 0.25f);
    for (auto& c : out) std::fill(std::begin(c), std::end(c), 7.0f);
    float* ins[2] = {in[0], in[1]};
    float* outs[2] = {out[0], out[1]};
    f.instance.processBlock(ins, outs, 64);
    EXPECT_EQ(out[1][63], 0.25f);

    const auto module = aerie::Module::open(FAKE_STEREO);
    aerie::Host host;
    aerie::Instance synth(*module, host);
    synth.open();
    synth.configure(44100.0, 64);
    synth.resume();
    for (auto& c : out) std::fill(std::begin(c), std::end(c), 7.0f);
    synth.processBlock(ins, outs, 64);
    EXPECT_EQ(out[0][0], 0.0f);  // cleared, then silence added
    EXPECT_EQ(out[1][63], 0.0f);
}

}  // namespace
