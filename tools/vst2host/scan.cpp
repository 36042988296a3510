// Finding plug-ins: `vst2host scan`, and the lookup of a module given by
// its file name or effect name instead of a path (the folders and the
// matching are aerie's discovery). Every module is probed in a sandbox of
// its own, so one that crashes or hangs is listed as such.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <thread>

#include "tools/vst2host/tool.h"
#include <aerie/aerie.h>
#include <aerie/discovery.h>
#include <aerie/probe.h>

namespace tool {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

// Probes every module, a few at a time, each in a sandbox of its own.
std::vector<Probed> probeAll(const std::vector<std::string>& paths, double timeout) {
    std::vector<Probed> results(paths.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            results[i] = probeInSandbox(paths[i], timeout, false, true);
        }
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto helpers = static_cast<std::size_t>(aerie::sandboxThreads(static_cast<int>(std::min<unsigned>(cores * 2, 8))));
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < std::min(helpers, paths.size()); ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    return results;
}

// The files that are no VST 2 module this host can load say so.
std::string reason(const Probed& p) {
    if (aerie::HostError(p.kind, p.error).notAPlugin()) return "not a VST 2 plug-in: " + p.error;
    return p.error;
}

bool isInstrument(const json& info) {
    const auto flags = info["flags"]["value"].get<std::int32_t>();
    return (flags & effFlagsIsSynth) != 0 || info["category"]["value"].get<int>() == 2;
}

json scanEntry(const Probed& p) {
    if (p.info.is_null()) return {{"path", p.path}, {"error", reason(p)}};
    const json& i = p.info;
    return {{"path", p.path},
            {"name", i["effectName"]},
            {"vendor", i["vendor"]},
            {"uniqueId", i["uniqueId"]["chars"]},
            {"uniqueIdValue", i["uniqueId"]["value"]},
            {"category", i["category"]["name"]},
            {"kind", isInstrument(i) ? "instrument" : "effect"},
            {"inputs", i["numInputs"]},
            {"outputs", i["numOutputs"]},
            {"parameters", i["numParams"]},
            {"programs", i["numPrograms"]}};
}

void printTable(const std::vector<json>& entries, std::ostream& out) {
    const std::vector<std::string> heads = {"name", "vendor", "id", "kind", "in", "out", "params", "progs", "path"};
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> errors;
    for (const json& e : entries) {
        if (e.contains("error")) {
            errors.push_back(e["path"].get<std::string>() + ": " + e["error"].get<std::string>());
            continue;
        }
        rows.push_back({e["name"].get<std::string>(), e["vendor"].get<std::string>(), e["uniqueId"].get<std::string>(),
                        e["kind"].get<std::string>(), std::to_string(e["inputs"].get<int>()),
                        std::to_string(e["outputs"].get<int>()), std::to_string(e["parameters"].get<int>()),
                        std::to_string(e["programs"].get<int>()), e["path"].get<std::string>()});
    }
    std::vector<std::size_t> widths(heads.size());
    for (std::size_t c = 0; c < heads.size(); ++c) widths[c] = heads[c].size();
    for (const auto& r : rows) {
        for (std::size_t c = 0; c < r.size(); ++c) widths[c] = std::max(widths[c], r[c].size());
    }
    auto line = [&](const std::vector<std::string>& cells) {
        std::string s;
        for (std::size_t c = 0; c < cells.size(); ++c) {
            std::string cell = cells[c];
            const bool number = c >= 4 && c <= 7;
            if (c + 1 < cells.size()) {
                const std::string fill(widths[c] - std::min(widths[c], cell.size()), ' ');
                if (number) {
                    cell.insert(0, fill);
                } else {
                    cell += fill;
                }
                cell += "  ";
            }
            s += cell;
        }
        out << s << '\n';
    };
    if (!rows.empty()) {
        line(heads);
        for (const auto& r : rows) line(r);
    }
    out << rows.size() << (rows.size() == 1 ? " plug-in" : " plug-ins");
    if (!errors.empty()) out << ", " << errors.size() << (errors.size() == 1 ? " file" : " files") << " failed";
    out << '\n';
    for (const std::string& e : errors) out << "  " << e << '\n';
}

int runScan(const std::vector<std::string>& dirs, bool asJson, double timeout) {
    std::vector<std::string> folders = dirs;
    for (const std::string& d : dirs) {
        std::error_code ec;
        if (!fs::is_directory(d, ec)) throw Error(kUsage, "folder not found: " + d);
    }
    if (folders.empty()) folders = defaultPluginFolders();
    const std::vector<Probed> probed = probeAll(aerie::findModules(folders), timeout);
    std::vector<json> entries;
    entries.reserve(probed.size());
    for (const Probed& p : probed) entries.push_back(scanEntry(p));
    if (asJson) {
        std::cout << json(entries).dump(2) << '\n';
    } else {
        if (dirs.empty()) {
            std::string where;
            for (const std::string& f : folders) where += (where.empty() ? "" : ", ") + f;
            std::cout << "searched " << where << '\n';
        }
        printTable(entries, std::cout);
    }
    return kOk;
}

}  // namespace

std::vector<std::string> defaultPluginFolders() { return aerie::pluginFolders(); }

std::string resolveModule(const std::string& nameOrPath) {
    if (aerie::isPath(nameOrPath)) return nameOrPath;
    // Effect names are probed once per run, all modules at once, however
    // many modules of a chain are named.
    static std::vector<Probed> probed;
    static bool probedAll = false;
    const std::vector<std::string> folders = defaultPluginFolders();
    auto effectNameOf = [&](const std::string& path) -> std::string {
        if (!probedAll) {
            probed = probeAll(aerie::findModules(folders), 10.0);
            probedAll = true;
        }
        for (const Probed& p : probed) {
            if (p.path == path && !p.info.is_null()) return p.info["effectName"].get<std::string>();
        }
        return {};
    };
    try {
        return aerie::resolveModule(nameOrPath, folders, effectNameOf);
    } catch (const aerie::HostError& e) {
        if (e.kind() == aerie::ErrorKind::ModuleMissing) {
            throw Error(kModule, std::string(e.what()) + " (vst2host scan lists what is there)");
        }
        throw Error(e);
    }
}

Command addScanCommand(CLI::App& app) {
    struct Options {
        std::vector<std::string> dirs;
        bool json = false;
        double timeout = 10.0;
    };
    auto o = std::make_shared<Options>();
    CLI::App* scan = app.add_subcommand("scan", "Find the plug-in modules in folders and show what each is");
    scan->add_option("DIR", o->dirs, "Folders to search, recursively (default: where hosts look)");
    scan->add_flag("--json", o->json, "Print a JSON list of objects instead of a table");
    scan->add_option("--timeout", o->timeout, "Seconds each module may take before it counts as hung (default 10)");
    return {scan, [o] {
                if (!(o->timeout > 0)) throw Error(kUsage, "--timeout must be more than 0 seconds");
                return runScan(o->dirs, o->json, o->timeout);
            }};
}

}  // namespace tool
