// Shared pieces of the command-line host: exit codes, the error that
// carries one, and the commands, each in its own file.
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <aerie/host_error.h>

#include "tools/vst2host/utf8.h"

namespace aerie {
class Instance;
}

namespace tool {

// Exit codes, the same for every command. kExitCodes below describes them
// for --help and the man page.
enum Exit : int {
    kOk = 0,
    kInternal = 1,      // a fault of the tool itself
    kUsage = 2,         // options that make no sense
    kModule = 3,        // the module cannot be loaded or gives no usable instance
    kModuleCrash = 4,   // the module crashed, hung or ended the process
    kMidi = 5,          // an input file (MIDI, audio, state) is missing, malformed or does not fit
    kOutput = 6,        // the output file cannot be written
    kNonFinite = 7,     // --strict and the output holds NaN or infinite samples
    kTestFailed = 8,    // validate: a test of the battery failed
};

struct ExitCodeText {
    int code;
    const char* meaning;
};
inline constexpr ExitCodeText kExitCodes[] = {
    {kOk, "done (validate: every test passed or was skipped)"},
    {kInternal, "an internal fault of vst2host"},
    {kUsage, "bad options"},
    {kModule, "the module cannot be found, loaded or used"},
    {kModuleCrash, "the module crashed, hung or ended the process"},
    {kMidi, "an input (MIDI, audio or state file) is missing, malformed or does not fit"},
    {kOutput, "the output file cannot be written"},
    {kNonFinite, "NaN or infinite output with --strict"},
    {kTestFailed, "validate: a test failed"},
};

// The exit code for a failure of the hosting library, by its kind: the one
// place kinds become exit codes.
inline int exitCodeFor(aerie::ErrorKind kind) noexcept {
    using K = aerie::ErrorKind;
    switch (kind) {
    case K::ModuleMissing:
    case K::ModuleUnreadable:
    case K::NotALibrary:
    case K::WrongSystem:
    case K::WrongArchitecture:
    case K::LoadFailed:
    case K::NoEntry:
    case K::EntryNull:
    case K::BadRecord:
    case K::Ambiguous: return kModule;
    case K::Crashed:
    case K::Hung:
    case K::EndedProcess: return kModuleCrash;
    case K::BadInputFile: return kMidi;
    case K::OutputFile: return kOutput;
    case K::BadArgument: return kUsage;
    case K::WrongState:
    case K::Other: break;
    }
    return kInternal;
}

class Error : public std::runtime_error {
public:
    Error(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    // A library failure, with the exit code its kind maps to.
    explicit Error(const aerie::HostError& e) : std::runtime_error(e.what()), code_(exitCodeFor(e.kind())) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// One subcommand: what the command line parsed into, and how to run it.
struct Command {
    CLI::App* app = nullptr;
    std::function<int()> run;
};

Command addInfoCommand(CLI::App& app);
Command addRenderCommand(CLI::App& app);
// The program's arguments as main got them, for starting it again (render's
// child on Windows).
std::vector<std::string>& commandLine();
Command addParamsCommand(CLI::App& app);
Command addScanCommand(CLI::App& app);
// `convert`: a JSON state into a .fxp/.fxb file and back (state.cpp).
Command addConvertCommand(CLI::App& app);
// The hidden command a restarted program runs a sandboxed probe in (Windows).
Command addProbeCommand(CLI::App& app);
// The hidden command that prints the man page, made from the option definitions.
Command addManCommand(CLI::App& app);

// `info`: probes the module in a child process and prints what it found.
int runInfo(const std::string& module, bool json, double timeoutSeconds);
// Probes a module in a sandbox (a child process); answers the info JSON (as
// `info --json` prints it) or throws Error with the reason, its exit code
// from the failure's kind. `allParameters` lists every parameter, not only
// the first 256. What the module prints goes to standard error, or nowhere
// when `quiet`.
nlohmann::ordered_json probeInChild(const std::string& module, double timeoutSeconds, bool allParameters = false,
                                    bool quiet = false);
// The same without throwing: the info, or the failure's kind and message.
// Its implicit members copy JSON, which may throw; a Probed is made where
// that is caught.
struct Probed {  // NOLINT(bugprone-exception-escape)
    std::string path;
    nlohmann::ordered_json info;  // null on failure
    aerie::ErrorKind kind = aerie::ErrorKind::Other;
    std::string error;  // the reason, on failure
};
Probed probeInSandbox(const std::string& module, double timeoutSeconds, bool allParameters = false,
                      bool quiet = false);

// A module named on the command line: a path as it is, or else a file name
// or effect name searched for in the plug-in folders (aerie's discovery;
// effect names are probed in sandboxes, once per run).
std::string resolveModule(const std::string& nameOrPath);
// The folders searched when none is given: VST_PATH, LXVST_PATH, ~/.vst, ...
std::vector<std::string> defaultPluginFolders();

// "[K:]REST" of an option addressed to one module of a chain: K from 1, or
// 0 when not given.
struct Addressed {
    int module = 0;
    std::string rest;
};
Addressed splitModuleAddress(const std::string& text);

// --param: a parameter by number (from 1) or name, and a value.
struct ParamSetting {
    std::string text;  // as given, for messages
    int module = 0;    // from 1; 0: not given
    std::string key;
    float value = 0.0f;
};
ParamSetting parseParamSetting(const std::string& text);

// The state file (state.cpp).
nlohmann::ordered_json captureState(aerie::Instance& instance, const std::string& name, const std::string& vendor);
// Applies a state made by captureState; answers notes for the user.
std::vector<std::string> applyState(aerie::Instance& instance, const nlohmann::ordered_json& state, bool force,
                                    const std::string& moduleName, const std::string& path);
nlohmann::ordered_json readStateFile(const std::string& path);
void writeStateFile(const std::string& path, const nlohmann::ordered_json& state);

}  // namespace tool
