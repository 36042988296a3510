// Turns a crash inside a plug-in into one line on standard error and exit
// code 4, after removing the temporary output file, instead of a core dump
// and a half-written file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace crashguard {

inline constexpr int kExitCode = 4;

// Installs the handlers. With `reportOnly` false (the probe child), a crash
// ends the process as a crash so that the parent sees it; on Windows that
// also keeps the system's crash dialog and debugger away.
void install(bool reportOnly = true);

// What the tool is doing now, completing "the module crashed while ...".
// The text must stay valid until the next call (a literal or a buffer that
// lives as long).
void setStep(const char* step) noexcept;
// While rendering: the block being rendered and its first frame.
void setBlock(std::uint64_t block, std::uint64_t firstFrame) noexcept;
// A temporary file to remove, and its stream to close first on Windows.
void setCleanup(const char* path, std::FILE* stream) noexcept;

}  // namespace crashguard
