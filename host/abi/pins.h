// Pin descriptions the host asks for with effGetInputProperties and
// effGetOutputProperties, and the records the frame only passes through.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t kVstPinIsActive = 1 << 0;
inline constexpr std::int32_t kVstPinIsStereo = 1 << 1;  // this pin and the next are a stereo pair

// Filled by the plug-in in a buffer the host owns. A plug-in that answers
// the request writes `label` and `flags` and leaves the rest as it found it.
struct VstPinProperties {
    char label[64];               // NUL-terminated pin name, e.g. "Click 1"
    std::int32_t flags;           // kVstPinIsActive, ...
    std::int32_t arrangementType;
    char shortLabel[8];
};

static_assert(sizeof(VstPinProperties) == 80);
static_assert(offsetof(VstPinProperties, flags) == 64);

// Records of the interface that the frame hands between host and effect by
// address without reading them. Declared incomplete on purpose: nothing here
// may look inside them.
struct VstTimeInfo;
struct VstSpeakerArrangement;
struct VstOfflineTask;
struct VstAudioFile;
struct VstVariableIo;
struct VstParameterProperties;
struct VstWindow;
