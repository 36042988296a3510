// The transport and musical time a host reports with audioMasterGetTime.
#pragma once

#include <cstddef>
#include <cstdint>

// Bits of VstTimeInfo::flags. The low ones describe the transport; the
// "valid" ones say which of the record's optional fields the host filled.
inline constexpr std::int32_t kVstTransportChanged = 1;        // play, stop or a jump since the last answer
inline constexpr std::int32_t kVstTransportPlaying = 2;
inline constexpr std::int32_t kVstTransportCycleActive = 4;    // looping between cycleStartPos and cycleEndPos
inline constexpr std::int32_t kVstTransportRecording = 8;
inline constexpr std::int32_t kVstAutomationWriting = 64;
inline constexpr std::int32_t kVstAutomationReading = 128;
inline constexpr std::int32_t kVstNanosValid = 1 << 8;         // nanoSeconds
inline constexpr std::int32_t kVstPpqPosValid = 1 << 9;        // ppqPos
inline constexpr std::int32_t kVstTempoValid = 1 << 10;        // tempo
inline constexpr std::int32_t kVstBarsValid = 1 << 11;         // barStartPos
inline constexpr std::int32_t kVstCyclePosValid = 1 << 12;     // cycleStartPos, cycleEndPos
inline constexpr std::int32_t kVstTimeSigValid = 1 << 13;      // timeSigNumerator, timeSigDenominator
inline constexpr std::int32_t kVstSmpteValid = 1 << 14;       // smpteOffset, smpteFrameRate
inline constexpr std::int32_t kVstClockValid = 1 << 15;        // samplesToNextClock
// Every "valid" bit: what a plug-in passes to ask for everything.
inline constexpr std::int32_t kVstTimeInfoAllValid = 0xFF00;

// SMPTE frame rates of VstTimeInfo::smpteFrameRate.
inline constexpr std::int32_t kVstSmpte24fps = 0;
inline constexpr std::int32_t kVstSmpte25fps = 1;
inline constexpr std::int32_t kVstSmpte2997fps = 2;
inline constexpr std::int32_t kVstSmpte30fps = 3;

// The host's time at the first frame of the block being processed, 88 bytes
// on every platform.
//
// Who: the plug-in asks with audioMasterGetTime, passing in `value` the
// "valid" bits it wants; the host answers the address of a record it owns,
// or 0 when it keeps no time. The host fills what it can (not only what was
// asked) and sets the valid bit of each optional field it filled; samplePos,
// sampleRate and the transport bits are always filled.
// When: from the audio thread during processing, where the answer describes
// the current block; asked elsewhere, it describes the playhead as it is.
// Lifetime: the record stays valid until the plug-in's call returns to the
// host; a plug-in copies what it needs and keeps no pointer.
struct VstTimeInfo {
    double samplePos;       // frames since the start of the timeline (the song), >= 0
    double sampleRate;      // frames per second
    double nanoSeconds;     // system time in ns, kVstNanosValid
    double ppqPos;          // quarter notes since the start of the timeline, kVstPpqPosValid
    double tempo;           // beats (quarter notes) per minute, kVstTempoValid
    double barStartPos;     // ppqPos of the start of the current bar, kVstBarsValid
    double cycleStartPos;   // ppqPos of the loop's start, kVstCyclePosValid
    double cycleEndPos;     // ppqPos of the loop's end, kVstCyclePosValid
    std::int32_t timeSigNumerator;    // e.g. 3 for 3/4, kVstTimeSigValid
    std::int32_t timeSigDenominator;  // e.g. 4 for 3/4, kVstTimeSigValid
    std::int32_t smpteOffset;         // in 1/80 of a frame, kVstSmpteValid
    std::int32_t smpteFrameRate;      // kVstSmpte24fps ..., kVstSmpteValid
    std::int32_t samplesToNextClock;  // frames to the next MIDI clock (24 per quarter), kVstClockValid
    std::int32_t flags;               // kVstTransport..., kVstAutomation..., the valid bits
};

static_assert(sizeof(VstTimeInfo) == 88);
static_assert(offsetof(VstTimeInfo, samplePos) == 0);
static_assert(offsetof(VstTimeInfo, sampleRate) == 8);
static_assert(offsetof(VstTimeInfo, nanoSeconds) == 16);
static_assert(offsetof(VstTimeInfo, ppqPos) == 24);
static_assert(offsetof(VstTimeInfo, tempo) == 32);
static_assert(offsetof(VstTimeInfo, barStartPos) == 40);
static_assert(offsetof(VstTimeInfo, cycleStartPos) == 48);
static_assert(offsetof(VstTimeInfo, cycleEndPos) == 56);
static_assert(offsetof(VstTimeInfo, timeSigNumerator) == 64);
static_assert(offsetof(VstTimeInfo, timeSigDenominator) == 68);
static_assert(offsetof(VstTimeInfo, smpteOffset) == 72);
static_assert(offsetof(VstTimeInfo, smpteFrameRate) == 76);
static_assert(offsetof(VstTimeInfo, samplesToNextClock) == 80);
static_assert(offsetof(VstTimeInfo, flags) == 84);
