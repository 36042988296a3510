#include "host/effect.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

Effect* effectOf(AEffect* e) noexcept { return static_cast<Effect*>(e->object); }

// The five entries the host calls. Each forwards to one virtual operation of
// the object behind the record; an exception thrown below is caught here and
// the request answered as unhandled, never let into the host.
VstIntPtr VST_CALL dispatchEntry(AEffect* e, std::int32_t opcode, std::int32_t index, VstIntPtr value,
                                 void* ptr, float opt) noexcept {
    Effect* effect = effectOf(e);
    VstIntPtr answer = 0;
    try {
        answer = effect->dispatcher(opcode, index, value, ptr, opt);
    } catch (...) {
        answer = 0;
    }
    if (opcode == effClose) {
        // The record lives inside the object: after this the host's pointer
        // is dead, and the host is told the close succeeded.
        delete effect;
        return 1;
    }
    return answer;
}

void VST_CALL processEntry(AEffect* e, float** inputs, float** outputs, std::int32_t sampleFrames) noexcept {
    try {
        effectOf(e)->process(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

void VST_CALL processReplacingEntry(AEffect* e, float** inputs, float** outputs,
                                    std::int32_t sampleFrames) noexcept {
    try {
        effectOf(e)->processReplacing(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

void VST_CALL setParameterEntry(AEffect* e, std::int32_t index, float value) noexcept {
    try {
        effectOf(e)->setParameter(index, value);
    } catch (...) {
    }
}

float VST_CALL getParameterEntry(AEffect* e, std::int32_t index) noexcept {
    try {
        return effectOf(e)->getParameter(index);
    } catch (...) {
        return 0.0f;
    }
}

// effGetVu: the level times 32767, truncated toward zero; levels outside
// what an int32 holds saturate, and NaN answers 0.
VstIntPtr scaleVu(float level) noexcept {
    const double scaled = static_cast<double>(level) * 32767.0;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
    if (scaled <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(scaled);
}

}  // namespace

void copyHostText(char* dst, const char* text) noexcept {
    if (dst != nullptr) std::memcpy(dst, text, std::strlen(text) + 1);
}

Effect::Effect(audioMasterCallback audioMasterIn, std::int32_t numProgramsIn, std::int32_t numParamsIn) noexcept
    : sampleRate(44100.0f),
      audioMaster(audioMasterIn),
      numPrograms(numProgramsIn),
      numParams(numParamsIn),
      curProgram(0),
      blockSize(1024) {
    std::memset(&record, 0, sizeof record);
    record.magic = kEffectMagic;
    record.dispatcher = dispatchEntry;
    record.process = processEntry;
    record.setParameter = setParameterEntry;
    record.getParameter = getParameterEntry;
    record.numPrograms = numProgramsIn;
    record.numParams = numParamsIn;
    record.numInputs = 1;
    record.numOutputs = 2;
    record.ioRatio = 1.0f;
    record.object = this;
    record.uniqueID = kDefaultUniqueId;
    record.version = 1;
    record.processReplacing = processReplacingEntry;
}

Effect::~Effect() = default;

// ---- parameters and audio --------------------------------------------------

void Effect::setParameter(std::int32_t, float) {}

float Effect::getParameter(std::int32_t) { return 0.0f; }

void Effect::automateParameter(std::int32_t index, float value) {
    setParameter(index, value);
    if (audioMaster != nullptr) callHost(audioMasterAutomate, index, 0, nullptr, value);
}

void Effect::processReplacing(float**, float**, std::int32_t) {}

// ---- requests ----------------------------------------------------------------

VstIntPtr Effect::dispatcher(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    char* const text = static_cast<char*>(ptr);
    switch (opcode) {
    case effOpen: open(); return 0;
    case effClose: close(); return 0;
    case effSetProgram:
        if (value < numPrograms) setProgram(static_cast<std::int32_t>(value));
        return 0;
    case effGetProgram: return getProgram();
    case effSetProgramName: setProgramName(text); return 0;
    case effGetProgramName: getProgramName(text); return 0;
    case effGetParamLabel: getParamLabel(index, text); return 0;
    case effGetParamDisplay: getParamDisplay(index, text); return 0;
    case effGetParamName: getParamName(index, text); return 0;
    case effGetVu: return scaleVu(getVu());
    case effSetSampleRate: setSampleRate(opt); return 0;
    case effSetBlockSize: setBlockSize(static_cast<std::int32_t>(value)); return 0;
    case effMainsChanged:
        if (value == 0) suspend(); else resume();
        return 0;
    case effEditGetRect: return editor ? editor->getRect(ptr) : 0;
    case effEditOpen: return editor ? editor->openEditor(ptr) : 0;
    case effEditClose:
        if (editor) editor->closeEditor();
        return 0;
    case effEditIdle:
        if (editor) editor->idleEditor();
        return 0;
    case effIdentify: return kEffectIdentify;
    case effGetChunk: return getChunk(ptr, index != 0);
    case effSetChunk: return setChunk(ptr, static_cast<std::int32_t>(value), index != 0);
    default: return 0;  // the editor's draw/mouse/key/top/sleep, and anything unknown
    }
}

void Effect::open() {}
void Effect::close() {}
std::int32_t Effect::getProgram() { return curProgram; }
void Effect::setProgram(std::int32_t program) { curProgram = program; }
void Effect::setProgramName(char* name) { copyHostText(name, ""); }
void Effect::getProgramName(char* name) { copyHostText(name, ""); }
void Effect::getParamLabel(std::int32_t, char* label) { copyHostText(label, ""); }
void Effect::getParamDisplay(std::int32_t, char* text) { copyHostText(text, ""); }
void Effect::getParamName(std::int32_t, char* text) { copyHostText(text, ""); }
float Effect::getVu() { return 0.0f; }
std::int32_t Effect::getChunk(void*, bool) { return 0; }
std::int32_t Effect::setChunk(void*, std::int32_t, bool) { return 0; }
void Effect::setSampleRate(float rate) { sampleRate = rate; }
void Effect::setBlockSize(std::int32_t size) { blockSize = size; }
void Effect::suspend() {}
void Effect::resume() {}

// ---- the record's identity and capabilities ---------------------------------

void Effect::setFlag(std::int32_t bit, bool state) noexcept {
    if (state) record.flags |= bit; else record.flags &= ~bit;
}

void Effect::setUniqueId(std::int32_t id) { record.uniqueID = id; }
void Effect::setNumInputs(std::int32_t count) { record.numInputs = count; }
void Effect::setNumOutputs(std::int32_t count) { record.numOutputs = count; }
void Effect::setHasVu(bool state) { setFlag(effFlagsHasVu, state); }
void Effect::setHasClip(bool state) { setFlag(effFlagsHasClip, state); }
void Effect::setCanMono(bool state) { setFlag(effFlagsCanMono, state); }
void Effect::setCanReplacing(bool state) { setFlag(effFlagsCanReplacing, state); }
void Effect::setProgramChunks(bool state) { setFlag(effFlagsProgramChunks, state); }
void Effect::setRealQualities(std::int32_t qualities) { record.realQualities = qualities; }
void Effect::setOffQualities(std::int32_t qualities) { record.offQualities = qualities; }
void Effect::setInitialDelay(std::int32_t frames) { record.initialDelay = frames; }
float Effect::getSampleRate() { return sampleRate; }
std::int32_t Effect::getBlockSize() { return blockSize; }

// ---- host services -----------------------------------------------------------

VstIntPtr Effect::callHost(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    return audioMaster != nullptr ? audioMaster(&record, opcode, index, value, ptr, opt) : 0;
}

std::int32_t Effect::hostVersion() {
    const auto answer = static_cast<std::int32_t>(callHost(audioMasterVersion));
    return answer != 0 ? answer : 1;
}

std::int32_t Effect::hostCurrentId() { return static_cast<std::int32_t>(callHost(audioMasterCurrentId)); }

std::int32_t Effect::hostIdle() { return static_cast<std::int32_t>(callHost(audioMasterIdle)); }

bool Effect::hostInputConnected(std::int32_t input) {
    return callHost(audioMasterPinConnected, input, 0) == 0;
}

bool Effect::hostOutputConnected(std::int32_t output) {
    return callHost(audioMasterPinConnected, output, 1) == 0;
}
