// What the sources of the extension aerie._aerie share.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

#include "core.h"

namespace pyaerie {

namespace py = pybind11;

// A render call as the package hands it over: the arguments and the audio
// (channels, frames).
struct RenderCall : CallArgs {
    std::optional<py::array_t<float, py::array::c_style | py::array::forcecast>> audio;
};

// Raises the package's error class `cls` (a name such as "PluginBusy").
[[noreturn]] void raise(const char* cls, const std::string& message);

// The identity as the package's dict.
py::dict identityDict(const Identity& identity);

// A render's result for Python: its notes warned as AerieWarning, and the
// output, or (output, midi) when the call asked for the MIDI.
py::object renderResult(py::array_t<float> out, const RenderedCall& done, bool returnMidi);

// _aerie.IsolatedPlugin (isolated.cpp).
void defineIsolated(py::module_& m);

}  // namespace pyaerie
