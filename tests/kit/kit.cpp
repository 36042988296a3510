#include "tests/kit/kit.h"

#include <cstdlib>
#include <limits>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#include <psapi.h>
#elif defined(__linux__)
#include <unistd.h>
#include <fstream>
#endif
#if defined(KSTV_ASAN)
#include <sanitizer/lsan_interface.h>
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace kit {

namespace {
std::map<std::string, std::string>& options() {
    static std::map<std::string, std::string> all;
    return all;
}
}  // namespace

const aerie::Module& module() {
    static std::unique_ptr<aerie::Module> loaded = aerie::Module::open(option("module"));
    return *loaded;
}

std::string option(const std::string& name) {
    const auto it = options().find(name);
    return it == options().end() ? std::string() : it->second;
}

testing::AssertionResult sameBits(const std::vector<float>& got, const std::vector<float>& want) {
    if (got.size() != want.size()) {
        return testing::AssertionFailure() << got.size() << " samples, expected " << want.size();
    }
    const std::ptrdiff_t at = firstDifference(got, want);
    if (at < 0) return testing::AssertionSuccess();
    const auto i = static_cast<std::size_t>(at);
    return testing::AssertionFailure() << "frame " << i << ": " << got[i] << " vs " << want[i];
}

testing::AssertionResult clean(const std::vector<float>& samples) {
    const std::ptrdiff_t at = firstUnclean(samples.data(), samples.size());
    if (at < 0) return testing::AssertionSuccess();
    const float s = samples[static_cast<std::size_t>(at)];
    return testing::AssertionFailure() << "frame " << at << " holds " << s
                                       << (std::fpclassify(s) == FP_SUBNORMAL ? " (subnormal)" : "");
}

Guarded::Guarded(std::size_t frames, float fill) : frames_(frames), storage_(frames + 2 * kGuard) {
    for (float& s : storage_) std::memcpy(&s, &kPattern, 4);
    for (std::size_t i = 0; i < frames; ++i) storage_[kGuard + i] = fill;
}

std::vector<float> Guarded::body() const {
    return {storage_.begin() + kGuard, storage_.begin() + static_cast<std::ptrdiff_t>(kGuard + frames_)};
}

bool Guarded::guardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
        if (bits(i) != kPattern || bits(kGuard + frames_ + i) != kPattern) return false;
    }
    return true;
}

bool Guarded::untouched(float fill) const {
    return guardsIntact() && firstDifference(body(), std::vector<float>(frames_, fill)) < 0;
}

std::uint32_t Guarded::bits(std::size_t i) const {
    std::uint32_t b;
    std::memcpy(&b, &storage_[i], 4);
    return b;
}

std::size_t memoryInUse() {
#if defined(KSTV_ASAN)
    return __sanitizer_get_current_allocated_bytes();
#elif defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
    return counters.PagefileUsage;  // wine reports PrivateUsage as 0
#elif defined(__linux__)
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#else
    return 0;
#endif
}

Leaks leaks() {
#if defined(KSTV_ASAN)
    return __lsan_do_recoverable_leak_check() == 0 ? Leaks::None : Leaks::Found;
#else
    return Leaks::NotMeasured;
#endif
}

std::vector<std::vector<float>> render(aerie::Instance& instance, std::int32_t frames, Entry entry, int spareInputs,
                                       int spareOutputs) {
    const AEffect* e = instance.raw().effect();
    const std::size_t n = frames > 0 ? static_cast<std::size_t>(frames) : 0;
    const float fill = entry == Entry::Replace ? 12345.0f : 0.0f;
    const auto quiet = [](std::size_t i) { return 0.25f - 0.125f * static_cast<float>(i % 3); };
    std::vector<Guarded> ins, outs;
    std::vector<float*> inPtrs, outPtrs;
    for (std::int32_t i = 0; i < e->numInputs + spareInputs; ++i) ins.emplace_back(n, quiet(ins.size()));
    for (std::int32_t i = 0; i < e->numOutputs + spareOutputs; ++i) outs.emplace_back(n, fill);
    for (auto& g : ins) inPtrs.push_back(g.data());
    for (auto& g : outs) outPtrs.push_back(g.data());
    float* spare[1] = {nullptr};
    float** inputs = inPtrs.empty() ? spare : inPtrs.data();
    float** outputs = outPtrs.empty() ? spare : outPtrs.data();
    if (entry == Entry::Replace) {
        instance.raw().processReplacing(inputs, outputs, frames);
    } else {
        instance.raw().process(inputs, outputs, frames);
    }
    for (std::size_t i = 0; i < ins.size(); ++i) EXPECT_TRUE(ins[i].untouched(quiet(i))) << "input " << i << " written";
    std::vector<std::vector<float>> result;
    for (std::size_t i = 0; i < outs.size(); ++i) {
        if (static_cast<std::int32_t>(i) >= e->numOutputs) {
            EXPECT_TRUE(outs[i].untouched(fill)) << "output " << i << " written, beyond the announced ones";
            continue;
        }
        EXPECT_TRUE(outs[i].guardsIntact()) << "output " << i << " written outside its " << frames << " frames";
        result.push_back(outs[i].body());
        EXPECT_TRUE(clean(result.back())) << "output " << i;
    }
    return result;
}

Session::Session(float rate, std::int32_t block) {
    host.sampleRate = rate;
    host.blockSize = block;
    instance = std::make_unique<aerie::Instance>(module(), host);
    instance->open();
    instance->configure(rate, block);
    instance->resume();
}

}  // namespace kit

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();  // listing needs no module
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* equals = std::strchr(arg, '=');
        if (std::strncmp(arg, "--", 2) != 0 || equals == nullptr) {
            std::cerr << argv[0] << ": unknown argument '" << arg << "' (expected --NAME=VALUE)\n";
            return 2;
        }
        kit::options()[std::string(arg + 2, equals)] = equals + 1;
    }
    if (kit::option("module").empty()) {
        if (const char* env = std::getenv("KSTV_MODULE")) kit::options()["module"] = env;
    }
    if (kit::option("module").empty()) {
        std::cerr << "usage: " << argv[0] << " --module=PATH [--NAME=VALUE...] (or KSTV_MODULE=PATH)\n";
        return 2;
    }
    try {
        kit::module();
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 2;
    }
    return RUN_ALL_TESTS();
}
