// Requests as careless hosts send them: every request number from -1000 to
// 1000 with a null pointer, and odd values in the fields a request ignores.
// For the validator's request tests and the test kit alike. Header-only.
#pragma once

#include <cstdint>
#include <limits>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

namespace validate {

inline constexpr std::int32_t kFirstOddOpcode = -1000;
inline constexpr std::int32_t kLastOddOpcode = 1000;

// The argument sets, the ordinary one first.
struct OddArguments {
    std::int32_t index;
    VstIntPtr value;
    float opt;
};
inline constexpr OddArguments kOddArguments[] = {
    {0, 0, 0.0f},
    {-1, -1, std::numeric_limits<float>::quiet_NaN()},
    {std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int32_t>::max(),
     -std::numeric_limits<float>::infinity()},
    {std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::min(), -1.0f},
    {1, 1, 0.0f},
};

// Sends every request but effClose, and those `leaveOut(opcode)` names,
// with a null pointer, once for each argument set `use(set)` takes;
// `afterEachSet(set)` runs after each set. effSetSpeakerArrangement takes
// an address in `value`, which is 0 for it.
template <class Dispatch, class LeaveOut, class After, class Use>
void everyOpcodeWithNullPointers(Dispatch&& dispatch, LeaveOut&& leaveOut, After&& afterEachSet, Use&& use) {
    for (const OddArguments& a : kOddArguments) {
        if (!use(a)) continue;
        for (std::int32_t opcode = kFirstOddOpcode; opcode <= kLastOddOpcode; ++opcode) {
            if (opcode == effClose || leaveOut(opcode)) continue;
            const VstIntPtr value = opcode == effSetSpeakerArrangement ? 0 : a.value;
            dispatch(opcode, a.index, value, static_cast<void*>(nullptr), a.opt);
        }
        afterEachSet(a);
    }
}

}  // namespace validate
