// A plug-in instance's state as a standard preset or bank file.
#pragma once

#include <string>
#include <vector>

#include <aerie/instance.h>
#include <aerie/io/preset.h>

namespace aerie {

// The instance's current program (`bank` false) or all its programs. The
// kind follows the plug-in's flags: with effFlagsProgramChunks the program
// chunk (effGetChunk, index 1) or the bank chunk (index 0), else the
// parameter values. A parameter bank visits every program and comes back to
// the current one.
// [the instance's thread; state: open, ready, running; allocates]
PresetFile capturePreset(Instance& instance, bool bank);

// Loads a preset or bank into the instance; answers notes for the user (a
// count that differs, another version of the plug-in). Throws PresetError
// when the file was made for another plug-in (unless `force`) or holds a
// chunk the plug-in cannot take.
// [the instance's thread; state: open, ready; allocates]
std::vector<std::string> applyPreset(Instance& instance, const PresetFile& preset, bool force);

}  // namespace aerie
