// Finding plug-in modules: the folders hosts search, the module files in
// them, and a module named by its file name or its effect name.
//
// Every call: [any thread; allocates]. They read the file system (and, for
// effect names, call `effectNameOf`, which a caller usually makes a sandboxed
// probe: then they block for as long as it takes).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace aerie {

// Reads an environment variable ("" when unset); tests pass their own.
using Environment = std::function<std::string(const char* name)>;
// The process's environment.
std::string processEnvironment(const char* name);

// The folders hosts search, in order, each once: VST_PATH (and on Linux
// LXVST_PATH) when set, which then replace the usual folders; else on
// Linux ~/.vst, ~/.lxvst, /usr/local/lib/vst, /usr/lib/vst, /usr/lib/lxvst,
// on Windows the VSTPlugins and Common Files\VST2 folders of each Program
// Files folder. The lists are split at ':' (';' on Windows).
std::vector<std::string> pluginFolders(const Environment& environment = processEnvironment);

// Module files (.so, or .dll on Windows, in any case) under each folder,
// recursively (plug-ins often sit in a folder of their own), each file once
// however it is reached, sorted within each folder. Folders that do not
// exist are skipped.
std::vector<std::string> findModules(const std::vector<std::string>& folders);

// Whether a name on a command line is a path as it is (it has a folder
// separator, or a file of that name exists) rather than a name to look up.
bool isPath(const std::string& nameOrPath);

// The module a name means: among `modules`, those whose file name (with or
// without its extension, in any case) is `name`; when there are none, those
// whose effect name (in any case) is `name`, asking `effectNameOf` (which
// answers "" for a module it cannot tell). Answers every match.
using EffectNameOf = std::function<std::string(const std::string& path)>;
std::vector<std::string> matchModules(const std::string& name, const std::vector<std::string>& modules,
                                      const EffectNameOf& effectNameOf);

// A path as it is, or the one module a name means. Throws HostError of kind
// Ambiguous (the candidates listed) or ModuleMissing (the folders listed).
std::string resolveModule(const std::string& nameOrPath, const std::vector<std::string>& folders,
                          const EffectNameOf& effectNameOf);

}  // namespace aerie
