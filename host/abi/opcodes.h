// Request numbers of the plug-in interface, in both directions, and the
// capability bits of the effect record, under their published names.
#pragma once

#include <cstdint>

// Requests the host sends through the record's dispatcher. Any number not
// listed here is answered 0 by the plug-in frame.
enum EffectOpcode : std::int32_t {
    effOpen = 0,                      // instance is about to be used
    effClose = 1,                     // last request: the instance is destroyed, answer 1
    effSetProgram = 2,                // value: program index
    effGetProgram = 3,                // answer: current program index
    effSetProgramName = 4,            // ptr: text to store as the current program's name
    effGetProgramName = 5,            // ptr: buffer for the current program's name
    effGetParamLabel = 6,             // index, ptr: buffer for the unit ("dB")
    effGetParamDisplay = 7,           // index, ptr: buffer for the value as text
    effGetParamName = 8,              // index, ptr: buffer for the name
    effGetVu = 9,                     // answer: level scaled by 32767
    effSetSampleRate = 10,            // opt: sample rate in Hz
    effSetBlockSize = 11,             // value: largest frame count of a render call
    effMainsChanged = 12,             // value 0: suspend; anything else: resume
    effEditGetRect = 13,              // ptr: where to store the editor's rectangle
    effEditOpen = 14,                 // ptr: parent window
    effEditClose = 15,
    effEditDraw = 16,
    effEditMouse = 17,
    effEditKey = 18,
    effEditIdle = 19,
    effEditTop = 20,
    effEditSleep = 21,
    effIdentify = 22,                 // answer: 'NvEf'
    effGetChunk = 23,                 // index != 0: preset; ptr: where to store the address
    effSetChunk = 24,                 // index != 0: preset; value: size; ptr: data
    effProcessEvents = 25,            // ptr: VstEvents for the next rendered block
    effCanBeAutomated = 26,           // index: parameter
    effString2Parameter = 27,         // index, ptr: text to parse
    effGetNumProgramCategories = 28,
    effGetProgramNameIndexed = 29,    // value: category, index: program, ptr: buffer
    effCopyProgram = 30,              // index: destination
    effConnectInput = 31,             // index: pin, value != 0: connected
    effConnectOutput = 32,            // index: pin, value != 0: connected
    effGetInputProperties = 33,       // index, ptr: VstPinProperties to fill
    effGetOutputProperties = 34,      // index, ptr: VstPinProperties to fill
    effGetPlugCategory = 35,          // answer: kPlugCateg*
    effGetCurrentPosition = 36,
    effGetDestinationBuffer = 37,
    effOfflineNotify = 38,
    effOfflinePrepare = 39,
    effOfflineRun = 40,
    effProcessVarIo = 41,
    effSetSpeakerArrangement = 42,    // value: input arrangement's address, ptr: output's
    effSetBlockSizeAndSampleRate = 43, // value: block size, opt: sample rate
    effSetBypass = 44,                // value != 0: bypass on
    effGetEffectName = 45,            // ptr: buffer for the name
    effGetErrorText = 46,
    effGetVendorString = 47,          // ptr: buffer for the vendor
    effGetProductString = 48,         // ptr: buffer for the product
    effGetVendorVersion = 49,
    effVendorSpecific = 50,
    effCanDo = 51,                    // ptr: capability word; answer 1 yes, -1 no, 0 don't know
    effGetTailSize = 52,
    effIdle = 53,
    effGetIcon = 54,
    effSetViewPosition = 55,          // index: x, value: y
    effGetParameterProperties = 56,
    effKeysRequired = 57,             // answer inverted: 1 means "no keys needed"
    effGetVstVersion = 58,            // answer: 2
    // Later requests this frame does not answer; named where hosts pass a
    // pointer with them.
    effGetMidiProgramName = 62,       // index: channel, ptr: a record to fill
    effGetCurrentMidiProgram = 63,    // index: channel, ptr: a record to fill
    effGetMidiProgramCategory = 64,   // index: channel, ptr: a record to fill
    effGetMidiKeyName = 66,           // index: channel, ptr: a record to fill
    effGetSpeakerArrangement = 69,    // value, ptr: where to store the arrangements' addresses
    effShellGetNextPlugin = 70,       // ptr: buffer for the next sub-plug-in's name
    effBeginLoadBank = 75,            // ptr: a record describing the bank
    effBeginLoadProgram = 76,         // ptr: a record describing the program
};

// Requests the plug-in sends through the host callback.
enum HostOpcode : std::int32_t {
    audioMasterAutomate = 0,              // index: parameter, opt: new value
    audioMasterVersion = 1,               // answer: interface version, 0 for none
    audioMasterCurrentId = 2,
    audioMasterIdle = 3,
    audioMasterPinConnected = 4,          // index: pin, value 0 input / 1 output; answer 0: connected
    audioMasterWantMidi = 6,              // value: filter (1: deliver MIDI)
    audioMasterGetTime = 7,               // value: filter; answer: VstTimeInfo address
    audioMasterProcessEvents = 8,         // ptr: VstEvents the plug-in sends out
    audioMasterTempoAt = 10,              // value: sample position
    audioMasterGetNumAutomatableParameters = 11,
    audioMasterGetParameterQuantization = 12,
    audioMasterIOChanged = 13,
    audioMasterNeedIdle = 14,
    audioMasterSizeWindow = 15,           // index: width, value: height
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetInputLatency = 18,
    audioMasterGetOutputLatency = 19,
    audioMasterGetPreviousPlug = 20,
    audioMasterGetNextPlug = 21,
    audioMasterWillReplaceOrAccumulate = 22,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetAutomationState = 24,
    audioMasterOfflineStart = 25,         // index: new files, value: files, ptr: file list
    audioMasterOfflineRead = 26,          // index: read source (1/0), value: option, ptr: task
    audioMasterOfflineWrite = 27,         // value: option, ptr: task
    audioMasterOfflineGetCurrentPass = 28,
    audioMasterOfflineGetCurrentMetaPass = 29,
    audioMasterSetOutputSampleRate = 30,  // opt: rate
    audioMasterGetSpeakerArrangement = 31, // value: input's address, ptr: output's
    audioMasterGetVendorString = 32,      // ptr: buffer the host fills
    audioMasterGetProductString = 33,     // ptr: buffer the host fills
    audioMasterGetVendorVersion = 34,
    audioMasterVendorSpecific = 35,
    audioMasterCanDo = 37,                // ptr: capability word
    audioMasterGetLanguage = 38,
    audioMasterOpenWindow = 39,
    audioMasterCloseWindow = 40,
    audioMasterGetDirectory = 41,
    audioMasterUpdateDisplay = 42,
    audioMasterBeginEdit = 43,            // index: parameter the user starts to change
    audioMasterEndEdit = 44,              // index: parameter the user stopped changing
};

// Capability bits of AEffect::flags.
enum EffectFlags : std::int32_t {
    effFlagsHasEditor = 1 << 0,       // never set by this frame: no editor support
    effFlagsHasClip = 1 << 1,
    effFlagsHasVu = 1 << 2,
    effFlagsCanMono = 1 << 3,
    effFlagsCanReplacing = 1 << 4,    // processReplacing may be called
    effFlagsProgramChunks = 1 << 5,
    effFlagsIsSynth = 1 << 8,         // an instrument: the host sends it MIDI
    effFlagsNoSoundInStop = 1 << 9,
    effFlagsExtIsAsync = 1 << 10,
    effFlagsExtHasBuffer = 1 << 11,
};

// Answers to effGetPlugCategory.
enum PlugCategory : std::int32_t {
    kPlugCategUnknown = 0,
    kPlugCategEffect = 1,
    kPlugCategSynth = 2,
    kPlugCategAnalysis = 3,
    kPlugCategMastering = 4,
    kPlugCategSpacializer = 5,
    kPlugCategRoomFx = 6,
    kPlugCategSurroundFx = 7,
    kPlugCategRestoration = 8,
    kPlugCategOfflineProcess = 9,
    kPlugCategShell = 10,
    kPlugCategGenerator = 11,
};

// 'NvEf', with 'N' in the most significant byte: the answer to effIdentify.
inline constexpr std::int32_t kEffectIdentify = 0x4E764566;
