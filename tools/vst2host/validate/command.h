// `vst2host validate`: runs the validator's battery (tests.h) on
// plug-in modules, each test in a child process of its own.
#pragma once

#include <CLI/CLI.hpp>

namespace tool {

// Adds the `validate` subcommand to the command line; run it with
// runValidate() once parsed, when the subcommand was given.
CLI::App* addValidateCommand(CLI::App& app);
int runValidate();

}  // namespace tool
