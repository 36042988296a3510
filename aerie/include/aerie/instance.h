// One plug-in instance, driven through its record.
#pragma once

#include <cstdint>
#include <string>

#include "host/abi/aeffect.h"
#include "host/abi/opcodes.h"
#include <aerie/host.h>
#include <aerie/host_error.h>
#include <aerie/module.h>

namespace aerie {

// One plug-in instance. Creating calls the entry with the host's callback and
// checks the record; destroying sends effClose unless close() already did.
class Instance {
public:
    Instance(const Module& module, Host& host);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    AEffect* effect() const noexcept { return effect_; }
    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0,
                       void* ptr = nullptr, float opt = 0.0f);
    void process(float** inputs, float** outputs, std::int32_t frames);
    void processReplacing(float** inputs, float** outputs, std::int32_t frames);
    void setParameter(std::int32_t index, float value);
    float getParameter(std::int32_t index);
    // A text request (name, vendor, product, ...) into a zeroed 256-byte buffer.
    std::string text(std::int32_t opcode, std::int32_t index = 0);
    std::int32_t canDo(const char* capability);
    // effClose; the record is gone afterwards. Answers what the plug-in answered.
    VstIntPtr close();

private:
    AEffect* effect_ = nullptr;
    Host& host_;
};

}  // namespace aerie
