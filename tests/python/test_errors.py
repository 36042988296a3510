"""Every failure is an exception of the class of its kind, under
aerie.AerieError, with vst2host's one-line message; bad arguments are
refused before the plug-in sees them."""

import numpy as np
import pytest

import aerie
from conftest import noise


def elf32(path):
    """The header of a 32-bit x86 shared library, and nothing after it."""
    header = b"\x7fELF\x01\x01\x01" + bytes(9) + (3).to_bytes(2, "little") + (3).to_bytes(2, "little")
    path.write_bytes(header + bytes(64 - len(header)))
    return path


LOADS = [
    (lambda p, t: "/no/such/module.so", aerie.ModuleNotFound, "no/such/module.so"),
    (lambda p, t: (t / "text.so").write_text("hello") and t / "text.so", aerie.NotAPlugin, "text.so"),
    (lambda p, t: p["no_entry"], aerie.NoEntry, "VSTPluginMain"),
    (lambda p, t: p["null"], aerie.EntryNull, ""),
    (lambda p, t: p["bad_magic"], aerie.BadRecord, ""),
    (lambda p, t: elf32(t / "x86.so"), aerie.WrongArchitecture, "32-bit"),
]


@pytest.mark.parametrize("where, error, text", LOADS)
def test_modules_that_cannot_be_loaded(paths, tmp_path, where, error, text):
    with pytest.raises(error, match=text) as caught:
        aerie.load(where(paths, tmp_path))
    assert isinstance(caught.value, aerie.AerieError) and "\n" not in str(caught.value)


def preset_of_another(paths, tmp_path):
    with aerie.load(paths["effect"]) as other:
        other.save_preset(tmp_path / "other.fxp")
    return lambda comp: comp.load_preset(tmp_path / "other.fxp")


def set_state(data):
    def use(comp):
        comp.state = data
    return use


BAD = {  # each refused with BadArgument (a ValueError) unless it names its class
    "sample rate 0": lambda comp: aerie.load(comp.path, sample_rate=0),
    "sample rate 44100.5": lambda comp: aerie.load(comp.path, sample_rate=44100.5),
    "block size 0": lambda comp: aerie.load(comp.path, block_size=0),
    "isolated, a timeout of -1": lambda comp: aerie.load(comp.path, isolated=True, timeout=-1),
    "a list for audio": lambda comp: comp.process([0.0, 0.1]),
    "3-D audio": lambda comp: comp.process(np.zeros((1, 2, 64), np.float32)),
    "no channels": lambda comp: comp.process(np.zeros((0, 64), np.float32)),
    "int16 audio": lambda comp: comp.process(np.zeros((2, 64), np.int16)),
    "NaN in automation": lambda comp: comp.process(noise(0.1), automation={"Attack": np.array([0.1, np.nan])}),
    "automation too short": lambda comp: comp.process(noise(0.1), automation={"Attack": np.zeros(3)}),
    "automation above 1": lambda comp: comp.process(noise(0.1), automation={"Attack": [(0.0, 1.5)]}),
    "automation of no parameter": lambda comp: comp.process(noise(0.1), automation={"Cutoff": [(0.0, 0.5)]}),
    "a parameter value of 2": lambda comp: setattr(comp.parameters, "attack", 2),
    "a sysex message": lambda comp: comp.process(noise(0.1), midi=[(b"\xf0\x01\xf7", 0.0)]),
    "a message before 0": lambda comp: comp.process(noise(0.1), midi=[(b"\x90\x40\x40", -1.0)]),
    "tempo 0": lambda comp: comp.process(noise(0.1), tempo=0),
    "tempo NaN": lambda comp: comp.process(noise(0.1), tempo=float("nan")),
    "time signature 3/5": lambda comp: comp.process(noise(0.1), time_signature=(3, 5)),
    "a negative tail": lambda comp: comp.process(noise(0.1), tail=-1),
    "program 99": lambda comp: setattr(comp, "program", 99),
    "nothing to continue": lambda comp: comp.process(noise(0.1), reset=False),
    "a plug-in twice in a chain": lambda comp: aerie.Chain([comp, comp]),
    "an isolated plug-in in a chain": lambda comp: aerie.Chain([comp, aerie.load(comp.path, isolated=True)]),
    "a chain of two rates": lambda comp: aerie.Chain([comp, aerie.load(comp.path, sample_rate=48000)]).process(noise(0.1)),
}


@pytest.mark.parametrize("case", BAD)
def test_bad_arguments_are_refused_before_the_plug_in_sees_them(paths, case):
    with aerie.load(paths["zamcomp"]) as comp:
        comp.parameters.attack = 0.3
        before = comp.state
        with pytest.raises(aerie.BadArgument) as caught:
            BAD[case](comp)
        assert isinstance(caught.value, ValueError) and str(caught.value)
        assert comp.state == before


@pytest.mark.parametrize("use", ["another plug-in's preset", "garbage as state", "a missing MIDI file"])
def test_bad_files(paths, tmp_path, use):
    with aerie.load(paths["zamcomp"]) as comp:
        action = {"another plug-in's preset": preset_of_another(paths, tmp_path),
                  "garbage as state": set_state(b"garbage"),
                  "a missing MIDI file": lambda c: c.process(noise(0.1), midi=tmp_path / "none.mid")}[use]
        with pytest.raises(aerie.BadInputFile) as caught:
            action(comp)
        assert use == "a missing MIDI file" or isinstance(caught.value, aerie.BadPreset)
