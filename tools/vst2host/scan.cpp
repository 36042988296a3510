// Finding plug-ins: `vst2host scan`, and the lookup of a module given by
// its file name or effect name instead of a path. Every module is probed in
// a child process of its own, so one that crashes or hangs is listed as such.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "tools/vst2host/tool.h"
#include <aerie/probe.h>
#include <aerie/aerie.h>

namespace tool {

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

#if defined(_WIN32)
constexpr char kListSeparator = ';';
constexpr const char* kModuleExtension = ".dll";
#else
constexpr char kListSeparator = ':';
constexpr const char* kModuleExtension = ".so";
#endif

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

void addList(std::vector<std::string>& folders, const std::string& list) {
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(kListSeparator, start), list.size());
        if (end > start) folders.push_back(list.substr(start, end - start));
        start = end + 1;
    }
}

// Module files under each folder, recursively (plug-ins often sit in a
// folder of their own, like ProM.vst/ProM.so), each once, sorted.
std::vector<std::string> findModules(const std::vector<std::string>& folders) {
    std::set<std::string> seen;
    std::vector<std::string> found;
    for (const std::string& folder : folders) {
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) continue;
        std::vector<std::string> here;
        for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
             !ec && it != end; it.increment(ec)) {
            std::error_code fileEc;
            if (!it->is_regular_file(fileEc)) continue;
            if (lower(it->path().extension().string()) != kModuleExtension) continue;
            const std::string canonical = fs::weakly_canonical(it->path(), fileEc).string();
            if (!seen.insert(fileEc ? it->path().string() : canonical).second) continue;
            here.push_back(it->path().string());
        }
        std::sort(here.begin(), here.end());
        found.insert(found.end(), here.begin(), here.end());
    }
    return found;
}

// Its implicit members copy JSON, which may throw where nothing is caught;
// a Probed is only made and filled inside probeAll's try.
struct Probed {  // NOLINT(bugprone-exception-escape)
    std::string path;
    json info;          // null on failure
    std::string error;  // the reason, on failure
};

// Probes every module, a few at a time, each in its own child process.
std::vector<Probed> probeAll(const std::vector<std::string>& paths, double timeout) {
    std::vector<Probed> results(paths.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t i = next++; i < paths.size(); i = next++) {
            results[i].path = paths[i];
            try {
                results[i].info = probeInChild(paths[i], timeout, false, true);
            } catch (const Error& e) {
                results[i].error = e.what();
            }
        }
    };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const auto helpers = static_cast<std::size_t>(std::min<unsigned>(cores * 2, 8));
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < std::min(helpers, paths.size()); ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    return results;
}

// "not a plug-in: ..." for the errors that mean the file is no VST 2 module.
std::string reason(const std::string& error) {
    for (const char* notPlugin : {"not a shared library", "no entry point", "the module could not be loaded"}) {
        if (error.rfind(notPlugin, 0) == 0) return "not a VST 2 plug-in: " + error;
    }
    return error;
}

bool isInstrument(const json& info) {
    const auto flags = info["flags"]["value"].get<std::int32_t>();
    return (flags & effFlagsIsSynth) != 0 || info["category"]["value"].get<int>() == 2;
}

json scanEntry(const Probed& p) {
    if (p.info.is_null()) return {{"path", p.path}, {"error", reason(p.error)}};
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
    const std::vector<Probed> probed = probeAll(findModules(folders), timeout);
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

std::vector<std::string> defaultPluginFolders() {
    std::vector<std::string> folders;
    // Set, the search paths replace the usual folders, so that a user (or a
    // test) decides exactly what is searched.
    addList(folders, env("VST_PATH"));
#if !defined(_WIN32)
    addList(folders, env("LXVST_PATH"));
#endif
    if (folders.empty()) {
#if defined(_WIN32)
    for (const char* var : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
        const std::string base = env(var);
        if (base.empty()) continue;
        folders.push_back(base + "\\VSTPlugins");
        folders.push_back(base + "\\Steinberg\\VSTPlugins");
        folders.push_back(base + "\\Common Files\\VST2");
        folders.push_back(base + "\\Common Files\\Steinberg\\VST2");
    }
#else
    const std::string home = env("HOME");
    if (!home.empty()) {
        folders.push_back(home + "/.vst");
        folders.push_back(home + "/.lxvst");
    }
    for (const char* f : {"/usr/local/lib/vst", "/usr/lib/vst", "/usr/lib/lxvst"}) folders.emplace_back(f);
#endif
    }
    // Each once, in this order.
    std::vector<std::string> unique;
    for (const std::string& f : folders) {
        if (std::find(unique.begin(), unique.end(), f) == unique.end()) unique.push_back(f);
    }
    return unique;
}

std::string resolveModule(const std::string& nameOrPath) {
    std::error_code ec;
    if (nameOrPath.find_first_of("/\\") != std::string::npos || fs::exists(nameOrPath, ec) || nameOrPath.empty()) {
        return nameOrPath;
    }
    const std::vector<std::string> folders = defaultPluginFolders();
    const std::vector<std::string> modules = findModules(folders);
    auto listed = [](const std::vector<std::string>& paths) {
        std::string s;
        for (const std::string& p : paths) s += (s.empty() ? "" : ", ") + p;
        return s;
    };
    const std::string key = lower(nameOrPath);
    std::vector<std::string> byFile;
    for (const std::string& m : modules) {
        const fs::path p(m);
        if (lower(p.filename().string()) == key || lower(p.stem().string()) == key) byFile.push_back(m);
    }
    if (byFile.size() == 1) return byFile.front();
    if (byFile.size() > 1) {
        throw Error(kModule, "\"" + nameOrPath + "\" is ambiguous: " + listed(byFile) + " (give the path)");
    }
    // Probed once per run, however many modules of a chain are named.
    static const std::vector<Probed> probed = probeAll(modules, 10.0);
    std::vector<std::string> byName;
    for (const Probed& p : probed) {
        if (!p.info.is_null() && lower(p.info["effectName"].get<std::string>()) == key) byName.push_back(p.path);
    }
    if (byName.size() == 1) return byName.front();
    if (byName.size() > 1) {
        throw Error(kModule, "\"" + nameOrPath + "\" is ambiguous: " + std::to_string(byName.size()) +
                                 " plug-ins have that name: " + listed(byName) + " (give the path)");
    }
    throw Error(kModule, "module not found: no file and no plug-in named \"" + nameOrPath + "\" in " + listed(folders) +
                             " (vst2host scan lists what is there)");
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
