// Host requests: what the plug-in asks of the host.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

#include <aerie/probe.h>

namespace validate {

void testHostRequests(Context& ctx) {
    std::vector<aerie::HostRequest> all;
    {
        Plug p(ctx, 44100.0f, 512, true, true);
        Material m = materialFor(ctx, p, 1.0);
        Run run;
        run.where = renderWhere(44100.0f, 512) + " in an ordinary session";
        run.between = [&](std::int64_t i) {
            if (p.e->numParams > 0 && i % 8 == 0) {
                p.instance->raw().setParameter(static_cast<std::int32_t>(i / 8 % p.e->numParams), static_cast<float>(ctx.uniform(0, 1)));
            }
            if (p.e->numPrograms > 1 && i % 32 == 16) p.dispatch(effSetProgram, 0, i / 32 % p.e->numPrograms);
        };
        Renderer(ctx, p, m, run).renderAll();
        p.suspend();
        all = p.host.requests;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i > 0 && all[i].effect != p.e && all[i].effect != nullptr) {
                ctx.warn(aerie::hostRequestName(all[i].opcode) + " came with a record that is not the instance's");
                break;
            }
        }
    }
    std::vector<std::pair<std::int32_t, int>> counts;
    for (const auto& r : all) {
        auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == r.opcode; });
        if (it == counts.end()) {
            counts.emplace_back(r.opcode, 1);
        } else {
            ++it->second;
        }
    }
    std::string asked, unsupported;
    for (const auto& [opcode, n] : counts) {
        const std::string item = aerie::hostRequestName(opcode) + " x" + std::to_string(n);
        std::string& into = ValidatorHost::supported(opcode) ? asked : unsupported;
        into += (into.empty() ? "" : ", ") + item;
    }
    ctx.note("asked the host: " + (asked.empty() ? std::string("nothing") : asked));
    if (!unsupported.empty()) ctx.note("requests this host does not support (answered 0): " + unsupported);
}

const std::vector<TestDef>& hostTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"host.requests", "the requests the plug-in makes of the host, unsupported ones listed",
         "informative: what a host must answer for this plug-in", 1, 0, testHostRequests},
    };
    return tests;
}

}  // namespace validate
