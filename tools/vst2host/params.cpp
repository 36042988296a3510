// Parameters: `vst2host params` lists them; --param settings of `render`
// are read here (the render job matches them to a module's parameters).
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>

#include "tools/vst2host/tool.h"
#include <aerie/aerie.h>

namespace tool {

namespace {

using json = nlohmann::ordered_json;

bool allDigits(const std::string& s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

int runParams(const std::string& module, bool asJson, double timeout) {
    const json info = probeInChild(module, timeout, true);
    const json& params = info["parameters"];
    if (asJson) {
        json list = json::array();
        for (const json& p : params) {
            list.push_back({{"number", p["index"].get<int>() + 1},
                            {"name", p["name"]},
                            {"label", p["label"]},
                            {"value", p["value"]},
                            {"display", p["display"]}});
        }
        std::cout << list.dump(2) << '\n';
        return kOk;
    }
    std::size_t nameWidth = 4;
    std::size_t displayWidth = 7;
    for (const json& p : params) {
        nameWidth = std::max(nameWidth, p["name"].get<std::string>().size());
        displayWidth = std::max(displayWidth, p["display"].get<std::string>().size());
    }
    std::cout << info["effectName"].get<std::string>() << ": " << params.size()
              << (params.size() == 1 ? " parameter" : " parameters") << '\n';
    if (params.empty()) return kOk;
    auto pad = [](std::string s, std::size_t w) {
        s.resize(std::max(w, s.size()), ' ');
        return s;
    };
    std::cout << "   #  " << pad("name", nameWidth) << "  value     " << pad("display", displayWidth) << "  label\n";
    for (const json& p : params) {
        char number[16];
        char value[32];
        (void)std::snprintf(number, sizeof number, "%4d", p["index"].get<int>() + 1);
        (void)std::snprintf(value, sizeof value, "%-8.6f", p["value"].get<double>());
        std::string line = std::string(number) + "  " + pad(p["name"].get<std::string>(), nameWidth) + "  " + value + "  " +
                           pad(p["display"].get<std::string>(), displayWidth) + "  " + p["label"].get<std::string>();
        line.erase(line.find_last_not_of(' ') + 1);
        std::cout << line << '\n';
    }
    return kOk;
}

}  // namespace

Addressed splitModuleAddress(const std::string& text) {
    const auto colon = text.find(':');
    if (colon != std::string::npos && allDigits(text.substr(0, colon))) {
        return {std::stoi(text.substr(0, colon)), text.substr(colon + 1)};
    }
    return {0, text};
}

ParamSetting parseParamSetting(const std::string& text) {
    ParamSetting s;
    s.text = text;
    const auto eq = text.rfind('=');
    if (eq == std::string::npos) {
        throw Error(kUsage, "--param " + text + ": expected [K:]P=V, a parameter (number or name) and a value from 0 to 1");
    }
    const Addressed a = splitModuleAddress(text.substr(0, eq));
    s.module = a.module;
    s.key = a.rest;
    if (s.key.empty()) throw Error(kUsage, "--param " + text + ": no parameter named before '='");
    const std::string v = text.substr(eq + 1);
    char* end = nullptr;
    const double value = v.empty() ? NAN : std::strtod(v.c_str(), &end);
    if (v.empty() || end == nullptr || *end != '\0' || !std::isfinite(value)) {
        throw Error(kUsage, "--param " + text + ": the value must be a number from 0 to 1 (got \"" + v + "\")");
    }
    if (value < 0.0 || value > 1.0) {
        throw Error(kUsage, "--param " + text + ": the value must be from 0 to 1, the normalised value hosts send (got " + v + ")");
    }
    s.value = static_cast<float>(value);
    return s;
}


Command addParamsCommand(CLI::App& app) {
    struct Options {
        std::string module;
        bool json = false;
        double timeout = 30.0;
    };
    auto o = std::make_shared<Options>();
    CLI::App* params = app.add_subcommand("params", "List a plug-in's parameters: number, name, value, display, label");
    params->add_option("MODULE", o->module, "The plug-in module: a path, or a name (see scan)")->required();
    params->add_flag("--json", o->json, "Print a JSON list instead of a table");
    params->add_option("--timeout", o->timeout, "Seconds to wait for the module before giving up (default 30)");
    return {params, [o] {
                if (!(o->timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
                return runParams(resolveModule(o->module), o->json, o->timeout);
            }};
}

}  // namespace tool
