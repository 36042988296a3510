"""VST 2 plug-ins from Python: load, render, automate, save and restore.

A thin front end over the aerie hosting library: every render is aerie's
render job, the one ``vst2host render`` runs, so that both give the same
samples. Audio is numpy float32 of shape (channels, frames).

    import aerie
    with aerie.load("ZamComp") as comp:
        out = comp.process(audio)

Threads: the GIL is released while a plug-in runs, so plug-ins on distinct
threads run at once. A Plugin takes one call at a time: a call made while
another thread uses it raises PluginBusy.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Mapping

import numpy as np

from . import _aerie
from ._aerie import (  # the error classes are the package's
    AerieError,
    AerieWarning,
    AmbiguousName,
    BadArgument,
    BadInputFile,
    BadPreset,
    BadRecord,
    EntryNull,
    LoadFailed,
    ModuleNotFound,
    ModuleUnreadable,
    NoEntry,
    NotAPlugin,
    OutputFileError,
    PluginBusy,
    PluginCrashed,
    PluginExited,
    PluginHung,
    WrongArchitecture,
    WrongState,
    WrongSystem,
)

__version__ = _aerie.version
__all__ = ["load", "scan", "validate", "Plugin", "Chain", "Parameter", "Parameters",
           "AerieError", "AerieWarning", "AmbiguousName", "BadArgument", "BadInputFile", "BadPreset", "BadRecord", "EntryNull",
           "LoadFailed", "ModuleNotFound", "ModuleUnreadable", "NoEntry", "NotAPlugin", "OutputFileError",
           "PluginBusy", "PluginCrashed", "PluginExited", "PluginHung", "WrongArchitecture", "WrongState",
           "WrongSystem"]


def _bad(message):
    return BadArgument(message)


def load(path_or_name, sample_rate=44100, block_size=512, isolated=False, timeout=30.0):
    """Loads a plug-in and answers a Plugin (a context manager).

    path_or_name: a module's path, or a name looked up the way vst2host does
      (the plug-in folders or VST_PATH; a file name with or without its
      extension, else an effect name; several matches are listed).
    sample_rate: whole Hz the plug-in runs at; block_size: frames per call.
    isolated: run the plug-in in a child process: a crash or hang raises
      PluginCrashed or PluginHung (saying where: "crashed while rendering
      block 12 (from frame 5632)"), and this process lives on. The same
      calls give the same results as in this process.
    timeout: with isolated=True, seconds the plug-in may go without
      progress (a block rendered, a call answered) before it counts as
      hung; 0: no limit.
    """
    # The backend: _aerie.Plugin in this process, or _aerie.IsolatedPlugin
    # in a child. Plugin needs of it only their shared methods (identity,
    # parameters, programs, state, presets, render(RenderCall)).
    rate, block = _rate(sample_rate), _block(block_size)
    path = _aerie.resolve(os.fspath(path_or_name))
    if isolated:
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float, np.integer, np.floating)):
            raise _bad(f"timeout must be seconds, not {timeout!r}")
        return Plugin(_aerie.IsolatedPlugin(path, rate, block, float(timeout)))
    return Plugin(_aerie.Plugin(path, rate, block))


# The ranges of the rate and block size are the backend's to check.
def _rate(sample_rate):
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, (int, float, np.integer, np.floating)):
        raise _bad(f"sample_rate must be a number, not {type(sample_rate).__name__}")
    return float(sample_rate)


def _block(block_size):
    if isinstance(block_size, bool) or not isinstance(block_size, (int, np.integer)) or abs(block_size) >= 1 << 31:
        raise _bad(f"block_size must be a whole number of frames, not {block_size!r}")
    return int(block_size)


def scan(folders=None):
    """Lists the plug-in modules in `folders` (default: the folders hosts
    search, or VST_PATH), each probed in a child process: a list of dicts
    (path, name, vendor, unique_id, version, category, is_instrument,
    num_inputs, num_outputs, num_parameters, num_programs, latency), or
    (path, error) for a module that could not be probed."""
    found = _aerie.find_modules(None if folders is None else [os.fspath(f) for f in folders])
    return [_aerie.probe(path) for path in found]


def validate(path_or_name, strictness=5, only=None, timeout=60.0):
    """Runs vst2host validate's tests on a plug-in module, each in a child
    process of its own (a crash or hang fails that test only), and answers
    a Report: `tests` (each with name, status "passed", "failed" or
    "skipped", message, time, warnings, notes), `passed` (no test failed),
    `counts`, `to_junit(path)`.

    strictness: 1 to 10, as `vst2host validate --strictness`.
    only: test names or groups ("processing", "state.chunk"), as --only.
    timeout: seconds a test may go without progress before it counts as hung.
    """
    if not hasattr(_aerie, "validate"):
        raise WrongState("validate: this build of aerie has no validator (built without the command-line host)")
    if isinstance(strictness, bool) or not isinstance(strictness, (int, np.integer)) or not 1 <= strictness <= 10:
        raise _bad(f"strictness must be from 1 to 10, not {strictness!r}")
    if isinstance(only, str):
        only = [only]
    if only is not None and not all(isinstance(x, str) for x in only):
        raise _bad("only: test names or groups")
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not (math.isfinite(timeout) and timeout > 0):
        raise _bad(f"timeout must be seconds above 0, not {timeout!r}")
    path = _aerie.resolve(os.fspath(path_or_name))
    return _aerie.validate(os.path.abspath(path), int(strictness), None if only is None else list(only), float(timeout))


class Parameter:
    """One parameter: `value` (0..1, settable), `display`, `unit`, `name`, `index`."""

    __slots__ = ("_plugin", "index")

    def __init__(self, plugin, index):
        self._plugin = plugin
        self.index = index

    @property
    def name(self):
        return self._plugin._impl.parameter(self.index)[0]

    @property
    def value(self):
        return self._plugin._impl.parameter(self.index)[1]

    @value.setter
    def value(self, value):
        self._plugin._impl.set_parameter(self.index, _unit_value(value, self.name))

    @property
    def display(self):
        return self._plugin._impl.parameter(self.index)[2]

    @property
    def unit(self):
        return self._plugin._impl.parameter(self.index)[3]

    def __repr__(self):
        name, value, display, unit = self._plugin._impl.parameter(self.index)
        return f"<Parameter {self.index} {name!r} = {value:g} ({display}{' ' + unit if unit else ''})>"


def _unit_value(value, name):
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise _bad(f"parameter {name!r}: a value from 0 to 1, not {value!r}") from None
    if not 0.0 <= v <= 1.0:
        raise _bad(f"parameter {name!r}: a value from 0 to 1, not {value!r}")
    return v


def _identifier(name):
    return re.sub(r"\W+", "_", name.strip()).strip("_").lower()


class Parameters(Mapping):
    """The parameters by name (``params["Attack"]``), by index
    (``params[0]``), and as attributes where the name makes an identifier
    (``params.attack``, lower case, other characters as ``_``). Assigning a
    number to an item or attribute sets its value. Where two parameters
    share a name, the name gives the first."""

    def __init__(self, plugin):
        object.__setattr__(self, "_plugin", plugin)
        names = plugin._impl.parameter_names()
        object.__setattr__(self, "_list", [Parameter(plugin, i) for i in range(len(names))])
        by_name, by_attr = {}, {}
        for i, n in enumerate(names):
            by_name.setdefault(n, i)
            if _identifier(n).isidentifier():
                by_attr.setdefault(_identifier(n), i)
        object.__setattr__(self, "_by_name", by_name)
        object.__setattr__(self, "_by_attr", by_attr)

    def _find(self, key):
        if isinstance(key, (int, np.integer)) and not isinstance(key, bool):
            if not -len(self._list) <= key < len(self._list):
                raise IndexError(f"parameter index {key} out of range (the plug-in has {len(self._list)})")
            return self._list[key]
        if key in self._by_name:
            return self._list[self._by_name[key]]
        raise KeyError(key)

    def __getitem__(self, key):
        return self._find(key)

    def __setitem__(self, key, value):
        self._find(key).value = value

    def __iter__(self):
        return iter(self._by_name)

    def __len__(self):
        return len(self._by_name)

    def __getattr__(self, name):
        index = self._by_attr.get(name)
        if index is None:
            raise AttributeError(f"no parameter named {name!r}")
        return self._list[index]

    def __setattr__(self, name, value):
        self.__getattr__(name).value = value

    def __dir__(self):
        return list(self._by_attr)

    def index_of(self, key):
        """The index of a parameter given by index, name or identifier."""
        if isinstance(key, Parameter):
            return key.index
        if isinstance(key, str) and key not in self._by_name and key in self._by_attr:
            return self._by_attr[key]
        try:
            return self._find(key).index
        except KeyError:
            raise _bad(f"automation: no parameter {key!r}; the parameters: {', '.join(map(repr, self._by_name))}") from None

    def as_list(self):
        """The parameters in index order."""
        return list(self._list)


class _Renderer:
    """What Plugin and Chain share: turning process() and render() arguments
    into one render call."""

    def _plugins(self):
        raise NotImplementedError

    def process(self, audio, *, midi=None, tempo=None, time_signature=None, automation=None, tail=None,
                reset=True, compensate_latency=True, return_midi=False):
        a = _audio(audio)
        frames = a.shape[1] + self._tail_frames(tail)
        call = self._call(midi, tempo, time_signature, automation, (frames, a.shape[1]), reset, compensate_latency,
                          return_midi)
        call.audio = a
        call.frames = frames
        return self._render(call)

    def render(self, duration=None, *, midi=None, tempo=None, time_signature=None, automation=None, tail=None,
               reset=True, compensate_latency=True, return_midi=False):
        if duration is not None and (isinstance(duration, bool) or
                                     not isinstance(duration, (int, float, np.integer, np.floating)) or
                                     not (math.isfinite(duration) and 0 <= duration <= 1e6)):
            raise _bad(f"duration must be seconds from 0, not {duration!r}")
        frames = None if duration is None else round(duration * self.sample_rate)
        call = self._call(midi, tempo, time_signature, automation, () if frames is None else (frames,), reset,
                          compensate_latency, return_midi)
        if frames is None:
            call.until_events = True
            call.tail_seconds = 1.0 if tail is None else self._tail_frames(tail) / self.sample_rate
        else:
            call.frames = frames
        return self._render(call)

    def _tail_frames(self, tail):
        if tail is None:
            return 0
        if isinstance(tail, str) and tail == "auto":
            return max(self._plugins()[-1]._impl.tail, 0)
        if isinstance(tail, bool) or not isinstance(tail, (int, float, np.integer, np.floating)) or \
                not (math.isfinite(tail) and 0 <= tail <= 1e6):
            raise _bad(f'tail must be seconds from 0, "auto" or None, not {tail!r}')
        return round(tail * self.sample_rate)

    # lengths: the frame counts a per-frame automation array may have (the
    # output's, the input's; none when the length is not known yet).
    def _call(self, midi, tempo, time_signature, automation, lengths, reset, compensate_latency, return_midi):
        call = _aerie.RenderCall()
        # The ranges of tempo and signature are the render job's to check.
        if tempo is not None:
            if isinstance(tempo, bool) or not isinstance(tempo, (int, float, np.integer, np.floating)):
                raise _bad(f"tempo must be beats per minute, not {tempo!r}")
            call.bpm = float(tempo)
        if time_signature is not None:
            ok = isinstance(time_signature, (tuple, list)) and len(time_signature) == 2 and \
                all(isinstance(x, (int, np.integer)) and not isinstance(x, bool) and abs(x) < 1 << 16
                    for x in time_signature)
            if not ok:
                raise _bad(f"time_signature must be a pair such as (3, 4), not {time_signature!r}")
            call.signature = (int(time_signature[0]), int(time_signature[1]))
        if midi is not None:
            if isinstance(midi, (str, os.PathLike)):
                path = os.fspath(midi)
                if not os.path.isfile(path):
                    raise BadInputFile(f"cannot open the MIDI file {path}")
                call.midi_file = path
            else:
                call.messages = _messages(midi)
        if automation is not None:
            call.automation = self._automation(automation, lengths)
        call.compensate_latency = bool(compensate_latency)
        call.reset = bool(reset)
        call.return_midi = bool(return_midi)
        return call

    def _automation(self, automation, lengths):
        if not isinstance(automation, Mapping):
            raise _bad("automation must be a mapping {parameter: values}")
        plugins = self._plugins()
        block = plugins[0].block_size
        per_block = {-(-n // block) for n in lengths}
        points = []
        for key, values in automation.items():
            module, name = self._owner(key, plugins)
            index = plugins[module].parameters.index_of(name)
            if isinstance(values, np.ndarray):
                v = np.asarray(values, dtype=np.float64)
                if v.ndim != 1 or v.size == 0 or (lengths and v.size not in set(lengths) | per_block):
                    wanted = "one value per block" if not lengths else \
                        f"one value per frame ({' or '.join(map(str, sorted(set(lengths))))}) " \
                        f"or per block ({' or '.join(map(str, sorted(per_block)))})"
                    raise _bad(f"automation of {name!r}: {wanted}, not shape {v.shape}")
                if not np.all(np.isfinite(v)) or v.min() < 0 or v.max() > 1:
                    raise _bad(f"automation of {name!r}: values from 0 to 1 (no NaN)")
                # Per frame: the value at each block's start.
                step = block if v.size in lengths and v.size not in per_block else 1
                points += [(module, index, float(b * block), "f", float(x)) for b, x in enumerate(v[::step])]
            else:
                try:
                    pairs = [(float(t), float(x)) for t, x in values]
                except (TypeError, ValueError):
                    raise _bad(f"automation of {name!r}: an array or a list of (seconds, value)") from None
                for t, x in pairs:
                    if not (math.isfinite(t) and t >= 0 and math.isfinite(x) and 0 <= x <= 1):
                        raise _bad(f"automation of {name!r}: ({t}, {x}) is no (seconds >= 0, value 0..1) point")
                    points.append((module, index, t, "s", x))
        return points

    def _owner(self, key, plugins):
        if len(plugins) == 1:
            return 0, key
        if not (isinstance(key, tuple) and len(key) == 2 and isinstance(key[0], (int, np.integer))):
            raise _bad(f"automation of a chain: keys are (position, parameter) pairs, not {key!r}")
        if not 0 <= key[0] < len(plugins):
            raise _bad(f"automation: no plug-in {key[0]} in a chain of {len(plugins)}")
        return int(key[0]), key[1]

    def _render(self, call):
        raise NotImplementedError


# What process() and render() take, said once for both docstrings.
_ARGUMENTS = """
        midi: the MIDI played, times from the start of this call: a list of
          (bytes, seconds) tuples or of mido messages (their `time` the
          seconds from the one before, as mido plays a file), or the path
          of a Standard MIDI File (its tempo map included).
        tempo: beats per minute, kept as given; time_signature: a pair such
          as (3, 4). Without them a MIDI file's tempo map, else 120 and 4/4.
        automation: {parameter: values}, a parameter given by name, index
          or identifier ((position, parameter) in a Chain); values a numpy
          array with one value per frame or per block (each applied at its
          block's start), or a list of (seconds, value) points (applied at
          the first block starting at or after them). Values are 0..1.
        tail: seconds rendered past the end and returned; "auto" the
          plug-in's reported tail; None none (render without a duration:
          1 s; with one, the duration is the whole length).
        reset: True starts afresh (the plug-in resumed, time at 0); False
          goes on from the previous call, so that processing in parts gives
          the samples one call gives (with compensate_latency=False, or a
          plug-in without latency, and parts a whole number of blocks).
        compensate_latency: remove the reported latency from the start.
        return_midi: also answer the MIDI the last plug-in sent, as a list
          of (bytes, seconds): the result is then (audio, midi).
        """
_Renderer.process.__doc__ = """Processes audio and answers the output, float32 (channels, frames).

        audio: a numpy array (channels, frames), float32 (float64 is
          converted); a 1-D array is mono.""" + _ARGUMENTS
_Renderer.render.__doc__ = """Renders with no audio input (an instrument) and answers (channels, frames) float32.

        duration: seconds of output; None: until the last MIDI event plus
          the tail, as vst2host render does.""" + _ARGUMENTS


def _audio(audio):
    if not isinstance(audio, np.ndarray):
        raise _bad(f"audio must be a numpy array (channels, frames), not {type(audio).__name__}")
    if audio.ndim == 1:
        audio = audio[np.newaxis, :]
    if audio.ndim != 2 or audio.shape[0] < 1 or audio.shape[0] > 1024:
        raise _bad(f"audio must have the shape (channels, frames) with 1 to 1024 channels, not {audio.shape}")
    if audio.dtype not in (np.float32, np.float64):
        raise _bad(f"audio must be float32 or float64, not {audio.dtype}")
    # Samples are taken as they are (a NaN too), as vst2host takes a float WAV file.
    return np.ascontiguousarray(audio, dtype=np.float32)


def _messages(midi):
    out = []
    elapsed = 0.0
    for item in midi:
        if hasattr(item, "bytes") and hasattr(item, "time"):  # a mido message
            if item.is_meta:
                elapsed += float(item.time)
                continue
            elapsed += float(item.time)
            data, seconds = bytes(item.bytes()), elapsed
        else:
            try:
                data, seconds = item
                data, seconds = bytes(data), float(seconds)
            except (TypeError, ValueError):
                raise _bad(f"midi: (bytes, seconds) tuples or mido messages, not {item!r}") from None
        if not 1 <= len(data) <= 3 or data[0] < 0x80 or data[0] >= 0xF0:
            raise _bad(f"midi: {data.hex(' ')} is no channel message (1 to 3 bytes from a status byte)")
        if not (math.isfinite(seconds) and 0 <= seconds < 1e9):
            raise _bad(f"midi: a message at {seconds} s")
        out.append((data, seconds))
    return out


class Plugin(_Renderer):
    """A loaded plug-in; a context manager that closes it.

    Identity: name, vendor, category, is_instrument, unique_id, version;
    num_inputs, num_outputs, latency and tail (frames). parameters (a
    Parameters mapping), program_names and program, state (bytes),
    load_preset/save_preset (.fxp), load_bank/save_bank (.fxb), process()
    and render().
    """

    def __init__(self, impl):
        self._impl = impl
        self._identity = impl.identity()
        self._parameters = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Closes the plug-in (effClose) and unloads its module."""
        self._impl.close()

    def __repr__(self):
        return f"<aerie.Plugin {self.name!r} ({self.path})>"

    path = property(lambda self: self._impl.path)
    sample_rate = property(lambda self: self._impl.sample_rate)
    block_size = property(lambda self: self._impl.block_size)
    name = property(lambda self: self._identity["name"])
    vendor = property(lambda self: self._identity["vendor"])
    category = property(lambda self: self._identity["category"])
    is_instrument = property(lambda self: self._identity["is_instrument"])
    unique_id = property(lambda self: self._identity["unique_id"])
    version = property(lambda self: self._identity["version"])
    num_inputs = property(lambda self: self._identity["num_inputs"])
    num_outputs = property(lambda self: self._identity["num_outputs"])
    latency = property(lambda self: self._impl.latency, doc="The latency the plug-in reports, in frames.")
    tail = property(lambda self: self._impl.tail, doc="The tail the plug-in reports, in frames.")

    @property
    def parameters(self):
        """The parameters: by name, by index, as attributes (see Parameters)."""
        if self._parameters is None:
            self._parameters = Parameters(self)
        return self._parameters

    @property
    def program_names(self):
        return self._impl.program_names()

    @property
    def program(self):
        """The current program, from 0; settable."""
        return self._impl.program()

    @program.setter
    def program(self, index):
        count = len(self.program_names)
        if isinstance(index, bool) or not isinstance(index, (int, np.integer)) or not 0 <= index < count:
            raise _bad(f"program must be from 0 to {count - 1}, not {index!r}")
        self._impl.set_program(int(index))

    @property
    def state(self):
        """The whole state as bytes (a bank: the plug-in's chunk or its
        parameters); setting it restores it, refusing another plug-in's."""
        return self._impl.get_state(True)

    @state.setter
    def state(self, data):
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise _bad(f"state must be bytes, not {type(data).__name__}")
        self._impl.set_state(bytes(data))

    def load_preset(self, path):
        """Loads a .fxp preset (BadPreset for another plug-in's)."""
        return self._impl.load_preset(os.fspath(path))

    def load_bank(self, path):
        """Loads a .fxb bank (BadPreset for another plug-in's)."""
        return self._impl.load_preset(os.fspath(path))

    def save_preset(self, path):
        """Saves the current program as a .fxp preset."""
        self._impl.save_preset(os.fspath(path), False)

    def save_bank(self, path):
        """Saves every program as a .fxb bank."""
        self._impl.save_preset(os.fspath(path), True)

    def _plugins(self):
        return [self]

    def _render(self, call):
        return self._impl.render(call)


class Chain(_Renderer):
    """Plug-ins played one into the next, with vst2host's channel mapping
    (channel k feeds input k, mono feeds all, the rest silent or dropped)
    and MIDI forwarding (what a plug-in sends goes to the next). Automation
    keys are (position, parameter) pairs. All plug-ins must share the
    sample rate and block size."""

    def __init__(self, plugins):
        plugins = list(plugins)
        if not plugins or not all(isinstance(p, Plugin) for p in plugins):
            raise _bad("Chain takes a list of one or more Plugin objects")
        if len({id(p) for p in plugins}) != len(plugins):
            raise _bad("a plug-in can be in a chain once")
        # A chain renders block by block in one process; each isolated
        # plug-in lives in a process of its own.
        if any(isinstance(p._impl, _aerie.IsolatedPlugin) for p in plugins):
            raise _bad("a Chain takes plug-ins loaded in this process, not isolated ones: "
                       "process through isolated plug-ins one after another")
        self._list = plugins
        self._impl = _aerie.Chain([p._impl for p in plugins])

    def __iter__(self):
        return iter(self._list)

    def __len__(self):
        return len(self._list)

    sample_rate = property(lambda self: self._list[0].sample_rate)

    def _plugins(self):
        return self._list

    def _render(self, call):
        return self._impl.render(call)
