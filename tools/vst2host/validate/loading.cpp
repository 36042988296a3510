// Loading: the module, its entry, the record it gives, the identity two
// instances agree on, and what a host's scan of it costs.
#include "tools/vst2host/validate/harness.h"
#include "tools/vst2host/validate/tests.h"

#include <aerie/probe.h>

#include <ctime>

namespace validate {

void testModule(Context& ctx) {
    ctx.step("loading the module");
    try {
        ctx.module();
    } catch (const aerie::HostError& e) {
        const std::string why = e.what();
        if (why.rfind("no entry point", 0) == 0) return;  // loaded; the entry test says the rest
        ctx.fail(why);
        return;
    }
    ctx.note(aerie::describeModuleFile(ctx.settings.module) + ", every symbol resolved");
}

void testEntry(Context& ctx) {
    try {
        ctx.module();
    } catch (const aerie::HostError& e) {
        ctx.fail(e.what());
        return;
    }
    const std::string name = ctx.module().entryName();
    if (name != "VSTPluginMain") {
        ctx.warn("the module exports \"main\" but not \"VSTPluginMain\", the name current hosts look for first");
    }
    ctx.note("entry " + name);
}

void testRecord(Context& ctx) {
    aerie::Host host;
    ctx.module();
    ctx.step("calling the entry " + ctx.module().entryName());
    std::unique_ptr<aerie::Instance> instance;
    try {
        instance = std::make_unique<aerie::Instance>(ctx.module(), host);
    } catch (const aerie::HostError& e) {
        ctx.fail(e.what());
        return;
    }
    AEffect* e = instance->raw().effect();
    const struct {
        const char* name;
        std::int32_t value, most;
    } counts[] = {{"numInputs", e->numInputs, 1024},  {"numOutputs", e->numOutputs, 1024},
                  {"numParams", e->numParams, 100000}, {"numPrograms", e->numPrograms, 100000},
                  {"initialDelay", e->initialDelay, 1 << 24}};
    for (const auto& c : counts) {
        if (c.value < 0 || c.value > c.most) {
            ctx.fail(std::string("the record's ") + c.name + " is " + std::to_string(c.value) + " (expected 0 to " +
                     std::to_string(c.most) + ")");
        }
    }
    if (e->dispatcher == nullptr) ctx.fail("the record's dispatcher entry is null");
    if (e->setParameter == nullptr) ctx.fail("the record's setParameter entry is null");
    if (e->getParameter == nullptr) ctx.fail("the record's getParameter entry is null");
    if ((e->flags & effFlagsCanReplacing) && e->processReplacing == nullptr) {
        ctx.fail("the record announces processReplacing (flag canReplacing) but its entry is null");
    }
    if (e->process == nullptr && !(e->flags & effFlagsCanReplacing)) {
        ctx.fail("the record offers no render entry: process is null and processReplacing is not announced");
    }
    if (e->numInputs == 0 && e->numOutputs == 0) ctx.warn("the record announces no audio inputs and no outputs");
    if (ctx.failures > 0) {
        instance.reset();
        return;
    }
    ctx.step("opening the instance (effOpen)");
    instance->raw().dispatch(effOpen);
    ctx.step("asking names and category");
    const std::string name = instance->raw().text(effGetEffectName);
    const std::string vendor = instance->raw().text(effGetVendorString);
    const auto category = static_cast<std::int32_t>(instance->raw().dispatch(effGetPlugCategory));
    std::ostringstream s;
    s << (name.empty() ? "(no name)" : name) << (vendor.empty() ? "" : " by " + vendor) << ": "
      << (isInstrument(e, category) ? "instrument" : "effect") << " (" << aerie::categoryName(category) << "), "
      << e->numInputs << " in, " << e->numOutputs << " out, " << e->numParams << " parameters, " << e->numPrograms
      << " programs, flags " << [&] {
             std::string f;
             for (const std::string& n : aerie::flagNames(e->flags)) f += (f.empty() ? "" : "+") + n;
             return f.empty() ? std::string("none") : f;
         }();
    ctx.reporter.plugin(s.str());
    ctx.step("closing the instance (effClose)");
    instance->close();
}

namespace {

struct Identity {
    std::string name, vendor, product;
    std::vector<std::string> pins;  // "label, flags" or "" when not described
    std::int32_t uniqueId, version, vendorVersion, category, ins, outs, flags, params, programs, vstVersion;
};

Identity identityOf(Context& ctx, Plug& p) {
    Identity id{};
    const struct {
        std::int32_t opcode;
        std::size_t nominal;
        const char* what;
        std::string* into;
    } texts[] = {{effGetEffectName, 32, "effect name", &id.name},
                 {effGetVendorString, 64, "vendor", &id.vendor},
                 {effGetProductString, 64, "product", &id.product}};
    for (const auto& t : texts) {
        ctx.step(std::string("asking the ") + t.what);
        const std::size_t size = textSize(ctx, t.nominal);
        const Text got = guardedText(p, t.opcode, 0, size);
        if (checkText(ctx, got, t.what, size)) *t.into = got.text;
    }
    id.uniqueId = p.e->uniqueID;
    id.version = p.e->version;
    id.vendorVersion = static_cast<std::int32_t>(p.dispatch(effGetVendorVersion));
    id.category = p.category;
    id.ins = p.e->numInputs;
    id.outs = p.e->numOutputs;
    id.flags = p.e->flags;
    id.params = p.e->numParams;
    id.programs = p.e->numPrograms;
    id.vstVersion = static_cast<std::int32_t>(p.dispatch(effGetVstVersion));
    // Pin descriptions, in a buffer longer than the record: a plug-in may
    // write the record, not past it.
    for (bool input : {true, false}) {
        for (std::int32_t i = 0; i < std::min(input ? p.ins : p.outs, 64); ++i) {
            const std::string what = std::string(input ? "input " : "output ") + std::to_string(i + 1) + " description";
            ctx.step("asking the " + what);
            std::vector<unsigned char> buffer(sizeof(VstPinProperties) + 1024, 0);
            std::fill(buffer.begin() + sizeof(VstPinProperties), buffer.end(), 0xA5);
            const bool described =
                p.dispatch(input ? effGetInputProperties : effGetOutputProperties, i, 0, buffer.data()) != 0;
            if (std::any_of(buffer.begin() + sizeof(VstPinProperties), buffer.end(), [](unsigned char c) { return c != 0xA5; })) {
                ctx.fail(what + ": written past the end of the " + std::to_string(sizeof(VstPinProperties)) + "-byte record");
            }
            VstPinProperties pin{};
            std::memcpy(&pin, buffer.data(), sizeof pin);
            if (described && std::find(pin.label, pin.label + sizeof pin.label, '\0') == pin.label + sizeof pin.label) {
                ctx.fail(what + ": the label has no terminating NUL within its 64 bytes");
                pin.label[sizeof pin.label - 1] = '\0';
            }
            id.pins.push_back(described ? std::string(pin.label) + ", flags " + std::to_string(pin.flags) : "");
        }
    }
    return id;
}

}  // namespace

void testIdentity(Context& ctx) {
    Plug a(ctx, 44100.0f, 512, false);
    Plug b(ctx, 44100.0f, 512, false);
    const int before = ctx.failures;
    const Identity x = identityOf(ctx, a), y = identityOf(ctx, b);
    if (ctx.failures > before) return;
    auto same = [&](const char* what, const std::string& u, const std::string& v) {
        if (u != v) ctx.fail(std::string(what) + " differs between two instances: " + quoted(u) + " vs " + quoted(v));
    };
    auto sameNumber = [&](const char* what, std::int32_t u, std::int32_t v) {
        if (u != v) same(what, std::to_string(u), std::to_string(v));
    };
    same("the effect name", x.name, y.name);
    same("the vendor", x.vendor, y.vendor);
    same("the product", x.product, y.product);
    sameNumber("the unique identifier", x.uniqueId, y.uniqueId);
    sameNumber("the record's version", x.version, y.version);
    sameNumber("the vendor version", x.vendorVersion, y.vendorVersion);
    sameNumber("the category", x.category, y.category);
    sameNumber("the number of inputs", x.ins, y.ins);
    sameNumber("the number of outputs", x.outs, y.outs);
    sameNumber("the flags", x.flags, y.flags);
    sameNumber("the number of parameters", x.params, y.params);
    sameNumber("the number of programs", x.programs, y.programs);
    sameNumber("the interface version", x.vstVersion, y.vstVersion);
    for (std::size_t i = 0; i < x.pins.size() && i < y.pins.size(); ++i) {
        same(("pin description " + std::to_string(i + 1)).c_str(), x.pins[i], y.pins[i]);
    }
    if (x.uniqueId == 0) ctx.failFrom(7, "the unique identifier is 0; hosts tell plug-ins apart by it");
    if (x.name.empty()) ctx.warn("the plug-in gives no effect name");
}

namespace {

// The processor time this process has used, in seconds: what a scan costs
// whatever else the machine is doing.
double processorSeconds() {
#if defined(_WIN32)
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) * 1e-7;
    };
    return seconds(kernel) + seconds(user);
#else
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
#endif
}

}  // namespace

// What a host's scan of the module costs: loading it and opening one
// instance, the first time in this process, in processor time (the wall
// time is reported beside it).
void testScanCost(Context& ctx) {
    constexpr double kWarnSeconds = 1.0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const double cpuStart = processorSeconds();
    ctx.module();
    const double loaded = processorSeconds() - cpuStart;
    ValidatorHost host;
    ctx.step("creating an instance (calling the entry " + ctx.module().entryName() + ")");
    auto instance = std::make_unique<aerie::Instance>(ctx.module(), host);
    ctx.step("opening the instance (effOpen)");
    instance->open();
    const double opened = processorSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    ctx.step("closing the instance (effClose)");
    instance->close();
    char b[200];
    (void)std::snprintf(b, sizeof b,
                        "loading took %.3f s of processor time, loading and opening one instance %.3f s (%.3f s of wall time)",
                        loaded, opened, wall);
    if (opened > kWarnSeconds) {
        ctx.warn(std::string(b) + "; hosts scan every module at start-up, and above " + number(kWarnSeconds) +
                 " s of processor time a scan of many plug-ins keeps the user waiting");
    } else {
        ctx.note(b);
    }
}

const std::vector<TestDef>& loadingTests() {
    // name, what it checks, why, runs from, fails from (0: always), the test
    static const std::vector<TestDef> tests = {
        {"loading.module", "the module loads with every symbol resolved",
         "a host loads the module with the system loader; an unresolved symbol means no host can use it", 1, 0, testModule},
        {"loading.entry", "the entry is found (VSTPluginMain, then main)",
         "hosts call VSTPluginMain (older ones main); without either there is no plug-in", 1, 0, testEntry},
        {"loading.record", "the entry gives a record with the magic number, sane counts and entries",
         "the record's magic, counts and function entries are what every host reads first", 1, 0, testRecord},
        {"loading.identity", "names, identifier, version, category, pins and flags agree in two instances; pin records at their 128 bytes",
         "hosts cache what a scan reports and identify the plug-in by it; text buffers and the 128-byte pin record are the host's", 1, 0,
         testIdentity},
        {"loading.scan-cost", "loading the module and opening one instance take under 1 s (a warning above)",
         "hosts scan every module at start-up; a slow scan is a cost, not a broken promise", 1, 0, testScanCost},
    };
    return tests;
}

}  // namespace validate
