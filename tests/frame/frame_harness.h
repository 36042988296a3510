// A host's view of the frame: a test effect that writes every operation the
// dispatcher reaches into one trace, a host callback that writes its requests
// into the same trace, and an instance handle that talks to the effect only
// through the record's entry functions.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "host/effect_ext.h"

inline VstIntPtr A(const void* p) { return reinterpret_cast<VstIntPtr>(p); }

// One operation of the effect, or one host request (op "host", args opcode,
// index, value, ptr). A float argument goes in `number`.
struct Call {
    std::string op;
    std::vector<VstIntPtr> args = {};
    float number = 0.0f;
    const void* self = nullptr;  // the record involved; not compared
    bool operator==(const Call& o) const { return op == o.op && args == o.args && number == o.number; }
};

inline std::ostream& operator<<(std::ostream& os, const Call& c) {
    os << c.op << '(';
    for (VstIntPtr a : c.args) os << a << ',';
    return os << " number " << c.number << ')';
}

struct Harness {
    std::vector<Call> trace;
    std::optional<VstIntPtr> answer;  // what overridden operations answer; unset: the default
    std::optional<float> level;       // likewise for getVu and getParameter
    std::string throwIn;              // the operation that throws instead of answering
    VstIntPtr hostAnswer = 0;
    std::function<void(AEffect*, std::int32_t)> duringHostCall;
};
inline Harness g;

// Addresses of objects the tests pass by pointer; kWide needs the full width
// of a 64-bit pointer.
alignas(16) inline char blobA[96];
alignas(16) inline char blobB[96];
inline const VstIntPtr kWide = A(&g);
template <class T> T* as(char* blob = blobA) { return reinterpret_cast<T*>(blob); }

inline void note(const char* op, std::vector<VstIntPtr> args = {}, float number = 0.0f, const void* self = nullptr) {
    g.trace.push_back({op, std::move(args), number, self});
    if (g.throwIn == op) throw std::runtime_error(op);
}

inline std::vector<Call> traced(bool host) {
    std::vector<Call> out;
    for (const Call& c : g.trace)
        if ((c.op == "host") == host) out.push_back(c);
    return out;
}
inline std::vector<Call> ops() { return traced(false); }
inline std::vector<Call> hostCalls() { return traced(true); }

inline VstIntPtr VST_CALL recordingHost(AEffect* e, std::int32_t opcode, std::int32_t index, VstIntPtr value,
                                        void* ptr, float opt) {
    note("host", {opcode, index, value, A(ptr)}, opt, e);
    if (g.duringHostCall) g.duringHostCall(e, opcode);
    return g.hostAnswer;
}

struct TestEditor : EffectEditor {
    ~TestEditor() override { note("~TestEditor"); }
    std::int32_t getRect(void* r) override {
        note("getRect", {A(r)});
        return static_cast<std::int32_t>(g.answer.value_or(0));
    }
    std::int32_t openEditor(void* p) override {
        note("openEditor", {A(p)});
        return static_cast<std::int32_t>(g.answer.value_or(0));
    }
    void closeEditor() override { note("closeEditor"); }
    void idleEditor() override { note("idleEditor"); }
};

// Every operation a host request or entry reaches is overridden: it notes its
// arguments, then answers g.answer (converted to its type) or the default.
class TestEffect : public EffectExt {
public:
    using EffectExt::EffectExt;
    ~TestEffect() override { note("~TestEffect"); }
    void attachEditor() { editor = std::make_unique<TestEditor>(); }

    TestEffect& n(const char* op, std::vector<VstIntPtr> args = {}, float number = 0.0f) {
        note(op, std::move(args), number, &record);
        return *this;
    }
    template <class T> T reply(T fallback) const {
        if (!g.answer) return fallback;
        if constexpr (std::is_pointer_v<T>) return reinterpret_cast<T>(*g.answer);
        else if constexpr (std::is_same_v<T, bool>) return *g.answer != 0;
        else return static_cast<T>(*g.answer);
    }

    void setParameter(std::int32_t i, float v) override { n("setParameter", {i}, v); }
    float getParameter(std::int32_t i) override { n("getParameter", {i}); return g.level.value_or(EffectExt::getParameter(i)); }
    void process(float** in, float** out, std::int32_t frames) override { n("process", {A(in), A(out), frames}); }
    void processReplacing(float** in, float** out, std::int32_t frames) override { n("processReplacing", {A(in), A(out), frames}); }
    void open() override { n("open"); }
    void close() override { n("close"); }
    std::int32_t getProgram() override { return n("getProgram").reply(EffectExt::getProgram()); }
    void setProgram(std::int32_t p) override { n("setProgram", {p}); EffectExt::setProgram(p); }
    void setProgramName(char* t) override { n("setProgramName", {A(t)}); EffectExt::setProgramName(t); }
    void getProgramName(char* t) override { n("getProgramName", {A(t)}); EffectExt::getProgramName(t); }
    void getParamLabel(std::int32_t i, char* t) override { n("getParamLabel", {i, A(t)}); EffectExt::getParamLabel(i, t); }
    void getParamDisplay(std::int32_t i, char* t) override { n("getParamDisplay", {i, A(t)}); EffectExt::getParamDisplay(i, t); }
    void getParamName(std::int32_t i, char* t) override { n("getParamName", {i, A(t)}); EffectExt::getParamName(i, t); }
    float getVu() override { n("getVu"); return g.level.value_or(EffectExt::getVu()); }
    std::int32_t getChunk(void* d, bool pre) override { return n("getChunk", {A(d), pre}).reply(EffectExt::getChunk(d, pre)); }
    std::int32_t setChunk(void* d, std::int32_t size, bool pre) override { return n("setChunk", {A(d), size, pre}).reply(EffectExt::setChunk(d, size, pre)); }
    void setSampleRate(float r) override { n("setSampleRate", {}, r); EffectExt::setSampleRate(r); }
    void setBlockSize(std::int32_t s) override { n("setBlockSize", {s}); EffectExt::setBlockSize(s); }
    void suspend() override { n("suspend"); }
    void resume() override { n("resume"); }
    void formatFloat(float v, char* t) override { n("formatFloat", {}, v); EffectExt::formatFloat(v, t); }

    std::int32_t processEvents(VstEvents* e) override { return n("processEvents", {A(e)}).reply(EffectExt::processEvents(e)); }
    bool canBeAutomated(std::int32_t i) override { return n("canBeAutomated", {i}).reply(EffectExt::canBeAutomated(i)); }
    bool string2Parameter(std::int32_t i, char* t) override { return n("string2Parameter", {i, A(t)}).reply(EffectExt::string2Parameter(i, t)); }
    std::int32_t getNumProgramCategories() override { return n("getNumProgramCategories").reply(EffectExt::getNumProgramCategories()); }
    bool getProgramNameIndexed(std::int32_t c, std::int32_t i, char* t) override { return n("getProgramNameIndexed", {c, i, A(t)}).reply(EffectExt::getProgramNameIndexed(c, i, t)); }
    bool copyProgram(std::int32_t d) override { return n("copyProgram", {d}).reply(EffectExt::copyProgram(d)); }
    void connectInput(std::int32_t i, bool on) override { n("connectInput", {i, on}); }
    void connectOutput(std::int32_t i, bool on) override { n("connectOutput", {i, on}); }
    bool getInputProperties(std::int32_t i, VstPinProperties* p) override { return n("getInputProperties", {i, A(p)}).reply(EffectExt::getInputProperties(i, p)); }
    bool getOutputProperties(std::int32_t i, VstPinProperties* p) override { return n("getOutputProperties", {i, A(p)}).reply(EffectExt::getOutputProperties(i, p)); }
    std::int32_t getPlugCategory() override { return n("getPlugCategory").reply(EffectExt::getPlugCategory()); }
    std::int32_t getCurrentPosition() override { return n("getCurrentPosition").reply(EffectExt::getCurrentPosition()); }
    float* getDestinationBuffer() override { return n("getDestinationBuffer").reply(EffectExt::getDestinationBuffer()); }
    bool offlineNotify(VstAudioFile* f, std::int32_t c, bool s) override { return n("offlineNotify", {A(f), c, s}).reply(EffectExt::offlineNotify(f, c, s)); }
    bool offlinePrepare(VstOfflineTask* t, std::int32_t c) override { return n("offlinePrepare", {A(t), c}).reply(EffectExt::offlinePrepare(t, c)); }
    bool offlineRun(VstOfflineTask* t, std::int32_t c) override { return n("offlineRun", {A(t), c}).reply(EffectExt::offlineRun(t, c)); }
    bool processVarIo(VstVariableIo* v) override { return n("processVarIo", {A(v)}).reply(EffectExt::processVarIo(v)); }
    bool setSpeakerArrangement(VstSpeakerArrangement* i, VstSpeakerArrangement* o) override { return n("setSpeakerArrangement", {A(i), A(o)}).reply(EffectExt::setSpeakerArrangement(i, o)); }
    void setBlockSizeAndSampleRate(std::int32_t s, float r) override { n("setBlockSizeAndSampleRate", {s}, r); EffectExt::setBlockSizeAndSampleRate(s, r); }
    bool setBypass(bool on) override { return n("setBypass", {on}).reply(EffectExt::setBypass(on)); }
    bool getEffectName(char* t) override { return n("getEffectName", {A(t)}).reply(EffectExt::getEffectName(t)); }
    bool getErrorText(char* t) override { return n("getErrorText", {A(t)}).reply(EffectExt::getErrorText(t)); }
    bool getVendorString(char* t) override { return n("getVendorString", {A(t)}).reply(EffectExt::getVendorString(t)); }
    bool getProductString(char* t) override { return n("getProductString", {A(t)}).reply(EffectExt::getProductString(t)); }
    std::int32_t getVendorVersion() override { return n("getVendorVersion").reply(EffectExt::getVendorVersion()); }
    VstIntPtr vendorSpecific(std::int32_t a, VstIntPtr b, void* p, float f) override { return n("vendorSpecific", {a, b, A(p)}, f).reply(EffectExt::vendorSpecific(a, b, p, f)); }
    std::int32_t canDo(char* t) override { return n("canDo", {A(t)}).reply(EffectExt::canDo(t)); }
    void* getIcon() override { return n("getIcon").reply(EffectExt::getIcon()); }
    bool setViewPosition(std::int32_t x, std::int32_t y) override { return n("setViewPosition", {x, y}).reply(EffectExt::setViewPosition(x, y)); }
    std::int32_t getTailSize() override { return n("getTailSize").reply(EffectExt::getTailSize()); }
    std::int32_t idle() override { return n("idle").reply(EffectExt::idle()); }
    bool getParameterProperties(std::int32_t i, VstParameterProperties* p) override { return n("getParameterProperties", {i, A(p)}).reply(EffectExt::getParameterProperties(i, p)); }
    bool keysRequired() override { return n("keysRequired").reply(EffectExt::keysRequired()); }
    std::int32_t getVstVersion() override { return n("getVstVersion").reply(EffectExt::getVstVersion()); }
};

// What a host holds: the record, reached through its entries. Closes the
// instance (effClose destroys it) unless the test already did.
struct Instance {
    TestEffect* fx;
    AEffect* e;
    explicit Instance(audioMasterCallback host = recordingHost, std::int32_t programs = 10, std::int32_t params = 4)
        : fx(new TestEffect(host, programs, params)), e(fx->getAeffect()) {}
    ~Instance() {
        if (e != nullptr) close();
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    VstIntPtr operator()(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                         float opt = 0.0f) const {
        return e->dispatcher(e, opcode, index, value, ptr, opt);
    }
    VstIntPtr close() {
        const VstIntPtr answer = (*this)(1);
        e = nullptr;
        return answer;
    }
};

class Frame : public ::testing::Test {
protected:
    void SetUp() override { g = Harness{}; }
};
