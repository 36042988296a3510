// The host side of the plug-in interface: the callback plug-ins call into.
#pragma once

#include <cstdint>
#include <vector>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"

namespace aerie {

// One request the plug-in sent to the host callback.
struct HostRequest {
    AEffect* effect;
    std::int32_t opcode;
    std::int32_t index;
    VstIntPtr value;
    void* ptr;
    float opt;
};

// The host side of the callback: answers requests and records every one.
// Override `answer` to change what the plug-in hears.
class Host {
public:
    virtual ~Host() = default;
    // Default answers: version 2400 to audioMasterVersion, the sample rate
    // and block size given, 1 to audioMasterWantMidi, 0 to everything else.
    virtual VstIntPtr answer(const HostRequest& request);

    // Every request, in order, while `record` is true. A long render turns
    // it off once the instance is set up, so that the record stays bounded.
    std::vector<HostRequest> requests;
    bool record = true;
    float sampleRate = 44100.0f;
    std::int32_t blockSize = 512;
    VstIntPtr versionAnswer = 2400;

    // The callback to hand to a module's entry. It finds its Host through the
    // record's `user` field (set by Instance) or, during the entry call, the
    // one Instance is creating with.
    static VstIntPtr VST_CALL callback(AEffect* effect, std::int32_t opcode, std::int32_t index,
                                       VstIntPtr value, void* ptr, float opt) noexcept;
};

}  // namespace aerie
