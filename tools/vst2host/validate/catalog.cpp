// The catalogue: every group's table of tests, each test with what it
// checks, the published behaviour of the interface (or the host practice)
// that justifies it, the strictness it runs from and the strictness from
// which its findings fail; and the running of one test.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

namespace validate {

const std::vector<double>& defaultRates() {
    static const std::vector<double> rates = {8000, 11025, 22050, 44100, 48000, 88200, 96000, 192000, 384000, 44123.45};
    return rates;
}

const std::vector<std::int32_t>& defaultBlocks() {
    static const std::vector<std::int32_t> blocks = {1, 16, 64, 256, 512, 1024, 4096, 8192};
    return blocks;
}

std::uint64_t testSeed(std::uint64_t seed, const std::string& name) {
    std::uint64_t h = 1469598103934665603ull ^ seed;  // FNV-1a over the name
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

const std::vector<TestDef>& catalog() {
    static const std::vector<TestDef> tests = [] {
        std::vector<TestDef> all;
        for (const auto* group : {&loadingTests(), &lifecycleTests(), &requestTests(), &processingTests(),
                                  &parameterTests(), &stateTests(), &threadTests(), &realtimeTests(), &editorTests(),
                                  &hostTests()}) {
            all.insert(all.end(), group->begin(), group->end());
        }
        return all;
    }();
    return tests;
}

void runTest(const TestDef& test, const Settings& settings, Reporter& reporter) {
    Context ctx(settings, reporter, testSeed(settings.seed, test.name));
    try {
        test.run(ctx);
    } catch (const Skipped& s) {
        reporter.skip(s.why);
    } catch (const Stop&) {
    } catch (const aerie::HostError& e) {
        reporter.fail(e.what());
    } catch (const std::exception& e) {
        reporter.fail(std::string("the validator failed: ") + e.what());
    }
    if (ctx.failures > 10) reporter.fail("... and " + std::to_string(ctx.failures - 10) + " more failures");
}

}  // namespace validate
