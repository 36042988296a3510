#include "host/effect_ext.h"

namespace {

VstIntPtr oneOrZero(bool answer) noexcept { return answer ? 1 : 0; }

VstIntPtr addressOf(const void* p) noexcept { return reinterpret_cast<VstIntPtr>(p); }

}  // namespace

EffectExt::EffectExt(audioMasterCallback audioMasterIn, std::int32_t numProgramsIn, std::int32_t numParamsIn) noexcept
    : Effect(audioMasterIn, numProgramsIn, numParamsIn) {}

EffectExt::~EffectExt() = default;

// ---- requests ----------------------------------------------------------------

VstIntPtr EffectExt::dispatcher(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr, float opt) {
    char* const text = static_cast<char*>(ptr);
    const auto value32 = static_cast<std::int32_t>(value);
    switch (opcode) {
    case effProcessEvents: return processEvents(static_cast<VstEvents*>(ptr));
    case effCanBeAutomated: return oneOrZero(canBeAutomated(index));
    case effString2Parameter: return oneOrZero(string2Parameter(index, text));
    case effGetNumProgramCategories: return getNumProgramCategories();
    case effGetProgramNameIndexed: return oneOrZero(getProgramNameIndexed(value32, index, text));
    case effCopyProgram: return oneOrZero(copyProgram(index));
    case effConnectInput: connectInput(index, value != 0); return 1;
    case effConnectOutput: connectOutput(index, value != 0); return 1;
    case effGetInputProperties: return oneOrZero(getInputProperties(index, static_cast<VstPinProperties*>(ptr)));
    case effGetOutputProperties: return oneOrZero(getOutputProperties(index, static_cast<VstPinProperties*>(ptr)));
    case effGetPlugCategory: return getPlugCategory();
    case effGetCurrentPosition: return getCurrentPosition();
    case effGetDestinationBuffer: return addressOf(getDestinationBuffer());
    case effOfflineNotify: return oneOrZero(offlineNotify(static_cast<VstAudioFile*>(ptr), value32, index != 0));
    case effOfflinePrepare: return oneOrZero(offlinePrepare(static_cast<VstOfflineTask*>(ptr), value32));
    case effOfflineRun: return oneOrZero(offlineRun(static_cast<VstOfflineTask*>(ptr), value32));
    case effProcessVarIo: return oneOrZero(processVarIo(static_cast<VstVariableIo*>(ptr)));
    case effSetSpeakerArrangement:
        return oneOrZero(setSpeakerArrangement(reinterpret_cast<VstSpeakerArrangement*>(value),
                                               static_cast<VstSpeakerArrangement*>(ptr)));
    case effSetBlockSizeAndSampleRate: setBlockSizeAndSampleRate(value32, opt); return 1;
    case effSetBypass: return oneOrZero(setBypass(value != 0));
    case effGetEffectName: return oneOrZero(getEffectName(text));
    case effGetErrorText: return oneOrZero(getErrorText(text));
    case effGetVendorString: return oneOrZero(getVendorString(text));
    case effGetProductString: return oneOrZero(getProductString(text));
    case effGetVendorVersion: return getVendorVersion();
    case effVendorSpecific: return vendorSpecific(index, value, ptr, opt);
    case effCanDo: return canDo(text);
    case effGetTailSize: return getTailSize();
    case effIdle: return idle();
    case effGetIcon: return addressOf(getIcon());
    case effSetViewPosition: return oneOrZero(setViewPosition(index, value32));
    case effGetParameterProperties:
        return oneOrZero(getParameterProperties(index, static_cast<VstParameterProperties*>(ptr)));
    case effKeysRequired: return oneOrZero(!keysRequired());
    case effGetVstVersion: return getVstVersion();
    default: return Effect::dispatcher(opcode, index, value, ptr, opt);
    }
}

// ---- plug-in operations: harmless defaults ------------------------------------

std::int32_t EffectExt::processEvents(VstEvents*) { return 0; }
bool EffectExt::canBeAutomated(std::int32_t) { return true; }
bool EffectExt::string2Parameter(std::int32_t, char*) { return false; }
float EffectExt::getChannelParameter(std::int32_t, std::int32_t) { return 0.0f; }
std::int32_t EffectExt::getNumProgramCategories() { return 1; }
bool EffectExt::getProgramNameIndexed(std::int32_t, std::int32_t, char*) { return false; }
bool EffectExt::copyProgram(std::int32_t) { return false; }
void EffectExt::connectInput(std::int32_t, bool) {}
void EffectExt::connectOutput(std::int32_t, bool) {}
bool EffectExt::getInputProperties(std::int32_t, VstPinProperties*) { return false; }
bool EffectExt::getOutputProperties(std::int32_t, VstPinProperties*) { return false; }

std::int32_t EffectExt::getPlugCategory() {
    return (record.flags & effFlagsIsSynth) != 0 ? kPlugCategSynth : kPlugCategUnknown;
}

std::int32_t EffectExt::getCurrentPosition() { return 0; }
float* EffectExt::getDestinationBuffer() { return nullptr; }
bool EffectExt::offlineNotify(VstAudioFile*, std::int32_t, bool) { return false; }
bool EffectExt::offlinePrepare(VstOfflineTask*, std::int32_t) { return false; }
bool EffectExt::offlineRun(VstOfflineTask*, std::int32_t) { return false; }
std::int32_t EffectExt::offlinePassCount() { return 0; }
std::int32_t EffectExt::offlineMetaPassCount() { return 0; }
bool EffectExt::processVarIo(VstVariableIo*) { return false; }
bool EffectExt::setSpeakerArrangement(VstSpeakerArrangement*, VstSpeakerArrangement*) { return false; }

void EffectExt::setBlockSizeAndSampleRate(std::int32_t size, float rate) {
    blockSize = size;
    sampleRate = rate;
}

bool EffectExt::setBypass(bool) { return false; }
bool EffectExt::getEffectName(char*) { return false; }
bool EffectExt::getErrorText(char*) { return false; }
bool EffectExt::getVendorString(char*) { return false; }
bool EffectExt::getProductString(char*) { return false; }
std::int32_t EffectExt::getVendorVersion() { return 0; }
VstIntPtr EffectExt::vendorSpecific(std::int32_t, VstIntPtr, void*, float) { return 0; }
std::int32_t EffectExt::canDo(char*) { return 0; }
void* EffectExt::getIcon() { return nullptr; }
bool EffectExt::setViewPosition(std::int32_t, std::int32_t) { return false; }
std::int32_t EffectExt::getTailSize() { return 0; }
std::int32_t EffectExt::idle() { return 0; }
bool EffectExt::getParameterProperties(std::int32_t, VstParameterProperties*) { return false; }
bool EffectExt::keysRequired() { return false; }
std::int32_t EffectExt::getVstVersion() { return 2; }

// ---- extended capability bits -------------------------------------------------

void EffectExt::setIsAsync(bool state) { setFlag(effFlagsExtIsAsync, state); }
void EffectExt::setHasExternalBuffer(bool state) { setFlag(effFlagsExtHasBuffer, state); }
void EffectExt::setIsSynth(bool state) { setFlag(effFlagsIsSynth, state); }
void EffectExt::setNoSoundInStop(bool state) { setFlag(effFlagsNoSoundInStop, state); }

// ---- host services --------------------------------------------------------------
// Each is one callback request; callHost answers 0 when there is no callback,
// which is every service's default except the rate and block size below.

namespace {
std::int32_t int32Of(VstIntPtr answer) noexcept { return static_cast<std::int32_t>(answer); }
bool truthOf(VstIntPtr answer) noexcept { return answer != 0; }
}  // namespace

std::int32_t EffectExt::hostWantMidi(std::int32_t filter) { return int32Of(callHost(audioMasterWantMidi, 0, filter)); }

VstTimeInfo* EffectExt::hostGetTime(std::int32_t filter) {
    return reinterpret_cast<VstTimeInfo*>(callHost(audioMasterGetTime, 0, filter));
}

std::int32_t EffectExt::hostTempoAt(std::int32_t pos) { return int32Of(callHost(audioMasterTempoAt, 0, pos)); }

std::int32_t EffectExt::hostNumAutomatableParameters() {
    return int32Of(callHost(audioMasterGetNumAutomatableParameters));
}

std::int32_t EffectExt::hostParameterQuantization() {
    return int32Of(callHost(audioMasterGetParameterQuantization));
}

bool EffectExt::hostIOChanged() { return truthOf(callHost(audioMasterIOChanged)); }
bool EffectExt::hostNeedIdle() { return truthOf(callHost(audioMasterNeedIdle)); }

bool EffectExt::hostSizeWindow(std::int32_t width, std::int32_t height) {
    return truthOf(callHost(audioMasterSizeWindow, width, height));
}

float EffectExt::hostUpdateSampleRate() {
    callHost(audioMasterGetSampleRate);
    return sampleRate;
}

std::int32_t EffectExt::hostUpdateBlockSize() {
    callHost(audioMasterGetBlockSize);
    return blockSize;
}

std::int32_t EffectExt::hostInputLatency() { return int32Of(callHost(audioMasterGetInputLatency)); }
std::int32_t EffectExt::hostOutputLatency() { return int32Of(callHost(audioMasterGetOutputLatency)); }

AEffect* EffectExt::hostPreviousPlug(std::int32_t) {
    return reinterpret_cast<AEffect*>(callHost(audioMasterGetPreviousPlug));
}

AEffect* EffectExt::hostNextPlug(std::int32_t) { return reinterpret_cast<AEffect*>(callHost(audioMasterGetNextPlug)); }

std::int32_t EffectExt::hostWillReplaceOrAccumulate() {
    return int32Of(callHost(audioMasterWillReplaceOrAccumulate));
}

std::int32_t EffectExt::hostCurrentProcessLevel() { return int32Of(callHost(audioMasterGetCurrentProcessLevel)); }
std::int32_t EffectExt::hostAutomationState() { return int32Of(callHost(audioMasterGetAutomationState)); }

bool EffectExt::hostOfflineRead(VstOfflineTask* task, std::int32_t option, bool readSource) {
    return truthOf(callHost(audioMasterOfflineRead, readSource ? 1 : 0, option, task));
}

bool EffectExt::hostOfflineWrite(VstOfflineTask* task, std::int32_t option) {
    return truthOf(callHost(audioMasterOfflineWrite, 0, option, task));
}

bool EffectExt::hostOfflineStart(VstAudioFile* files, std::int32_t numAudioFiles, std::int32_t numNewAudioFiles) {
    return truthOf(callHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, files));
}

std::int32_t EffectExt::hostOfflineCurrentPass() { return truthOf(callHost(audioMasterOfflineGetCurrentPass)) ? 1 : 0; }

std::int32_t EffectExt::hostOfflineCurrentMetaPass() {
    return truthOf(callHost(audioMasterOfflineGetCurrentMetaPass)) ? 1 : 0;
}

std::int32_t EffectExt::hostSetOutputSampleRate(float rate) {
    return int32Of(callHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, rate));
}

bool EffectExt::hostSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output) {
    return truthOf(callHost(audioMasterGetSpeakerArrangement, 0, addressOf(input), output));
}

bool EffectExt::hostVendorString(char* text) { return truthOf(callHost(audioMasterGetVendorString, 0, 0, text)); }
bool EffectExt::hostProductString(char* text) { return truthOf(callHost(audioMasterGetProductString, 0, 0, text)); }
std::int32_t EffectExt::hostVendorVersion() { return int32Of(callHost(audioMasterGetVendorVersion)); }

VstIntPtr EffectExt::hostVendorSpecific(std::int32_t arg1, VstIntPtr arg2, void* ptr, float number) {
    return callHost(audioMasterVendorSpecific, arg1, arg2, ptr, number);
}

std::int32_t EffectExt::hostCanDo(char* text) { return truthOf(callHost(audioMasterCanDo, 0, 0, text)) ? 1 : 0; }
std::int32_t EffectExt::hostLanguage() { return int32Of(callHost(audioMasterGetLanguage)); }

void* EffectExt::hostOpenWindow(VstWindow* window) {
    return reinterpret_cast<void*>(callHost(audioMasterOpenWindow, 0, 0, window));
}

bool EffectExt::hostCloseWindow(VstWindow* window) { return truthOf(callHost(audioMasterCloseWindow, 0, 0, window)); }
void* EffectExt::hostDirectory() { return reinterpret_cast<void*>(callHost(audioMasterGetDirectory)); }
bool EffectExt::hostUpdateDisplay() { return truthOf(callHost(audioMasterUpdateDisplay)); }
