"""examples/python/dataset.py: a grid rendered as Dask tasks gives the same
files, byte for byte, on one worker and on two; each point sounds as the
plug-in rendering it alone; a point that fails is a row of the table and
the others are rendered. (test_docs.py runs it on a cluster given by its
scheduler's address, with these helpers.)"""

import csv
import os
import shutil
import subprocess
import sys
import time

import mido
import numpy as np
import pytest

import aerie
from conftest import ZAMCOMP, env, read_wav

# The grid docs/python.md's cluster commands render too: 2 phrases x 3 presets x 2 values.
GRID = ["--midi", "phrases/0.mid", "phrases/1.mid", "--preset", "default", "bright.fxp", "dark.fxp",
        "--param", "Cutoff=0.2,0.8"]


def make_job(folder):
    """A folder with the example, two short phrases, a preset of the synth
    (bright.fxp) and one of another plug-in (dark.fxp, ZamComp's: the synth
    refuses it)."""
    (folder / "examples" / "python").mkdir(parents=True)
    shutil.copy(os.path.join(env("AERIE_TEST_SOURCE"), "examples", "python", "dataset.py"),
                folder / "examples" / "python")
    (folder / "phrases").mkdir()
    for k, notes in enumerate([(60, 64), (57, 69)]):
        song = mido.MidiFile(ticks_per_beat=480)
        track = mido.MidiTrack()
        track += [mido.Message("note_on", note=n, velocity=100, time=0) for n in notes]
        track += [mido.Message("note_off", note=n, time=240 if i == 0 else 0) for i, n in enumerate(notes)]
        song.tracks.append(track)
        song.save(folder / "phrases" / f"{k}.mid")
    with aerie.load(env("AERIE_TEST_POLYSYNTH")) as synth:
        synth.program = 2
        synth.parameters.resonanc = 0.6
        synth.save_preset(folder / "bright.fxp")
    with aerie.load(ZAMCOMP) as comp:
        comp.save_preset(folder / "dark.fxp")
    return folder


def table(folder):
    with open(folder / "metadata.csv", newline="") as f:
        return list(csv.DictReader(f))


def check_grid(job, output):
    """The rows of GRID's table: the synth refuses ZamComp's preset, and
    every other point sounds as the synth rendering it alone."""
    rows = table(job / output)
    assert [row["index"] for row in rows] == [str(i) for i in range(12)]
    for row in rows:
        if row["preset"] == "dark.fxp":
            assert (row["status"], row["file"]) == ("failed", "")
            assert row["error"].startswith("BadPreset: ")
            continue
        assert (row["status"], row["error"]) == ("ok", "")
        with aerie.load(env("AERIE_TEST_POLYSYNTH")) as synth:
            if row["preset"] != "default":
                synth.load_preset(job / row["preset"])
            synth.parameters["Cutoff"] = float(row["Cutoff"])
            alone = synth.render(midi=str(job / row["phrase"]))
        audio = read_wav(job / output / row["file"])
        assert np.array_equal(audio, alone)
        assert int(row["frames"]) == audio.shape[1] and float(row["peak"]) == np.max(np.abs(audio)) > 0


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    return make_job(tmp_path_factory.mktemp("dataset"))


def render(job, plugin, *args):
    start = time.monotonic()
    run = subprocess.run([sys.executable, "examples/python/dataset.py", plugin, *args],
                         cwd=job, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    return time.monotonic() - start


def files(folder):
    out = {}
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as f:
                out[os.path.relpath(os.path.join(root, name), folder)] = f.read()
    return out


def test_two_workers_write_the_bytes_of_one(job):
    for workers in (1, 2):
        seconds = render(job, env("AERIE_TEST_POLYSYNTH"), *GRID, "--workers", str(workers), "-o", f"w{workers}")
        print(f"{workers} worker(s): {seconds:.2f} s")
    one = files(job / "w1")
    assert len(one) == 1 + 8  # the table and the points not failed
    assert files(job / "w2") == one
    check_grid(job, "w1")


def test_a_crash_in_isolation_fails_its_point_only(job):
    crashing = os.path.join(env("AERIE_TEST_FAULTY"), "faulty_crash.so")  # crashes on its 5th resume, one per point
    render(job, crashing, "--midi", "phrases/0.mid", "phrases/1.mid", "--param", "Gain=0.1,0.2,0.3",
           "--duration", "0.1", "--isolated", "--workers", "1", "-o", "crash")
    rows = table(job / "crash")
    failed = [row for row in rows if row["status"] == "failed"]
    assert len(rows) == 6 and len(failed) == 1
    assert failed[0]["error"].startswith("PluginCrashed: the module crashed while")
    assert all(os.path.isfile(job / "crash" / row["file"]) for row in rows if row["status"] == "ok")
