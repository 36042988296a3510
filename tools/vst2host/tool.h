// Shared pieces of the command-line host: exit codes and the error that
// carries one.
#pragma once

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace tool {

// Exit codes, documented in --help.
enum Exit : int {
    kOk = 0,
    kInternal = 1,      // a fault of the tool itself
    kUsage = 2,         // options that make no sense
    kModule = 3,        // the module cannot be loaded or gives no usable instance
    kModuleCrash = 4,   // the module crashed, hung or ended the process
    kMidi = 5,          // the MIDI input is missing or malformed
    kOutput = 6,        // the output file cannot be written
};

class Error : public std::runtime_error {
public:
    Error(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

// `info`: probes the module in a child process and prints what it found.
int runInfo(const std::string& module, bool json, double timeoutSeconds);
// The hidden probe step run in the child: writes "step", "error" and "info"
// lines to `reportPath`.
int runProbeChild(const std::string& module, const std::string& reportPath);

}  // namespace tool
