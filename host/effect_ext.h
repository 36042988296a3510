// The extended effect: the whole request set a host can send (25 to 58 on
// top of Effect's 0 to 24) and the host services beyond the base five.
//
// Derive an effect from EffectExt, give it its identity in the constructor
// (setNumInputs, setNumOutputs, setUniqueId, setIsSynth, ...), implement
// `process`, and override only the operations it has something to say to.
// The dispatcher turns every true/false answer into exactly 1 or 0 for the
// host; effKeysRequired is the one inverted answer.
#pragma once

#include <cstdint>

#include "host/abi/events.h"
#include "host/abi/parameter_properties.h"
#include "host/abi/pins.h"
#include "host/abi/time_info.h"
#include "host/effect.h"

class EffectExt : public Effect {
public:
    // Passes its arguments to Effect unchanged; nothing of its own.
    // [main thread, from the module's entry]
    EffectExt(audioMasterCallback audioMaster, std::int32_t numPrograms, std::int32_t numParams) noexcept;
    ~EffectExt() override;

    // Answers requests 25 to 58; hands every other one to Effect::dispatcher.
    // [the thread of the request it serves]
    VstIntPtr dispatcher(std::int32_t opcode, std::int32_t index, VstIntPtr value, void* ptr,
                         float opt) override;

    // The operations below are declared in the order hosts' requests were
    // added to the interface, and the virtual table fixes that order: add
    // nothing between them. Each names the request that reaches it (effect
    // requests) or that it sends (host services, which answer the default
    // given when the effect has no callback), and says who calls it, on
    // which thread and in which state (the brackets of host/effect.h).

    // ---- host services: MIDI, time, tempo [caller's thread] ------------------
    // Called from resume by an effect that takes MIDI.
    virtual std::int32_t hostWantMidi(std::int32_t filter);  // audioMasterWantMidi; 0
    // [audio thread; no lock, no allocation]: at the start of a block.
    virtual VstTimeInfo* hostGetTime(std::int32_t filter);   // audioMasterGetTime; null
    virtual std::int32_t hostTempoAt(std::int32_t pos);      // audioMasterTempoAt; 0

    // ---- events ----------------------------------------------------------------
    // effProcessEvents: the events of the next rendered block, valid during
    // the call only. Default 0. [audio thread; no lock, no allocation]
    virtual std::int32_t processEvents(VstEvents* events);

    // ---- host services: automation [caller's thread] ---------------------------
    virtual std::int32_t hostNumAutomatableParameters();    // 0
    virtual std::int32_t hostParameterQuantization();       // 0

    // ---- parameters and programs [main thread] ---------------------------------
    virtual bool canBeAutomated(std::int32_t index);         // effCanBeAutomated; true
    virtual bool string2Parameter(std::int32_t index, char* text);  // effString2Parameter; false
    // No request reaches it. [any thread; no lock, no allocation]
    virtual float getChannelParameter(std::int32_t channel, std::int32_t index);  // 0.0
    virtual std::int32_t getNumProgramCategories();          // effGetNumProgramCategories; 1
    // effGetProgramNameIndexed: category is the request's value, index its
    // index; the name is at most 23 characters. False.
    virtual bool getProgramNameIndexed(std::int32_t category, std::int32_t index, char* text);
    virtual bool copyProgram(std::int32_t destination);     // effCopyProgram; false

    // ---- host services: window, rate, block size, latency, neighbours ----------
    // [caller's thread; the main thread for all but the latencies]
    virtual bool hostIOChanged();                            // audioMasterIOChanged; false
    virtual bool hostNeedIdle();                             // audioMasterNeedIdle; false
    virtual bool hostSizeWindow(std::int32_t width, std::int32_t height);  // false
    // Ask the host for the rate / block size; the answer is not stored: what
    // returns is the field as it stands after the call, which changes only if
    // the host sent effSetSampleRate / effSetBlockSize meanwhile.
    virtual float hostUpdateSampleRate();
    virtual std::int32_t hostUpdateBlockSize();
    virtual std::int32_t hostInputLatency();                 // 0
    virtual std::int32_t hostOutputLatency();                // 0
    // The pin is not sent: index and value are 0 whatever `pin` is.
    virtual AEffect* hostPreviousPlug(std::int32_t pin);     // null
    virtual AEffect* hostNextPlug(std::int32_t pin);         // null

    // ---- pins and category -------------------------------------------------------
    // [main thread; suspended]
    virtual void connectInput(std::int32_t index, bool connected);   // effConnectInput; answers 1
    virtual void connectOutput(std::int32_t index, bool connected);  // effConnectOutput; answers 1
    // effGetInputProperties / effGetOutputProperties: false, pin record
    // untouched. [main thread]
    virtual bool getInputProperties(std::int32_t index, VstPinProperties* properties);
    virtual bool getOutputProperties(std::int32_t index, VstPinProperties* properties);
    // effGetPlugCategory: kPlugCategSynth when effFlagsIsSynth is set, else
    // kPlugCategUnknown. [main thread]
    virtual std::int32_t getPlugCategory();

    // ---- host services: processing context [caller's thread] -------------------
    virtual std::int32_t hostWillReplaceOrAccumulate();     // 0
    virtual std::int32_t hostCurrentProcessLevel();         // 0
    virtual std::int32_t hostAutomationState();             // 0

    // ---- record flags [constructor] --------------------------------------------
    virtual void setIsAsync(bool state);                     // effFlagsExtIsAsync
    virtual void setHasExternalBuffer(bool state);           // effFlagsExtHasBuffer

    // ---- asynchronous processing [audio thread; no lock, no allocation] --------
    virtual std::int32_t getCurrentPosition();              // effGetCurrentPosition; 0
    virtual float* getDestinationBuffer();                   // effGetDestinationBuffer; null

    // ---- host services: offline processing [caller's thread] -------------------
    // Sends readSource in index (1/0), option in value, the task in ptr. False.
    virtual bool hostOfflineRead(VstOfflineTask* task, std::int32_t option, bool readSource);
    virtual bool hostOfflineWrite(VstOfflineTask* task, std::int32_t option);  // false
    // Sends numNewAudioFiles in index and numAudioFiles in value. False.
    virtual bool hostOfflineStart(VstAudioFile* files, std::int32_t numAudioFiles,
                                  std::int32_t numNewAudioFiles);
    virtual std::int32_t hostOfflineCurrentPass();          // 1 when the host answers non-zero; 0
    virtual std::int32_t hostOfflineCurrentMetaPass();      // likewise

    // ---- offline processing [main thread] ---------------------------------------
    // effOfflineNotify: ptr, value, index != 0. False.
    virtual bool offlineNotify(VstAudioFile* files, std::int32_t numAudioFiles, bool start);
    virtual bool offlinePrepare(VstOfflineTask* tasks, std::int32_t count);  // effOfflinePrepare; false
    virtual bool offlineRun(VstOfflineTask* tasks, std::int32_t count);      // effOfflineRun; false
    virtual std::int32_t offlinePassCount();                 // no request; 0
    virtual std::int32_t offlineMetaPassCount();             // no request; 0

    // ---- host services: output rate, speakers, the host's identity [caller's thread]
    virtual std::int32_t hostSetOutputSampleRate(float rate);  // rate in opt only; 0
    // Sends the input arrangement's address in value and the output's in ptr. False.
    virtual bool hostSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output);
    virtual bool hostVendorString(char* text);               // the host fills text; false
    virtual bool hostProductString(char* text);              // the host fills text; false
    virtual std::int32_t hostVendorVersion();                // 0
    // Passes its four arguments straight into index, value, ptr and opt. 0.
    virtual VstIntPtr hostVendorSpecific(std::int32_t arg1, VstIntPtr arg2, void* ptr, float number);
    virtual std::int32_t hostCanDo(char* text);              // 1 when the host answers non-zero; 0

    // ---- record flags [constructor] --------------------------------------------
    virtual void setIsSynth(bool state);                     // effFlagsIsSynth
    virtual void setNoSoundInStop(bool state);               // effFlagsNoSoundInStop

    // ---- host services: language, windows, folder, display [caller's thread] ---
    virtual std::int32_t hostLanguage();                     // 0
    virtual void* hostOpenWindow(VstWindow* window);         // null
    virtual bool hostCloseWindow(VstWindow* window);         // false
    virtual void* hostDirectory();                           // null
    virtual bool hostUpdateDisplay();                        // false

    // ---- processing set-up --------------------------------------------------------
    // effProcessVarIo; false. [audio thread; no lock, no allocation]
    virtual bool processVarIo(VstVariableIo* varIo);
    // effSetSpeakerArrangement: the request's value (an address) is the input.
    // False. [main thread; suspended]
    virtual bool setSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output);
    // effSetBlockSizeAndSampleRate: stores both fields directly, without
    // setBlockSize / setSampleRate. The request answers 1. [main thread; suspended]
    virtual void setBlockSizeAndSampleRate(std::int32_t size, float rate);
    // effSetBypass; false. [audio or main thread; no lock, no allocation]
    virtual bool setBypass(bool onOff);

    // ---- identity and capabilities [main thread] ---------------------------------
    // Name queries: false, host buffer untouched.
    // Text limits, in characters, the NUL on top: effect name 31, vendor and
    // product 63 each; hosts give no length, so keep an error text short.
    virtual bool getEffectName(char* name);                  // effGetEffectName
    virtual bool getErrorText(char* text);                   // effGetErrorText
    virtual bool getVendorString(char* text);                // effGetVendorString
    virtual bool getProductString(char* text);               // effGetProductString
    virtual std::int32_t getVendorVersion();                 // effGetVendorVersion; 0
    // effVendorSpecific; 0. [any thread: what the vendor agreed with the host]
    virtual VstIntPtr vendorSpecific(std::int32_t arg1, VstIntPtr arg2, void* ptr, float number);
    // effCanDo: 1 yes, -1 no, 0 don't know (the default).
    virtual std::int32_t canDo(char* text);

    // ---- the host's window, tail, idle, version [main thread] ---------------------
    virtual void* getIcon();                                 // effGetIcon; null
    virtual bool setViewPosition(std::int32_t x, std::int32_t y);  // effSetViewPosition; false
    virtual std::int32_t getTailSize();                      // effGetTailSize; 0
    virtual std::int32_t idle();                             // effIdle, on the host's idle timer; 0
    virtual bool getParameterProperties(std::int32_t index, VstParameterProperties* properties);  // false
    // effKeysRequired answers the inverse: false here reaches the host as 1.
    virtual bool keysRequired();
    virtual std::int32_t getVstVersion();                    // effGetVstVersion; 2
};
