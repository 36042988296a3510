"""examples/python/dataset.py: a grid rendered as Dask tasks gives the same
files, byte for byte, on one worker, on two, and on a cluster given by its
scheduler's address; each point sounds as the plug-in rendering it alone;
a point that fails is a row of the table and the others are rendered."""

import csv
import os
import shutil
import socket
import subprocess
import sys
import time

import mido
import numpy as np
import pytest

import aerie
from conftest import env, read_wav

PARAM = "Cutoff"
# The grid the cluster script renders too: 2 phrases x 3 presets x 2 values.
GRID = ["--midi", "phrases/0.mid", "phrases/1.mid", "--preset", "default", "bright.fxp", "dark.fxp",
        "--param", f"{PARAM}=0.2,0.8"]


def example(paths):
    return os.path.join(paths["source"], "examples", "python", "dataset.py")


@pytest.fixture(scope="module")
def synth():
    return env("AERIE_TEST_POLYSYNTH")


@pytest.fixture(scope="module")
def job(paths, synth, tmp_path_factory):
    """A folder with two short phrases, a preset of the synth (bright.fxp)
    and one of another plug-in (dark.fxp, ZamComp's: the synth refuses it)."""
    folder = tmp_path_factory.mktemp("dataset")
    (folder / "phrases").mkdir()
    for k, notes in enumerate([(60, 64), (57, 69)]):
        song = mido.MidiFile(ticks_per_beat=480)
        track = mido.MidiTrack()
        track += [mido.Message("note_on", note=n, velocity=100, time=0) for n in notes]
        track += [mido.Message("note_off", note=n, time=240 if i == 0 else 0) for i, n in enumerate(notes)]
        song.tracks.append(track)
        song.save(folder / "phrases" / f"{k}.mid")
    with aerie.load(synth) as plugin:
        plugin.program = 2
        plugin.parameters.resonanc = 0.6
        plugin.save_preset(folder / "bright.fxp")
    with aerie.load(paths["zamcomp"]) as comp:
        comp.save_preset(folder / "dark.fxp")
    return folder


def render(paths, synth, folder, *args):
    start = time.monotonic()
    run = subprocess.run([sys.executable, example(paths), synth, *GRID, *args],
                         cwd=folder, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return time.monotonic() - start


def files(folder):
    out = {}
    for root, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = f.read()
    return out


@pytest.fixture(scope="module")
def one_worker(paths, synth, job):
    seconds = render(paths, synth, job, "--workers", "1", "-o", "one")
    print(f"1 worker: {seconds:.2f} s")
    with open(job / "one" / "metadata.csv", newline="") as f:
        return list(csv.DictReader(f))


def test_two_workers_write_the_bytes_of_one(paths, synth, job, one_worker):
    seconds = render(paths, synth, job, "--workers", "2", "-o", "two")
    print(f"2 workers: {seconds:.2f} s")
    one, two = files(job / "one"), files(job / "two")
    assert len(one) == 1 + 8  # the table and the points not failed
    assert one == two


def sounds_alone(synth, job, row):
    with aerie.load(synth) as plugin:
        if row["preset"] != "default":
            plugin.load_preset(job / row["preset"])
        plugin.parameters[PARAM] = float(row[PARAM])
        return plugin.render(midi=str(job / row["phrase"]))


def test_each_point_sounds_as_the_plug_in_alone_and_a_failed_one_is_a_row(synth, job, one_worker):
    assert [row["index"] for row in one_worker] == [str(i) for i in range(12)]
    for row in one_worker:
        if row["preset"] == "dark.fxp":  # ZamComp's: the synth refuses it, the rest is rendered
            assert (row["status"], row["file"]) == ("failed", "")
            assert row["error"].startswith("BadPreset: ")
            continue
        assert (row["status"], row["error"]) == ("ok", "")
        audio = read_wav(job / "one" / row["file"])
        assert np.array_equal(audio, sounds_alone(synth, job, row))
        assert int(row["frames"]) == audio.shape[1] and float(row["peak"]) == np.max(np.abs(audio)) > 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.skipif(shutil.which("dask") is None, reason="no dask command (python3-distributed)")
def test_a_cluster_given_by_its_scheduler_address(paths, synth, job, one_worker):
    folder = job / "cluster"
    (folder / "examples" / "python").mkdir(parents=True)
    shutil.copy(example(paths), folder / "examples" / "python")
    shutil.copytree(job / "phrases", folder / "phrases")
    for preset in ("bright.fxp", "dark.fxp"):
        shutil.copy(job / preset, folder)
    run = subprocess.run(["sh", os.path.join(os.path.dirname(__file__), "dask_cluster.sh"), str(free_port()), synth],
                         cwd=folder, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr + (folder / "worker.log").read_text()
    assert files(folder / "dataset") == files(job / "one")
