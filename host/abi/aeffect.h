// The effect record a host receives from a plug-in module, the five entry
// functions it holds, and the host callback.
//
// The record is the whole of the plug-in's face towards the host: the host
// keeps nothing but its address, reads identity and capabilities from it,
// and drives the instance through the function pointers stored in it.
//
// Layout. On 32-bit x86 the record is 144 bytes of 4-byte fields. On 64-bit
// platforms the field order stays; pointers are 8 bytes, and the fields that
// 64-bit hosts treat as pointer-sized (the dispatcher's and the callback's
// `value` argument and result, `resvd1` and `resvd2`) are `VstIntPtr`. Every
// other integer stays 32 bits. On x86-64 the record is 192 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// The C calling convention (the caller removes the arguments) on every
// function that crosses the module boundary. Only 32-bit Windows has more
// than one convention to choose from.
#if defined(_WIN32) && !defined(_WIN64)
#define VST_CALL __cdecl
#else
#define VST_CALL
#endif

// A signed integer as wide as a pointer: what 64-bit hosts pass and expect in
// the `value` argument and in the answers of the dispatcher and the callback.
using VstIntPtr = std::intptr_t;

struct AEffect;

// The host's callback. The plug-in passes its own record first (null only for
// the version query made before any record exists), then the request number
// and its arguments; unused arguments are 0, null or 0.0.
using audioMasterCallback = VstIntPtr(VST_CALL*)(AEffect* effect, std::int32_t opcode,
                                                 std::int32_t index, VstIntPtr value, void* ptr,
                                                 float opt);

// Entry: numbered control requests (open, close, rate, events, queries...).
// Answers 0 for any request the effect does not handle.
using AEffectDispatcherProc = VstIntPtr(VST_CALL*)(AEffect* effect, std::int32_t opcode,
                                                   std::int32_t index, VstIntPtr value, void* ptr,
                                                   float opt);
// Entry: renders `sampleFrames` frames, adding to (process) or overwriting
// (processReplacing) the host's output buffers.
using AEffectProcessProc = void(VST_CALL*)(AEffect* effect, float** inputs, float** outputs,
                                           std::int32_t sampleFrames);
// Entry: the host sets a parameter (normalised 0..1 by convention).
using AEffectSetParameterProc = void(VST_CALL*)(AEffect* effect, std::int32_t index, float value);
// Entry: the host reads a parameter back.
using AEffectGetParameterProc = float(VST_CALL*)(AEffect* effect, std::int32_t index);

// 'VstP', with 'V' in the most significant byte.
inline constexpr std::int32_t kEffectMagic = 0x56737450;

// Packs four characters into an identifier, the first in the most
// significant byte ('Kstv' -> 0x4B737476).
constexpr std::int32_t fourCharCode(char a, char b, char c, char d) noexcept {
    return static_cast<std::int32_t>((static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
                                     (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
                                     (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
                                     static_cast<std::uint32_t>(static_cast<unsigned char>(d)));
}

struct AEffect {
    std::int32_t magic;                        // always kEffectMagic; hosts refuse a record without it
    AEffectDispatcherProc dispatcher;          // control requests; never changes
    AEffectProcessProc process;                // accumulating render; never changes
    AEffectSetParameterProc setParameter;      // never changes
    AEffectGetParameterProc getParameter;      // never changes
    std::int32_t numPrograms;                  // programs the host may select (0: none)
    std::int32_t numParams;                    // parameters the host may automate (0: none)
    std::int32_t numInputs;                    // audio input buffers the host passes
    std::int32_t numOutputs;                   // audio output buffers the host passes
    std::int32_t flags;                        // effFlags* bits (abi/opcodes.h)
    VstIntPtr resvd1;                          // reserved for the host; 0
    VstIntPtr resvd2;                          // reserved for the host; 0
    std::int32_t initialDelay;                 // latency in frames the host compensates
    std::int32_t realQualities;                // unused by hosts today; 0
    std::int32_t offQualities;                 // unused by hosts today; 0
    float ioRatio;                             // output frames per input frame; 1.0
    void* object;                              // the plug-in's own object behind the record
    void* user;                                // free for the host; the plug-in leaves it null
    std::int32_t uniqueID;                     // four-character identifier, first char in the top byte
    std::int32_t version;                      // the plug-in's own version number
    AEffectProcessProc processReplacing;       // overwriting render; never changes
    char future[60];                           // reserved; all zero
};

#if INTPTR_MAX == INT32_MAX
// The published 32-bit layout, field by field.
static_assert(sizeof(AEffect) == 144);
static_assert(offsetof(AEffect, magic) == 0);
static_assert(offsetof(AEffect, dispatcher) == 4);
static_assert(offsetof(AEffect, process) == 8);
static_assert(offsetof(AEffect, setParameter) == 12);
static_assert(offsetof(AEffect, getParameter) == 16);
static_assert(offsetof(AEffect, numPrograms) == 20);
static_assert(offsetof(AEffect, numParams) == 24);
static_assert(offsetof(AEffect, numInputs) == 28);
static_assert(offsetof(AEffect, numOutputs) == 32);
static_assert(offsetof(AEffect, flags) == 36);
static_assert(offsetof(AEffect, resvd1) == 40);
static_assert(offsetof(AEffect, resvd2) == 44);
static_assert(offsetof(AEffect, initialDelay) == 48);
static_assert(offsetof(AEffect, realQualities) == 52);
static_assert(offsetof(AEffect, offQualities) == 56);
static_assert(offsetof(AEffect, ioRatio) == 60);
static_assert(offsetof(AEffect, object) == 64);
static_assert(offsetof(AEffect, user) == 68);
static_assert(offsetof(AEffect, uniqueID) == 72);
static_assert(offsetof(AEffect, version) == 76);
static_assert(offsetof(AEffect, processReplacing) == 80);
static_assert(offsetof(AEffect, future) == 84);
#elif INTPTR_MAX == INT64_MAX
// What 64-bit hosts expect: same order, pointer-sized pointers and reserved fields.
static_assert(sizeof(AEffect) == 192);
static_assert(offsetof(AEffect, dispatcher) == 8);
static_assert(offsetof(AEffect, numPrograms) == 40);
static_assert(offsetof(AEffect, flags) == 56);
static_assert(offsetof(AEffect, resvd1) == 64);
static_assert(offsetof(AEffect, resvd2) == 72);
static_assert(offsetof(AEffect, ioRatio) == 92);
static_assert(offsetof(AEffect, object) == 96);
static_assert(offsetof(AEffect, user) == 104);
static_assert(offsetof(AEffect, uniqueID) == 112);
static_assert(offsetof(AEffect, version) == 116);
static_assert(offsetof(AEffect, processReplacing) == 120);
static_assert(offsetof(AEffect, future) == 128);
#endif

// The module's entry: the host calls it once per instance it wants, with its
// callback, and receives the new instance's record or null.
using VstPluginMainProc = AEffect*(VST_CALL*)(audioMasterCallback audioMaster);
