// Discovery: the folders hosts search, the module files in them, and a
// module named by file name or effect name.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include <aerie/discovery.h>
#include <aerie/host_error.h>

#include "files.h"

namespace {

namespace fs = std::filesystem;

aerie::Environment environment(std::map<std::string, std::string> values) {
    return [values](const char* name) {
        const auto it = values.find(name);
        return it == values.end() ? std::string() : it->second;
    };
}

#if defined(_WIN32)
#define SEP ";"
const char* const kExtension = ".dll";
#else
#define SEP ":"
const char* const kExtension = ".so";
#endif

TEST(Discovery, FoldersComeFromTheEnvironmentInOrderEachOnce) {
    const struct Case {
        std::map<std::string, std::string> environment;
        std::vector<std::string> folders;
    } cases[] = {
        // Set search paths replace the usual folders; empty items are skipped.
        {{{"VST_PATH", "/a" SEP SEP "/b" SEP "/a"}, {"HOME", "/home/u"}}, {"/a", "/b"}},
#if defined(_WIN32)
        {{{"ProgramFiles", "C:\\P"}},
         {"C:\\P\\VSTPlugins", "C:\\P\\Steinberg\\VSTPlugins", "C:\\P\\Common Files\\VST2",
          "C:\\P\\Common Files\\Steinberg\\VST2"}},
#else
        {{{"VST_PATH", "/a"}, {"LXVST_PATH", "/l" SEP "/a"}}, {"/a", "/l"}},
        {{{"LXVST_PATH", "/l"}}, {"/l"}},
        {{{"HOME", "/home/u"}},
         {"/home/u/.vst", "/home/u/.lxvst", "/usr/local/lib/vst", "/usr/lib/vst", "/usr/lib/lxvst"}},
        {{}, {"/usr/local/lib/vst", "/usr/lib/vst", "/usr/lib/lxvst"}},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aerie::pluginFolders(environment(c.environment)), c.folders);
    }
}

// A tree of module files in the running test's own folder: ctest runs the
// tests that build one at the same time.
struct Tree {
    fs::path root = fs::path(fixtures::tmpDir()) / "tree";
    Tree() {
        fs::remove_all(root);
        for (const char* f : {"a/Alpha", "a/Nested.vst/Beta", "b/alpha", "b/gamma", "b/readme"}) {
            const fs::path p = root / (std::string(f) + (std::string(f).find("readme") == std::string::npos ? kExtension : ".txt"));
            fs::create_directories(p.parent_path());
            std::ofstream(p) << "x";
        }
    }
    std::string operator()(const char* folder) const { return (root / folder).string(); }
};

TEST(Discovery, ModulesAreFoundRecursivelySortedPerFolder) {
    const Tree t;
    const auto found = aerie::findModules({t("a"), t("b"), t("missing"), t("a")});
    std::vector<std::string> names;
    for (const auto& f : found) names.push_back(fs::path(f).stem().string());
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Beta", "alpha", "gamma"}));
}

TEST(Discovery, NamesResolveByFileThenByEffectName) {
    const Tree t;
    const std::vector<std::string> folders = {t("a"), t("b")};
    int probes = 0;
    auto effectName = [&](const std::string& path) -> std::string {
        ++probes;
        const std::string stem = fs::path(path).stem().string();
        return stem == "gamma" ? "Gamma Verb" : stem == "Beta" ? "Twin" : stem == "Alpha" ? "Twin" : "";
    };
    const struct Case {
        const char* name;
        const char* resolvesTo;  // stem, or null when an error of `kind` is expected
        aerie::ErrorKind kind;
    } cases[] = {
        {"gamma", "gamma", aerie::ErrorKind::Other},
        {"GAMMA", "gamma", aerie::ErrorKind::Other},
        {"beta", "Beta", aerie::ErrorKind::Other},
        {"gamma verb", "gamma", aerie::ErrorKind::Other},
        {"alpha", nullptr, aerie::ErrorKind::Ambiguous},  // two files
        {"Twin", nullptr, aerie::ErrorKind::Ambiguous},   // two effect names
        {"nothing", nullptr, aerie::ErrorKind::ModuleMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            const std::string path = aerie::resolveModule(c.name, folders, effectName);
            ASSERT_NE(c.resolvesTo, nullptr) << path;
            EXPECT_EQ(fs::path(path).stem().string(), c.resolvesTo);
        } catch (const aerie::HostError& e) {
            ASSERT_EQ(c.resolvesTo, nullptr) << e.what();
            EXPECT_EQ(e.kind(), c.kind) << e.what();
            if (c.kind == aerie::ErrorKind::Ambiguous) {
                EXPECT_NE(std::string(e.what()).find(" (give the path)"), std::string::npos);
            }
        }
    }
    // A file name match asks no effect names.
    probes = 0;
    (void)aerie::resolveModule("beta", folders, effectName);
    EXPECT_EQ(probes, 0);
    // A path is taken as it is.
    EXPECT_EQ(aerie::resolveModule("./x/y.so", folders, effectName), "./x/y.so");
}

}  // namespace
