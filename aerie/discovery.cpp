#include <aerie/discovery.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>

#include <aerie/host_error.h>

namespace aerie {

namespace {

namespace fs = std::filesystem;

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

void addList(std::vector<std::string>& folders, const std::string& list) {
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto end = std::min(list.find(kListSeparator, start), list.size());
        if (end > start) folders.push_back(list.substr(start, end - start));
        start = end + 1;
    }
}

std::string listed(const std::vector<std::string>& items) {
    std::string s;
    for (const std::string& i : items) s += (s.empty() ? "" : ", ") + i;
    return s;
}

}  // namespace

std::string processEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

std::vector<std::string> pluginFolders(const Environment& environment) {
    std::vector<std::string> folders;
    // Set, the search paths replace the usual folders, so that a user (or a
    // test) decides exactly what is searched.
    addList(folders, environment("VST_PATH"));
#if !defined(_WIN32)
    addList(folders, environment("LXVST_PATH"));
#endif
    if (folders.empty()) {
#if defined(_WIN32)
        for (const char* var : {"ProgramFiles", "ProgramFiles(x86)", "ProgramW6432"}) {
            const std::string base = environment(var);
            if (base.empty()) continue;
            folders.push_back(base + "\\VSTPlugins");
            folders.push_back(base + "\\Steinberg\\VSTPlugins");
            folders.push_back(base + "\\Common Files\\VST2");
            folders.push_back(base + "\\Common Files\\Steinberg\\VST2");
        }
#else
        const std::string home = environment("HOME");
        if (!home.empty()) {
            folders.push_back(home + "/.vst");
            folders.push_back(home + "/.lxvst");
        }
        for (const char* f : {"/usr/local/lib/vst", "/usr/lib/vst", "/usr/lib/lxvst"}) folders.emplace_back(f);
#endif
    }
    std::vector<std::string> unique;
    for (const std::string& f : folders) {
        if (std::find(unique.begin(), unique.end(), f) == unique.end()) unique.push_back(f);
    }
    return unique;
}

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

bool isPath(const std::string& nameOrPath) {
    std::error_code ec;
    return nameOrPath.empty() || nameOrPath.find_first_of("/\\") != std::string::npos || fs::exists(nameOrPath, ec);
}

std::vector<std::string> matchModules(const std::string& name, const std::vector<std::string>& modules,
                                      const EffectNameOf& effectNameOf) {
    const std::string key = lower(name);
    std::vector<std::string> byFile;
    for (const std::string& m : modules) {
        const fs::path p(m);
        if (lower(p.filename().string()) == key || lower(p.stem().string()) == key) byFile.push_back(m);
    }
    if (!byFile.empty() || !effectNameOf) return byFile;
    std::vector<std::string> byName;
    for (const std::string& m : modules) {
        if (lower(effectNameOf(m)) == key) byName.push_back(m);
    }
    return byName;
}

std::string resolveModule(const std::string& nameOrPath, const std::vector<std::string>& folders,
                          const EffectNameOf& effectNameOf) {
    if (isPath(nameOrPath)) return nameOrPath;
    const std::vector<std::string> modules = findModules(folders);
    const std::vector<std::string> byFile = matchModules(nameOrPath, modules, {});
    if (byFile.size() == 1) return byFile.front();
    if (byFile.size() > 1) {
        throw HostError(ErrorKind::Ambiguous, "\"" + nameOrPath + "\" is ambiguous: " + listed(byFile) + " (give the path)");
    }
    const std::vector<std::string> byName = matchModules(nameOrPath, modules, effectNameOf);
    if (byName.size() == 1) return byName.front();
    if (byName.size() > 1) {
        throw HostError(ErrorKind::Ambiguous, "\"" + nameOrPath + "\" is ambiguous: " + std::to_string(byName.size()) +
                                                  " plug-ins have that name: " + listed(byName) + " (give the path)");
    }
    throw HostError(ErrorKind::ModuleMissing,
                    "module not found: no file and no plug-in named \"" + nameOrPath + "\" in " + listed(folders));
}

}  // namespace aerie
