// Test helpers: running the command-line host as a user would (the file
// helpers are the fixtures').
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <aerie/process.h>

#include "files.h"

namespace testing_tools {

using namespace fixtures;

struct ToolRun {
    int code = -1;
    std::string out;
    std::string err;
    bool crashed = false;
};

// Runs the command-line host with `args`, standard input from `stdinPath`.
inline ToolRun runTool(const std::vector<std::string>& args, const std::string& stdinPath = "") {
    static int counter = 0;
    const std::string base = tmpDir() + "/run" + std::to_string(aerie::currentProcessId()) + "_" + std::to_string(counter++);
    aerie::ProcessOptions o;
    o.stdoutPath = base + ".out";
    o.stderrPath = base + ".err";
    o.stdinPath = stdinPath;
    o.timeoutSeconds = 100;
    std::vector<std::string> argv = {VST2HOST};
    argv.insert(argv.end(), args.begin(), args.end());
    const aerie::ProcessResult r = aerie::runProcess(argv, o);
    ToolRun run;
    run.code = r.end == aerie::ProcessResult::End::Exited ? r.exitCode : -1;
    run.crashed = r.end != aerie::ProcessResult::End::Exited;
    // Windows builds end lines with CR LF on the console streams.
    auto lines = [](std::string s) {
        s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
        return s;
    };
    run.out = lines(readText(o.stdoutPath));
    run.err = lines(readText(o.stderrPath));
    std::filesystem::remove(o.stdoutPath);
    std::filesystem::remove(o.stderrPath);
    return run;
}

}  // namespace testing_tools
