// Pin descriptions the host asks for with effGetInputProperties and
// effGetOutputProperties, and the records the frame only passes through.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int32_t kVstPinIsActive = 1 << 0;
inline constexpr std::int32_t kVstPinIsStereo = 1 << 1;     // this pin and the next are a stereo pair
inline constexpr std::int32_t kVstPinUseSpeaker = 1 << 2;   // arrangementType is meaningful

// Speaker arrangement types a pin may name in arrangementType.
inline constexpr std::int32_t kVstSpeakerArrUserDefined = -2;
inline constexpr std::int32_t kVstSpeakerArrEmpty = -1;
inline constexpr std::int32_t kVstSpeakerArrMono = 0;
inline constexpr std::int32_t kVstSpeakerArrStereo = 1;

// One pin's description: 128 bytes on every platform. The host owns the
// record and asks from its main thread, before or between processing; the
// plug-in answers by filling it during the request and keeps no pointer to
// it. A plug-in may write any of the 128 bytes (some clear the whole record
// first), so a host must hand over the full size. The reserved bytes carry
// nothing either way.
struct VstPinProperties {
    char label[64];                // NUL-terminated pin name, e.g. "Click 1"; 63 characters at most
    std::int32_t flags;            // kVstPinIsActive, kVstPinIsStereo, kVstPinUseSpeaker
    std::int32_t arrangementType;  // kVstSpeakerArr..., read only with kVstPinUseSpeaker
    char shortLabel[8];            // NUL-terminated short name; 7 characters at most
    char reserved[48];             // zero by convention; neither side reads it
};

static_assert(sizeof(VstPinProperties) == 128);
static_assert(offsetof(VstPinProperties, label) == 0);
static_assert(offsetof(VstPinProperties, flags) == 64);
static_assert(offsetof(VstPinProperties, arrangementType) == 68);
static_assert(offsetof(VstPinProperties, shortLabel) == 72);
static_assert(offsetof(VstPinProperties, reserved) == 80);

// Records of the interface that the frame hands between host and effect by
// address without reading them. Declared incomplete on purpose: nothing here
// may look inside them.
struct VstSpeakerArrangement;
struct VstOfflineTask;
struct VstAudioFile;
struct VstVariableIo;
struct VstWindow;
