#!/usr/bin/env python3
"""Renders the demo through the Windows build of the host and plug-in (under
wine) and through the Linux build, and checks that the two WAV files agree
sample for sample, within a few units in the last place.

Exits 77 (skipped) when the Linux build is not there to compare with.
"""
import argparse
import pathlib
import struct
import subprocess
import sys

MAX_ULPS = 4


def read_float_wav(path):
    data = pathlib.Path(path).read_bytes()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise SystemExit(f"{path}: not a WAV file")
    pos, fmt, samples = 12, None, None
    while pos + 8 <= len(data):
        chunk, size = data[pos:pos + 4], struct.unpack_from("<I", data, pos + 4)[0]
        body = data[pos + 8:pos + 8 + size]
        if chunk == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
        elif chunk == b"data":
            samples = struct.unpack(f"<{size // 4}f", body)
        pos += 8 + size + (size & 1)
    if fmt is None or samples is None or fmt[0] != 3 or fmt[5] != 32:
        raise SystemExit(f"{path}: not a 32-bit float WAV file")
    return fmt[1], fmt[2], samples


def ordered(x):
    """Maps a float to an integer that counts representable floats in order."""
    i = struct.unpack("<i", struct.pack("<f", x))[0]
    return i if i >= 0 else -(i & 0x7FFFFFFF)


def render(command, out):
    run = subprocess.run(command + ["--out", str(out)], capture_output=True, text=True)
    if run.returncode == 77:  # wine cannot run this program on this machine
        print(run.stdout, end="")
        raise SystemExit(77)
    if run.returncode != 0:
        raise SystemExit(f"render failed ({run.returncode}): {' '.join(command)}\n{run.stdout}{run.stderr}")
    return run.stdout


def main():
    p = argparse.ArgumentParser()
    for name in ("windows-tool", "windows-module", "linux-tool", "linux-module", "midi", "wine-run", "workdir"):
        p.add_argument("--" + name, required=True)
    a = p.parse_args()
    for path in (a.linux_tool, a.linux_module):
        if not pathlib.Path(path).is_file():
            print(f"skipped: {path} is not built (build the linux64 preset first)")
            return 77
    work = pathlib.Path(a.workdir)
    work.mkdir(parents=True, exist_ok=True)
    linux_out, windows_out = work / "demo-linux.wav", work / "demo-windows.wav"
    print(render([a.linux_tool, "render", a.linux_module, "--midi", a.midi], linux_out), end="")
    print(render([a.wine_run, a.windows_tool, "render", a.windows_module, "--midi", a.midi], windows_out), end="")

    lc, lr, ls = read_float_wav(linux_out)
    wc, wr, ws = read_float_wav(windows_out)
    if (lc, lr, len(ls)) != (wc, wr, len(ws)):
        print(f"layouts differ: Linux {lc} ch {lr} Hz {len(ls)} samples, Windows {wc} ch {wr} Hz {len(ws)} samples")
        return 1
    worst, differing, first_bad = 0, 0, None
    for i, (x, y) in enumerate(zip(ls, ws)):
        if x != y:
            differing += 1
            ulps = abs(ordered(x) - ordered(y))
            worst = max(worst, ulps)
            if ulps > MAX_ULPS and first_bad is None:
                first_bad = (i, x, y, ulps)
    print(f"{len(ls)} samples compared: {differing} differ, by at most {worst} units in the last place")
    if first_bad is not None:
        i, x, y, ulps = first_bad
        print(f"sample {i}: Linux {x!r}, Windows {y!r} ({ulps} units apart, {MAX_ULPS} allowed)")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
