// The record a host receives, its entries, and an instance's life from
// construction to effClose.
#include <cstring>

#include "frame_harness.h"

namespace {

using ::testing::ElementsAre;

TEST_F(Frame, ConstructorFillsTheRecordAndAsksTheHostNothing) {
    Instance fx(recordingHost, 3, 5);
    const AEffect& r = *fx.e;
    EXPECT_TRUE(r.dispatcher && r.process && r.setParameter && r.getParameter && r.processReplacing);
    AEffect want;  // every byte not named here is zero, `future` and padding included
    std::memset(&want, 0, sizeof want);
    want.magic = 0x56737450;  // 'VstP'
    want.dispatcher = r.dispatcher;
    want.process = r.process;
    want.setParameter = r.setParameter;
    want.getParameter = r.getParameter;
    want.processReplacing = r.processReplacing;
    want.numPrograms = 3;
    want.numParams = 5;
    want.numInputs = 1;
    want.numOutputs = 2;
    want.ioRatio = 1.0f;
    want.object = static_cast<Effect*>(fx.fx);
    want.uniqueID = 0x4E6F4566;  // 'NoEf'
    want.version = 1;
    const auto bytes = [](const AEffect& x) {
        const auto* p = reinterpret_cast<const unsigned char*>(&x);
        return std::vector<int>(p, p + sizeof x);
    };
    EXPECT_THAT(bytes(r), ::testing::ElementsAreArray(bytes(want)));  // names the first offset that differs
    EXPECT_EQ(fx.fx->getSampleRate(), 44100.0f);
    EXPECT_EQ(fx.fx->getBlockSize(), 1024);
    EXPECT_TRUE(g.trace.empty());
    EXPECT_EQ(fx(3), 0);  // curProgram
}

TEST_F(Frame, AudioAndParameterEntriesForwardToTheObject) {
    Instance fx;
    float* inputs[1] = {};
    float* outputs[2] = {};
    fx.e->process(fx.e, inputs, outputs, 512);
    fx.e->processReplacing(fx.e, inputs, outputs, 64);
    fx.e->setParameter(fx.e, 2, 0.625f);
    EXPECT_EQ(fx.e->getParameter(fx.e, 2), 0.0f);
    g.level = 0.1234f;
    EXPECT_EQ(fx.e->getParameter(fx.e, -7), 0.1234f);
    EXPECT_THAT(ops(), ElementsAre(Call{"process", {A(inputs), A(outputs), 512}},
                                   Call{"processReplacing", {A(inputs), A(outputs), 64}},
                                   Call{"setParameter", {2}, 0.625f}, Call{"getParameter", {2}},
                                   Call{"getParameter", {-7}}));
}

TEST_F(Frame, CloseAnswersOneAndDestroysTheObjectWhateverCloseDid) {
    for (const char* failing : {"", "close"}) {
        g = Harness{};
        g.throwIn = failing;
        Instance fx;
        EXPECT_EQ(fx.close(), 1);
        EXPECT_THAT(ops(), ElementsAre(Call{"close"}, Call{"~TestEffect"}));
        EXPECT_TRUE(hostCalls().empty());
    }
    // Even a dispatcher that answers effClose itself does not change the answer.
    struct OwnClose : TestEffect {
        using TestEffect::TestEffect;
        VstIntPtr dispatcher(std::int32_t op, std::int32_t i, VstIntPtr v, void* p, float o) override {
            return op == 1 ? 7 : TestEffect::dispatcher(op, i, v, p, o);
        }
    };
    g = Harness{};
    AEffect* e = (new OwnClose(recordingHost, 0, 0))->getAeffect();
    EXPECT_EQ(e->dispatcher(e, 1, 0, 0, nullptr, 0.0f), 1);
    EXPECT_THAT(ops(), ElementsAre(Call{"~TestEffect"}));
}

TEST_F(Frame, TwoInstancesKeepSeparateRecordsAndState) {
    Instance a, b;
    EXPECT_NE(a.e, b.e);
    EXPECT_EQ(b.e->object, static_cast<Effect*>(b.fx));
    a(10, 0, 0, nullptr, 48000.0f);
    a(11, 0, 256);
    a(2, 0, 4);
    for (const Call& c : ops()) EXPECT_EQ(c.self, a.e) << c;
    a.fx->setIsSynth(true);
    EXPECT_EQ(b.fx->getSampleRate(), 44100.0f);
    EXPECT_EQ(b.fx->getBlockSize(), 1024);
    EXPECT_EQ(b(3), 0);
    EXPECT_EQ(b.e->flags, 0);
    EXPECT_EQ(a(3), 4);
    a.close();
    b(2, 0, 6);
    EXPECT_EQ(b(3), 6);
}

using FlagSetter = void (*)(EffectExt&, bool);
struct Flag { FlagSetter set; std::int32_t bit; };
const Flag kFlags[] = {
    {[](EffectExt& fx, bool on) { fx.setHasClip(on); }, 0x2},
    {[](EffectExt& fx, bool on) { fx.setHasVu(on); }, 0x4},
    {[](EffectExt& fx, bool on) { fx.setCanMono(on); }, 0x8},
    {[](EffectExt& fx, bool on) { fx.setCanReplacing(on); }, 0x10},
    {[](EffectExt& fx, bool on) { fx.setProgramChunks(on); }, 0x20},
    {[](EffectExt& fx, bool on) { fx.setIsSynth(on); }, 0x100},
    {[](EffectExt& fx, bool on) { fx.setNoSoundInStop(on); }, 0x200},
    {[](EffectExt& fx, bool on) { fx.setIsAsync(on); }, 0x400},
    {[](EffectExt& fx, bool on) { fx.setHasExternalBuffer(on); }, 0x800},
};

TEST_F(Frame, EachFlagSetterSetsAndClearsItsOwnBitOnly) {
    Instance fx;
    std::int32_t& flags = fx.e->flags;
    for (const Flag& f : kFlags) {
        f.set(*fx.fx, true);
        EXPECT_EQ(flags, f.bit);
        f.set(*fx.fx, false);
        EXPECT_EQ(flags, 0);
    }
    for (const Flag& f : kFlags) f.set(*fx.fx, true);
    EXPECT_EQ(flags, 0xF3E);  // bit 0 (has editor) has no setter
    for (const Flag& f : kFlags) {
        f.set(*fx.fx, false);
        f.set(*fx.fx, false);
        EXPECT_EQ(flags, 0xF3E & ~f.bit);
        EXPECT_EQ(fx(35), f.bit == 0x100 ? 0 : 2);  // the plug category follows the synth bit alone
        f.set(*fx.fx, true);
        EXPECT_EQ(flags, 0xF3E);
    }
    EXPECT_TRUE(hostCalls().empty());  // the host is not told
}

}  // namespace
