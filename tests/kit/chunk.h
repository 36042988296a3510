// A plug-in's chunk as its dispatcher gives it, for the suites that reach
// the dispatcher without the hosting library's lifecycle (header-only: the
// frame's suites use it too).
#pragma once

#include <cstdint>
#include <vector>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

namespace kit {

// The bank's chunk, or the current program's: effGetChunk's bytes copied,
// empty when it gives none. `dispatch(opcode, index, value, ptr)` reaches
// the plug-in's dispatcher.
template <class Dispatch>
std::vector<unsigned char> chunkOf(Dispatch&& dispatch, bool program) {
    void* data = nullptr;
    const VstIntPtr size = dispatch(effGetChunk, program ? 1 : 0, VstIntPtr{0}, &data);
    const auto* bytes = static_cast<const unsigned char*>(data);
    return size > 0 && bytes != nullptr ? std::vector<unsigned char>(bytes, bytes + size) : std::vector<unsigned char>();
}

}  // namespace kit
