// Turns a crash inside a plug-in into one line on standard error and exit
// code 4, after removing the temporary output file, instead of a core dump
// and a half-written file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// setStep with a text made at run time (copied).
void setStepText(const std::string& step);
// The modules of a chain, named in reports when there are two or more.
void setStages(const std::vector<std::string>& names);
// While rendering: the module (from 0) about to be called.
void setStage(std::size_t stage) noexcept;

// A thread that ends the process with a report ("the module did not answer
// within 30 s while ...") and exit code 4 when no step or block has begun
// for that long. Off until started.
void startWatchdog(double seconds);
void stopWatchdog();

// While guarding (after install(true), until finish()), a module that ends
// the process itself is reported too, and the temporary file removed.
void finish() noexcept;

}  // namespace crashguard
