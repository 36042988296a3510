// Process start on Windows, shared by runProcess and the sandbox (not
// installed).
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <string>
#include <vector>

namespace aerie::detail {

// CreateProcessA of `argv` (each argument quoted so that the child's
// command-line parser gives it back unchanged) with inherited handles, tried
// again a few times, 50 to 150 ms apart, when it fails for a moment: wine
// answers ERROR_INTERNAL_ERROR while many processes start at once. A missing
// program is not tried again. Answers whether the process started; else
// `why` says so ("cannot start X (Windows error 2)").
bool startProcess(const std::vector<std::string>& argv, STARTUPINFOA& si, PROCESS_INFORMATION& pi, std::string& why);

}  // namespace aerie::detail
#endif
