"""Shared fixtures: the modules under test (built by the tree, or Debian's
ZamComp, which scripts/setup installs for linux64), vst2host to compare
with, and float WAV files in and out."""

import os
import struct
import subprocess

import numpy as np
import pytest

ZAMCOMP = "/usr/lib/vst/ZamComp-vst.so"


def env(name):
    value = os.environ.get(name)
    assert value, f"{name} is not set: run these tests through ctest"
    return value


@pytest.fixture(scope="session")
def paths():
    fakes = env("AERIE_TEST_FAKES")
    return {
        "vst2host": env("AERIE_TEST_VST2HOST"),
        "kestravian": env("AERIE_TEST_KESTRAVIAN"),
        "tremolo": env("AERIE_TEST_TREMOLO"),
        "source": env("AERIE_TEST_SOURCE"),
        "build": env("AERIE_TEST_BUILD"),
        "zamcomp": ZAMCOMP,
        "demo": os.path.join(env("AERIE_TEST_SOURCE"), "examples", "demo.mid"),
        **{name: os.path.join(fakes, f"fake_{name}.so")
           for name in ("effect", "impulse", "latency", "midi_out", "no_entry", "null", "bad_magic", "crash_entry",
                                "crash_render", "hang_render")},
    }


def noise(seconds, channels=2, rate=44100, seed=7):
    rng = np.random.default_rng(seed)
    return (0.4 * rng.standard_normal((channels, round(seconds * rate)))).astype(np.float32)


def write_wav(path, audio, rate=44100):
    """A float32 WAV file of (channels, frames) audio."""
    data = np.ascontiguousarray(audio.T, dtype="<f4").tobytes()
    channels = audio.shape[0]
    fmt = struct.pack("<HHIIHH", 3, channels, rate, rate * channels * 4, channels * 4, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    """A float32 WAV file (as vst2host writes them) as (channels, frames)."""
    with open(path, "rb") as f:
        raw = f.read()
    pos, channels, data = 12, None, None
    while pos + 8 <= len(raw):
        tag, size = raw[pos:pos + 4], struct.unpack("<I", raw[pos + 4:pos + 8])[0]
        body = raw[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            channels = struct.unpack("<H", body[2:4])[0]
        elif tag == b"data":
            data = body
        pos += 8 + size + (size & 1)
    return np.frombuffer(data, dtype="<f4").reshape(-1, channels).T.copy()


@pytest.fixture
def vst2host(paths, tmp_path):
    """Runs `vst2host render ... -o out.wav` and answers the output."""
    def render(*args):
        out = tmp_path / "vst2host.wav"
        run = subprocess.run([paths["vst2host"], "render", *map(str, args), "-o", str(out)],
                             capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        return read_wav(out)
    return render
