// Process start on Windows, shared by runProcess and the sandbox (not
// installed).
#pragma once

#if defined(_WIN32)
#include <windows.h>

#include <string>

namespace aerie {

// One argument quoted so that the child's command-line parser gives it back
// unchanged.
std::string quoteArgument(const std::string& arg);

}  // namespace aerie

namespace aerie::detail {

// CreateProcessA with inherited handles, tried again a few times, 50 to
// 150 ms apart, when it fails for a moment: wine answers
// ERROR_INTERNAL_ERROR while many processes start at once. A missing
// program is not tried again. Answers whether the process started;
// `error` holds the last failure's code.
bool startProcess(char* commandLine, STARTUPINFOA& si, PROCESS_INFORMATION& pi, DWORD& error) noexcept;

}  // namespace aerie::detail
#endif
