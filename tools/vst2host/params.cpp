// Parameters: `vst2host params` lists them; --param settings of `render`
// are read and matched to them here.
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

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool allDigits(const std::string& s) {
    return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

std::string candidates(const std::vector<std::string>& names, const std::vector<int>& which) {
    std::string s;
    for (int i : which) s += (s.empty() ? "" : ", ") + std::to_string(i + 1) + " \"" + names[static_cast<std::size_t>(i)] + "\"";
    return s;
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

int findParameter(aerie::Instance& instance, const ParamSetting& setting, const std::string& moduleName) {
    const std::int32_t count = instance.effect()->numParams;
    const std::string& key = setting.key;
    if (allDigits(key)) {
        const long n = std::stol(key);
        if (n < 1 || n > count) {
            throw Error(kUsage, "--param " + setting.text + ": " + moduleName + " has " + std::to_string(count) +
                                    (count == 1 ? " parameter" : " parameters") +
                                    (count > 0 ? " (1 to " + std::to_string(count) + ")" : ""));
        }
        return static_cast<int>(n - 1);
    }
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (std::int32_t i = 0; i < count; ++i) names.push_back(instance.text(effGetParamName, i));
    auto matching = [&](auto&& test) {
        std::vector<int> found;
        for (std::int32_t i = 0; i < count; ++i) {
            if (test(names[static_cast<std::size_t>(i)])) found.push_back(i);
        }
        return found;
    };
    const std::string lowKey = lower(key);
    for (const auto& found : {matching([&](const std::string& n) { return n == key; }),
                              matching([&](const std::string& n) { return lower(n) == lowKey; }),
                              matching([&](const std::string& n) { return lower(n).rfind(lowKey, 0) == 0; })}) {
        if (found.size() == 1) return found.front();
        if (found.size() > 1) {
            std::string message = "--param ";
            message.append(setting.text).append(": \"").append(key).append("\" is ambiguous in ").append(moduleName);
            message.append(": ").append(candidates(names, found)).append(" (give the number)");
            throw Error(kUsage, message);
        }
    }
    std::vector<int> all(static_cast<std::size_t>(count));
    for (std::int32_t i = 0; i < count; ++i) all[static_cast<std::size_t>(i)] = i;
    throw Error(kUsage, "--param " + setting.text + ": " + moduleName + " has no parameter \"" + key + "\"; " +
                            (count == 0 ? std::string("it has no parameters") : "its parameters: " + candidates(names, all)));
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
