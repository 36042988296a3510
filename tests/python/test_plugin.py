"""A loaded plug-in: who it is, its parameters and programs, its state and
presets, its lifetime, one thread at a time, names and scans."""

import os
import shutil
import threading

import numpy as np
import pytest

import aerie
from conftest import noise


@pytest.fixture
def effect(paths):
    with aerie.load(paths["effect"]) as plugin:
        yield plugin


def test_identity(effect, paths):
    assert (effect.name, effect.vendor, effect.category, effect.is_instrument) == ("Fake Effect", "Kestravian Tests", "effect", False)
    assert effect.unique_id == int.from_bytes(b"Fake", "big")
    assert (effect.num_inputs, effect.num_outputs, effect.latency, effect.tail) == (2, 2, 0, 0)
    assert effect.path == paths["effect"] and effect.sample_rate == 44100 and effect.block_size == 512


def test_parameters_by_name_index_and_attribute(paths):
    with aerie.load(paths["zamcomp"]) as comp:
        params = comp.parameters
        assert list(params)[:3] == ["Attack", "Release", "Knee"] and len(params) == len(params.as_list())
        assert params["Attack"] is params[0] is params.attack or params["Attack"].index == params.attack.index == 0
        params.attack = 0.5
        assert params[0].value == 0.5 and params["Attack"].display != "" and params["Attack"].unit == "ms"
        params["Release"] = 0.25
        params[1].value = 0.75
        assert params.release.value == 0.75
        assert params[-1].index == len(params) - 1


def test_programs(effect):
    assert effect.program_names == ["Unity", "Half"]
    effect.program = 1
    assert effect.program == 1


def test_state_and_presets_restore_the_plug_in(paths, tmp_path):
    with aerie.load(paths["zamcomp"]) as comp:
        audio = noise(0.5)
        comp.parameters.threshold = 0.2
        comp.parameters.ratio = 0.9
        state, wanted = comp.state, comp.process(audio)
        comp.save_preset(tmp_path / "p.fxp")
        comp.save_bank(tmp_path / "b.fxb")
        for restore in (lambda: setattr(comp, "state", state), lambda: comp.load_preset(tmp_path / "p.fxp"),
                        lambda: comp.load_bank(tmp_path / "b.fxb")):
            comp.parameters.threshold = 1.0
            restore()
            assert comp.parameters.threshold.value == pytest.approx(0.2)
            assert np.array_equal(comp.process(audio), wanted)


@pytest.mark.parametrize("isolated", [False, True])
def test_close_ends_every_use(paths, isolated):
    plugin = aerie.load(paths["effect"], isolated=isolated)
    with plugin:
        pass
    plugin.close()  # twice is harmless
    for use in (lambda: plugin.process(noise(0.1)), lambda: plugin.parameters, lambda: plugin.state):
        with pytest.raises(aerie.WrongState, match="closed"):
            use()


@pytest.mark.parametrize("isolated", [False, True])  # isolated: the GIL released while the child renders
def test_one_thread_at_a_time(paths, isolated):
    audio = noise(120)  # long enough for the main thread to call in while it renders
    with aerie.load(paths["zamcomp"], isolated=isolated) as comp:
        refused = []
        for _ in range(3):
            worker = threading.Thread(target=comp.process, args=(audio,))
            worker.start()
            while worker.is_alive() and not refused:
                try:
                    comp.program
                except aerie.PluginBusy as e:
                    refused.append(str(e))
            worker.join()
            if refused:
                break
        assert refused and "another thread" in refused[0]
        assert comp.process(audio[:, :441]).shape == (1, 441)  # free again


def test_names_resolve_like_vst2host(paths, tmp_path, monkeypatch):
    for name in ("effect", "impulse"):
        shutil.copy(paths[name], tmp_path / os.path.basename(paths[name]))
    (tmp_path / "b").mkdir()
    shutil.copy(paths["effect"], tmp_path / "b")  # a fake keeps its name: it is what it does
    monkeypatch.setenv("VST_PATH", str(tmp_path))
    with aerie.load("fake_impulse") as plugin:
        assert plugin.name == "Fake Impulse"
    with pytest.raises(aerie.AmbiguousName, match="b/fake_effect.so"):
        aerie.load("Fake Effect")
    with pytest.raises(aerie.ModuleNotFound):
        aerie.load("No Such Plug-in")


def test_scan_probes_each_module_apart(paths, tmp_path):
    for name in ("effect", "impulse", "crash_entry"):
        shutil.copy(paths[name], tmp_path)
    (tmp_path / "text.so").write_text("not a library")
    found = {os.path.basename(e["path"]): e for e in aerie.scan([tmp_path])}
    assert found["fake_effect.so"]["name"] == "Fake Effect" and found["fake_effect.so"]["num_inputs"] == 2
    assert found["fake_impulse.so"]["is_instrument"]
    assert "crashed" in found["fake_crash_entry.so"]["error"]
    assert "error" in found["text.so"]


def test_every_public_name_has_its_stub_and_every_argument_its_words():
    import ast
    import inspect
    stub = ast.parse(open(os.path.join(os.path.dirname(aerie.__file__), "__init__.pyi")).read())
    declared = {n.name for n in stub.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert set(aerie.__all__) <= declared
    for method in (aerie.Plugin.process, aerie.Plugin.render, aerie.load):
        for name in inspect.signature(method).parameters:
            assert name == "self" or f"{name}:" in method.__doc__ or f"{name} " in method.__doc__, (method, name)
