// The test kit: what the suites that load a built module share. A suite
// links kstv_kit_main and is run as
//     <suite> --module=PATH [--NAME=VALUE...]
// (or with KSTV_MODULE=PATH); the module is loaded once for the whole run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/kit/samples.h"
#include "tests/kit/sanitizers.h"
#include "tools/vst2host/validate/odd_requests.h"
#include "tools/vst2host/validate/traps.h"
#include <aerie/aerie.h>

namespace kit {

using validate::UnmaskedFloatingPointExceptions;

const aerie::Module& module();
// The value of --NAME=VALUE on the command line, or "" when not given.
std::string option(const std::string& name);

// One instance with its own recording host, set up as hosts usually do:
// sample rate, block size, resume.
struct Session {
    explicit Session(float rate = 44100.0f, std::int32_t block = 512);
    aerie::Host host;
    std::unique_ptr<aerie::Instance> instance;

    VstIntPtr dispatch(std::int32_t opcode, std::int32_t index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f) {
        return instance->raw().dispatch(opcode, index, value, ptr, opt);
    }
};

// A raw callback for the entry tests: counts calls, answers a set version.
struct RawHost {
    static inline int calls = 0;
    static inline AEffect* lastEffect = reinterpret_cast<AEffect*>(1);
    static inline std::int32_t lastOpcode = -1;
    static inline VstIntPtr version = 2;
    static VstIntPtr VST_CALL callback(AEffect* e, std::int32_t opcode, std::int32_t, VstIntPtr, void*, float) {
        ++calls;
        lastEffect = e;
        lastOpcode = opcode;
        return opcode == audioMasterVersion ? version : 0;
    }
};

// Same length and the same bits in every sample.
testing::AssertionResult sameBits(const std::vector<float>& got, const std::vector<float>& want);
// No sample NaN, infinite or subnormal.
testing::AssertionResult clean(const std::vector<float>& samples);

// Samples with guard zones before and after, holding a NaN bit pattern no
// renderer produces by accident.
class Guarded {
public:
    static constexpr std::size_t kGuard = 16;
    static constexpr std::uint32_t kPattern = 0x7FA5A5A5u;

    Guarded(std::size_t frames, float fill);
    float* data() { return storage_.data() + kGuard; }
    std::vector<float> body() const;
    bool guardsIntact() const;
    // Guards intact and every sample still `fill`.
    bool untouched(float fill) const;

private:
    std::uint32_t bits(std::size_t i) const;
    std::size_t frames_;
    std::vector<float> storage_;
};

// The two render entries.
enum class Entry { Replace, Accumulate };

// One render call with guarded buffers for every pin the record announces,
// and `spareInputs` and `spareOutputs` more beyond them, as careless hosts
// pass. Inputs hold a quiet test signal, outputs 12345 (0 to accumulate
// onto). Only the announced outputs' first `frames` samples may change,
// and must come out finite and never subnormal; every input and spare
// output must stay as it was. Returns the announced outputs.
std::vector<std::vector<float>> render(aerie::Instance& instance, std::int32_t frames, Entry entry = Entry::Replace,
                                       int spareInputs = 0, int spareOutputs = 0);

// Sends every request from -1000 to 1000 but effClose with a null pointer,
// once for each set of the odd arguments hosts send in the fields a request
// ignores (-1, NaN, the int32 extremes); `afterEachSet` runs after each set.
template <class Dispatch, class After>
void everyOpcodeWithNullPointers(Dispatch&& dispatch, After&& afterEachSet) {
    validate::everyOpcodeWithNullPointers(dispatch, [](std::int32_t) { return false; },
                                          [&](const validate::OddArguments&) { afterEachSet(); },
                                          [](const validate::OddArguments&) { return true; });
}

// Memory the process holds, in bytes, as the platform tells it: the live
// heap under AddressSanitizer (its quarantine keeps freed blocks resident),
// the committed private memory on Windows, the resident set on Linux; 0
// where there is no way to tell.
std::size_t memoryInUse();
// What a leak checker finds now: AddressSanitizer's, in the builds that
// have it; elsewhere nothing is measured, and a caller says so (a skip, not
// a pass).
enum class Leaks { None, Found, NotMeasured };
Leaks leaks();

}  // namespace kit
