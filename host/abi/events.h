// Event lists the host delivers with effProcessEvents.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aeffect.h"

// Event type tags.
inline constexpr std::int32_t kVstMidiType = 1;
inline constexpr std::int32_t kVstSysExType = 6;

// Any event: the type tag, then type-specific bytes. Only the fields up to
// deltaFrames are common to every type.
struct VstEvent {
    std::int32_t type;         // kVstMidiType, or a type the plug-in skips
    std::int32_t byteSize;     // size of the record after this field
    std::int32_t deltaFrames;  // frame offset from the start of the next rendered block
    std::int32_t flags;
    char data[16];
};

// A short MIDI message.
struct VstMidiEvent {
    std::int32_t type;            // kVstMidiType
    std::int32_t byteSize;        // sizeof(VstMidiEvent) - 8 by convention; not read
    std::int32_t deltaFrames;     // frame offset, may be negative or beyond the block
    std::int32_t flags;
    std::int32_t noteLength;      // frames, 0 when unknown
    std::int32_t noteOffset;
    char midiData[4];             // status, data 1, data 2, 0
    char detune;
    char noteOffVelocity;
    char reserved1;
    char reserved2;
};

// A system-exclusive message. The bytes (F0 ... F7) stay the sender's and
// are valid for the call that delivers the list only.
struct VstMidiSysexEvent {
    std::int32_t type;         // kVstSysExType
    std::int32_t byteSize;     // sizeof(VstMidiSysexEvent) - 8 by convention; not read
    std::int32_t deltaFrames;
    std::int32_t flags;
    std::int32_t dumpBytes;    // the message's length in bytes
    VstIntPtr resvd1;          // 0
    char* sysexDump;           // the message
    VstIntPtr resvd2;          // 0
};

// The list: a count and that many event addresses. Hosts allocate the
// record with room for `numEvents` entries; two is only the declared size.
struct VstEvents {
    std::int32_t numEvents;       // 0 or less means an empty list
    VstIntPtr reserved;           // 0
    VstEvent* events[2];          // numEvents pointers, in delivery order
};

// The list's `numEvents` pointers. They run past the two the record
// declares, into the room the sender allocated, so they are reached through
// a pointer: indexing the declared array beyond 2 is what a bounds checker
// (rightly, for a plain array) reports.
inline VstEvent** eventSlots(VstEvents* list) noexcept { return list->events; }
inline VstEvent* const* eventSlots(const VstEvents* list) noexcept { return list->events; }

static_assert(sizeof(VstEvent) == 32);
static_assert(sizeof(VstMidiEvent) == 32);
static_assert(offsetof(VstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiEvent, midiData) == 24);
static_assert(offsetof(VstMidiSysexEvent, deltaFrames) == 8);
static_assert(offsetof(VstMidiSysexEvent, dumpBytes) == 16);
#if INTPTR_MAX == INT32_MAX
static_assert(offsetof(VstEvents, events) == 8);
static_assert(offsetof(VstMidiSysexEvent, resvd1) == 20);
static_assert(offsetof(VstMidiSysexEvent, sysexDump) == 24);
static_assert(offsetof(VstMidiSysexEvent, resvd2) == 28);
static_assert(sizeof(VstMidiSysexEvent) == 32);
#else
static_assert(offsetof(VstEvents, events) == 16);
static_assert(offsetof(VstMidiSysexEvent, resvd1) == 24);
static_assert(offsetof(VstMidiSysexEvent, sysexDump) == 32);
static_assert(offsetof(VstMidiSysexEvent, resvd2) == 40);
static_assert(sizeof(VstMidiSysexEvent) == 48);
#endif
