// `vst2host info`: the module is probed in aerie's sandbox (a child process;
// on Windows this program run again with the hidden `__probe` command), the
// way careful hosts scan plug-ins, so that a module that crashes or hangs
// while loading or answering is reported instead of taking the tool down.
#include <cstdio>
#include <iostream>
#include <sstream>

#include "tools/vst2host/tool.h"
#include <aerie/aerie.h>
#include <aerie/probe.h>
#include <aerie/process.h>
#include <aerie/sandbox.h>

namespace tool {

namespace {

// Ordered, so that the JSON lists things in the order a host asks for them.
using json = nlohmann::ordered_json;
using aerie::ModuleInfo;

// Parameters listed by `params`: every one, up to a sane bound.
constexpr int kAllParameters = 100000;

std::string hex32(std::int32_t v) {
    char b[16];
    (void)std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(v));
    return b;
}

const char* answerWord(std::int32_t answer) {
    return answer > 0 ? "yes" : answer < 0 ? "no" : "unknown";
}

json pinsToJson(const std::vector<aerie::PinInfo>& pins) {
    json list = json::array();
    for (std::size_t i = 0; i < pins.size(); ++i) {
        json p = {{"index", i}, {"described", pins[i].described}};
        if (pins[i].described) {
            p["label"] = pins[i].label;
            p["flags"] = pins[i].flags;
            p["active"] = (pins[i].flags & kVstPinIsActive) != 0;
        }
        list.push_back(p);
    }
    return list;
}

json infoToJson(const ModuleInfo& m) {
    json params = json::array();
    for (std::size_t i = 0; i < m.parameters.size(); ++i) {
        const auto& p = m.parameters[i];
        params.push_back({{"index", i},
                          {"name", toUtf8(p.name)},
                          {"label", toUtf8(p.label)},
                          {"display", toUtf8(p.display)},
                          {"value", p.value}});
    }
    json programs = json::array();
    for (const std::string& name : m.programs) programs.push_back(toUtf8(name));
    json canDo = json::object();
    for (const auto& [word, answer] : m.canDo) canDo[word] = answerWord(answer);
    json requests = json::array();
    json answers = json::array();
    for (std::int32_t r : m.hostRequests) {
        requests.push_back(aerie::hostRequestName(r));
        const aerie::HostAnswer* a = aerie::findHostAnswer(r);
        answers.push_back({{"request", aerie::hostRequestName(r)}, {"answer", a != nullptr ? a->answer : "0 (not known)"}});
    }
    return {
        {"module", {{"path", m.path}, {"format", m.fileFormat}, {"entry", m.entryName}}},
        {"effectName", toUtf8(m.identity.effectName)},
        {"vendor", toUtf8(m.identity.vendor)},
        {"product", toUtf8(m.identity.product)},
        {"vendorVersion", m.identity.vendorVersion},
        {"uniqueId",
         {{"chars", aerie::fourCharString(m.identity.uniqueId)},
          {"hex", hex32(m.identity.uniqueId)},
          {"value", m.identity.uniqueId}}},
        {"category", {{"value", m.identity.category}, {"name", aerie::categoryName(m.identity.category)}}},
        {"interfaceVersion", m.identity.interfaceVersion},
        {"recordVersion", m.identity.recordVersion},
        {"initialDelay", m.initialDelay},
        {"tailSize", m.tailSize},
        {"numInputs", m.numInputs},
        {"numOutputs", m.numOutputs},
        {"inputs", pinsToJson(m.inputs)},
        {"outputs", pinsToJson(m.outputs)},
        {"flags", {{"value", m.flags}, {"hex", hex32(m.flags)}, {"names", aerie::flagNames(m.flags)}}},
        {"numPrograms", m.numPrograms},
        {"programs", programs},
        {"numParams", m.numParams},
        {"parameters", params},
        {"canDo", canDo},
        {"hostRequests", requests},
        {"hostAnswers", answers},
    };
}

std::string joined(const std::vector<std::string>& words, const char* none = "none") {
    if (words.empty()) return none;
    std::string s;
    for (const std::string& w : words) s += (s.empty() ? "" : ", ") + w;
    return s;
}

void printText(const json& j, std::ostream& out) {
    auto row = [&](const char* label, const std::string& value) {
        // Long lists wrap at commas, indented under the value column.
        constexpr std::size_t column = 19;
        constexpr std::size_t width = 79;
        std::string line = label;
        line.resize(column, ' ');
        std::size_t start = 0;
        while (start < value.size()) {
            std::size_t end = value.size();
            if (line.size() + (end - start) > width) {
                const std::size_t cut = value.rfind(", ", start + (width - line.size()));
                if (cut != std::string::npos && cut > start) end = cut + 1;
            }
            out << line << value.substr(start, end - start) << '\n';
            start = end;
            while (start < value.size() && value[start] == ' ') ++start;
            line.assign(column, ' ');
        }
        if (value.empty()) out << line << '\n';
    };
    auto str = [&](const json& v) { return v.get<std::string>(); };
    auto num = [&](const json& v) { return std::to_string(v.get<long long>()); };

    row("Module", str(j["module"]["path"]));
    row("File", str(j["module"]["format"]) + ", entry point " + str(j["module"]["entry"]));
    row("Effect name", str(j["effectName"]));
    row("Vendor", str(j["vendor"]));
    row("Product", str(j["product"]));
    row("Vendor version", num(j["vendorVersion"]));
    row("Unique ID", "'" + str(j["uniqueId"]["chars"]) + "' (" + str(j["uniqueId"]["hex"]) + ")");
    row("Category", str(j["category"]["name"]) + " (" + num(j["category"]["value"]) + ")");
    row("Interface version", num(j["interfaceVersion"]));
    row("Record version", num(j["recordVersion"]));
    for (const char* side : {"inputs", "outputs"}) {
        const bool in = side[0] == 'i';
        row(in ? "Inputs" : "Outputs", num(j[in ? "numInputs" : "numOutputs"]));
        for (const json& p : j[side]) {
            const std::string name = std::string(in ? "  input " : "  output ") + num(p["index"].get<long long>() + 1);
            if (!p["described"].get<bool>()) {
                row(name.c_str(), "(no description)");
            } else {
                row(name.c_str(), "\"" + str(p["label"]) + "\"" + (p["active"].get<bool>() ? " (active)" : " (inactive)"));
            }
        }
    }
    row("Flags", str(j["flags"]["hex"]) + ": " + joined(j["flags"]["names"].get<std::vector<std::string>>()));
    row("Initial delay", num(j["initialDelay"]) + " frames");
    row("Tail size", num(j["tailSize"]) + " frames");
    row("Programs", num(j["numPrograms"]));
    for (std::size_t i = 0; i < j["programs"].size(); ++i) {
        row(("  program " + std::to_string(i + 1)).c_str(), "\"" + str(j["programs"][i]) + "\"");
    }
    row("Parameters", num(j["numParams"]));
    for (const json& p : j["parameters"]) {
        std::ostringstream v;
        v << "\"" << str(p["name"]) << "\" = " << str(p["display"]);
        if (!str(p["label"]).empty()) v << " " << str(p["label"]);
        v << " (" << p["value"].get<double>() << ")";
        row(("  parameter " + num(p["index"].get<long long>() + 1)).c_str(), v.str());
    }
    std::vector<std::string> yes, no, unknown;
    for (const auto& [word, answer] : j["canDo"].items()) {
        const std::string a = answer.get<std::string>();
        (a == "yes" ? yes : a == "no" ? no : unknown).push_back(word);
    }
    row("Can do", joined(yes));
    row("Cannot do", joined(no));
    row("Does not know", joined(unknown));
    row("Asked the host", joined(j["hostRequests"].get<std::vector<std::string>>()));
}

// The probe as an operation for the sandbox: steps as it goes, the info
// JSON as its one message.
aerie::SandboxOperation probeOperation(const std::string& module, bool allParameters) {
    return [module, allParameters](aerie::SandboxReporter& reporter) {
        const ModuleInfo info = aerie::probeModule(
            module, [&](const std::string& step) { reporter.step(step); },
            allParameters ? kAllParameters : aerie::kMaxListed);
        reporter.send("info", infoToJson(info).dump());
        return 0;
    };
}

}  // namespace

Probed probeInSandbox(const std::string& module, double timeoutSeconds, bool allParameters, bool quiet) {
    aerie::SandboxOptions options;
    // Whatever the module prints must not mix with our output.
    options.output = quiet ? aerie::SandboxOptions::Output::Discard : aerie::SandboxOptions::Output::ToStderr;
    options.timeoutSeconds = timeoutSeconds;
    options.restart = {aerie::selfExecutable(), "__probe", module};
    if (allParameters) options.restart.emplace_back("--all");
    const aerie::SandboxResult result = aerie::runSandboxed(probeOperation(module, allParameters), options);
    Probed p;
    p.path = module;
    if (result.end == aerie::SandboxResult::End::NotStarted) {
        p.error = "cannot start the probe: " + result.why;
        return p;
    }
    try {
        result.throwIfFailed();
        const std::string info = result.message("info");
        if (info.empty()) {
            p.error = "the probe ended without a report while " + result.where;
            return p;
        }
        p.info = json::parse(info);
    } catch (const aerie::HostError& e) {
        p.kind = e.kind();
        p.error = e.what();
    } catch (const std::exception& e) {
        p.error = std::string("the probe's report cannot be read: ") + e.what();
    }
    return p;
}

json probeInChild(const std::string& module, double timeoutSeconds, bool allParameters, bool quiet) {
    Probed p = probeInSandbox(module, timeoutSeconds, allParameters, quiet);
    if (p.info.is_null()) throw Error(exitCodeFor(p.kind), p.error);
    return std::move(p.info);
}

int runInfo(const std::string& module, bool asJson, double timeoutSeconds) {
    const json j = probeInChild(module, timeoutSeconds);
    if (asJson) {
        std::cout << j.dump(2) << '\n';
    } else {
        printText(j, std::cout);
    }
    return kOk;
}

Command addInfoCommand(CLI::App& app) {
    struct Options {
        std::string module;
        bool json = false;
        double timeout = 30.0;
    };
    auto o = std::make_shared<Options>();
    CLI::App* info = app.add_subcommand("info", "Show what a host sees of a plug-in module");
    info->add_option("MODULE", o->module, "The plug-in module: a path, or a name (see scan)")->required();
    info->add_flag("--json", o->json, "Print one JSON object instead of text");
    info->add_option("--timeout", o->timeout,
                     "Seconds the module may go without answering before it counts as hung (default 30)");
    return {info, [o] {
                if (!(o->timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
                return runInfo(resolveModule(o->module), o->json, o->timeout);
            }};
}

Command addProbeCommand(CLI::App& app) {
    struct Options {
        std::string module;
        bool all = false;
        std::string report;
        std::string shared;
    };
    auto o = std::make_shared<Options>();
    CLI::App* probe = app.add_subcommand("__probe", "");
    probe->group("");
    probe->add_option("MODULE", o->module)->required();
    probe->add_flag("--all", o->all);
    probe->add_option("REPORT", o->report)->required();
    probe->add_option("SHARED", o->shared)->required();
    return {probe, [o] { return aerie::runSandboxChild(o->report, o->shared, probeOperation(o->module, o->all)); }};
}

}  // namespace tool
