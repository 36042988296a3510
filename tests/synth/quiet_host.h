// The host the synthesizer's suites give an instance: it answers the
// version request and nothing else.
#pragma once

#include <cstdint>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

inline VstIntPtr VST_CALL quietHost(AEffect*, std::int32_t opcode, std::int32_t, VstIntPtr, void*, float) {
    return opcode == audioMasterVersion ? 2400 : 0;
}
