// How a parameter wants to be shown and stepped, asked with
// effGetParameterProperties.
#pragma once

#include <cstddef>
#include <cstdint>

// Bits of VstParameterProperties::flags: each says which fields are meaningful.
inline constexpr std::int32_t kVstParameterIsSwitch = 1;                    // two states: off below 0.5, on from 0.5
inline constexpr std::int32_t kVstParameterUsesIntegerMinMax = 2;           // minInteger, maxInteger
inline constexpr std::int32_t kVstParameterUsesFloatStep = 4;               // stepFloat, smallStepFloat, largeStepFloat
inline constexpr std::int32_t kVstParameterUsesIntStep = 8;                 // stepInteger, largeStepInteger
inline constexpr std::int32_t kVstParameterSupportsDisplayIndex = 16;       // displayIndex
inline constexpr std::int32_t kVstParameterSupportsDisplayCategory = 32;    // category, categoryLabel, numParametersInCategory
inline constexpr std::int32_t kVstParameterCanRamp = 64;                    // the value may be ramped without clicks

// One parameter's properties, 152 bytes on every platform. The host owns the
// record, zeroes it and asks from its main thread; the plug-in fills it
// during the request, answers 1 if it did, and keeps no pointer to it.
struct VstParameterProperties {
    float stepFloat;             // a normal step of the 0..1 value
    float smallStepFloat;        // a fine step
    float largeStepFloat;        // a coarse step
    char label[64];              // NUL-terminated long name; 63 characters at most
    std::int32_t flags;          // kVstParameter...
    std::int32_t minInteger;     // the value's integer range, with kVstParameterUsesIntegerMinMax
    std::int32_t maxInteger;
    std::int32_t stepInteger;    // with kVstParameterUsesIntStep
    std::int32_t largeStepInteger;
    char shortLabel[8];          // NUL-terminated short name; 7 characters at most
    std::int16_t displayIndex;   // where to show it, with kVstParameterSupportsDisplayIndex
    std::int16_t category;       // 1-based category, 0 for none, with kVstParameterSupportsDisplayCategory
    std::int16_t numParametersInCategory;
    std::int16_t reserved;
    char categoryLabel[24];      // NUL-terminated category name; 23 characters at most
    char future[16];             // zero; neither side reads it
};

static_assert(sizeof(VstParameterProperties) == 152);
static_assert(offsetof(VstParameterProperties, stepFloat) == 0);
static_assert(offsetof(VstParameterProperties, smallStepFloat) == 4);
static_assert(offsetof(VstParameterProperties, largeStepFloat) == 8);
static_assert(offsetof(VstParameterProperties, label) == 12);
static_assert(offsetof(VstParameterProperties, flags) == 76);
static_assert(offsetof(VstParameterProperties, minInteger) == 80);
static_assert(offsetof(VstParameterProperties, maxInteger) == 84);
static_assert(offsetof(VstParameterProperties, stepInteger) == 88);
static_assert(offsetof(VstParameterProperties, largeStepInteger) == 92);
static_assert(offsetof(VstParameterProperties, shortLabel) == 96);
static_assert(offsetof(VstParameterProperties, displayIndex) == 104);
static_assert(offsetof(VstParameterProperties, category) == 106);
static_assert(offsetof(VstParameterProperties, numParametersInCategory) == 108);
static_assert(offsetof(VstParameterProperties, reserved) == 110);
static_assert(offsetof(VstParameterProperties, categoryLabel) == 112);
static_assert(offsetof(VstParameterProperties, future) == 136);
