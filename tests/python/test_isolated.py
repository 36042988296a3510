"""isolated=True: the plug-in in a child process answers what it answers in
this process, bit for bit; a crash, hang or exit there raises the error
saying where, and this process goes on loading plug-ins."""

import numpy as np
import pytest

import aerie
from conftest import noise


def zamcomp_automated(paths, isolated):
    # 10 s of stereo: more samples than the worker's buffers hold, so the
    # audio crosses in chunks both ways.
    with aerie.load(paths["zamcomp"], isolated=isolated) as comp:
        comp.parameters.threshold = 0.3
        return comp.process(noise(10), automation={"Attack": [(1.0, 0.2), (2.5, 0.9)]}, tail=0.5)


def zamcomp_in_parts(paths, isolated):
    audio = noise(2)
    with aerie.load(paths["zamcomp"], isolated=isolated) as comp:
        return [comp.process(audio[:, a:a + 512 * 20], tempo=97.5, reset=(a == 0))
                for a in range(0, audio.shape[1], 512 * 20)]


def kestravian_demo(paths, isolated):
    with aerie.load(paths["kestravian"], isolated=isolated) as comp:
        return comp.render(midi=paths["demo"])


def midi_sent(paths, isolated):
    with aerie.load(paths["midi_out"], isolated=isolated) as fx:
        return fx.render(0.5, midi=[(b"\x90\x40\x64", 0.1)], return_midi=True)


def settings(paths, isolated):
    """What the plug-in answers: identity, parameters, programs, state."""
    with aerie.load(paths["zamcomp"], isolated=isolated) as comp:
        comp.parameters.attack = 0.25
        comp.parameters[1].value = 0.75
        state = comp.state
        comp.parameters.attack = 0.5
        comp.state = state
        return [(comp.name, comp.vendor, comp.category, comp.unique_id, comp.version, comp.num_inputs,
                 comp.num_outputs, comp.latency, comp.tail, comp.sample_rate, comp.block_size),
                [(p.name, p.value, p.display, p.unit) for p in comp.parameters.as_list()],
                comp.program_names, comp.program, state]


def programs(paths, isolated):
    with aerie.load(paths["effect"], isolated=isolated) as fx:
        fx.program = 1
        return [fx.program_names, fx.program, fx.parameters["Gain"].value, fx.process(noise(0.1))]


def presets(paths, isolated, tmp_path):
    with aerie.load(paths["zamcomp"], isolated=isolated) as comp:
        comp.parameters[3] = 0.125
        comp.save_preset(tmp_path / "p.fxp")
        comp.save_bank(tmp_path / "b.fxb")
        comp.parameters[3] = 0.5
        comp.load_preset(tmp_path / "p.fxp")
        return [(tmp_path / "p.fxp").read_bytes(), (tmp_path / "b.fxb").read_bytes(), comp.state,
                comp.parameters[3].value]


SAME = {"ZamComp automated, in chunks": zamcomp_automated, "ZamComp in parts": zamcomp_in_parts,
        "Kestravian playing the demo": kestravian_demo, "MIDI sent back": midi_sent, "settings": settings,
        "programs": programs}


def same(a, b):
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("job", SAME)
def test_the_same_results_as_in_process(paths, job):
    assert same(SAME[job](paths, True), SAME[job](paths, False))


def test_presets_the_same_as_in_process(paths, tmp_path):
    (tmp_path / "in").mkdir()
    (tmp_path / "out").mkdir()
    assert same(presets(paths, True, tmp_path / "out"), presets(paths, False, tmp_path / "in"))


def test_errors_in_the_child_keep_their_class(paths, tmp_path):
    with aerie.load(paths["effect"]) as other:
        other.save_preset(tmp_path / "other.fxp")
    with aerie.load(paths["zamcomp"], isolated=True) as comp:
        with pytest.raises(aerie.BadPreset, match="other.fxp"):
            comp.load_preset(tmp_path / "other.fxp")
        with pytest.raises(aerie.BadPreset):
            comp.state = b"garbage"
        with pytest.raises(aerie.BadArgument):
            comp.process(noise(0.1), time_signature=(3, 5))
        assert comp.process(noise(0.1)).shape[1] == 4410  # and it serves on
    with pytest.raises(aerie.WrongState, match="closed"):
        comp.process(noise(0.1))
    with pytest.raises(aerie.ModuleNotFound):
        aerie.load(tmp_path / "none.so", isolated=True)
    with pytest.raises(aerie.PluginCrashed, match=r"^the module crashed while creating an instance of the module "
                                                  r"\(calling its entry point\)"):
        aerie.load(paths["crash_entry"], isolated=True)


FAULTS = {  # what fails, how, and where the message says it did
    "a crash": (lambda p: aerie.load(p["crash_render"], isolated=True), lambda fx: fx.render(1.0),
                aerie.PluginCrashed, r"^the module crashed while rendering block 2 \(from frame 512\) \("),
    "a hang": (lambda p: aerie.load(p["hang_render"], isolated=True, timeout=1), lambda fx: fx.process(noise(1)),
               aerie.PluginHung, r"^the module did not answer within 1 s while rendering block 3 \(from frame 1024\)$"),
    "an exit": (lambda p: aerie.load(p["effect"], isolated=True),
                lambda fx: (fx.parameters.__setitem__("Exit", 1.0), fx.process(noise(1))),
                aerie.PluginExited, r"while rendering block 2 \(from frame 512\)"),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_a_failing_plug_in_raises_where_and_the_next_load_works(paths, fault):
    load, use, error, text = FAULTS[fault]
    with load(paths) as fx:
        with pytest.raises(error, match=text):
            use(fx)
        assert fx._impl.closed
        with pytest.raises(error, match=text):  # the same, for every call after
            fx.process(noise(0.1))
    with aerie.load(paths["zamcomp"], isolated=True) as comp:
        assert np.array_equal(comp.process(noise(0.5)), zamcomp_once(paths))


def zamcomp_once(paths):
    with aerie.load(paths["zamcomp"]) as comp:
        return comp.process(noise(0.5))
