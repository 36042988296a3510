#!/usr/bin/python3
"""What the Python module adds to a render: the same job rendered by aerie
in C++ (aerie_render_job_bench) and through the module, each the fastest of
several runs, the module loaded once as the C++ side keeps its module.

    PYTHONPATH=build/linux64/python /usr/bin/python3 bench/python_overhead.py [BUILD]

Jobs: 60 s of stereo noise through ZamComp at 512-frame blocks, and
Kestravian playing examples/demo.mid. Then what isolation (isolated=True)
adds: ZamComp in-process against ZamComp in a child, for the 60 s in one
call and for calls of one 512-frame block each."""

import os
import subprocess
import sys
import time

import numpy as np

import aerie

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "linux64")
REPEATS = 7  # runs per measurement, the fastest kept
ROUNDS = 5   # measurements of each side, taken in turn (a busy machine slows one side less than the other)


def cpp(*args):
    bench = os.path.join(BUILD, "bench", "aerie_render_job_bench")
    return float(subprocess.run([bench, *args, str(REPEATS)], check=True, capture_output=True, text=True).stdout)


def python(render):
    best = float("inf")
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        render()
        best = min(best, time.perf_counter() - t0)
    return best


def main():
    zamcomp = "/usr/lib/vst/ZamComp-vst.so"
    kestravian = os.path.join(BUILD, "synth", "kestravian.so")
    demo = os.path.join(ROOT, "examples", "demo.mid")
    audio = np.random.default_rng(7).uniform(-0.5, 0.5, (2, 60 * 44100)).astype(np.float32)
    with aerie.load(zamcomp) as comp, aerie.load(kestravian) as synth:
        jobs = [("ZamComp, 60 s stereo noise", lambda: cpp(zamcomp, "60"), lambda: python(lambda: comp.process(audio))),
                ("Kestravian, examples/demo.mid", lambda: cpp(kestravian, "--midi", demo),
                 lambda: python(lambda: synth.render(midi=demo)))]
        results = []
        for name, in_cpp, in_python in jobs:
            c = p = float("inf")
            for _ in range(ROUNDS):
                c, p = min(c, in_cpp()), min(p, in_python())
            results.append((name, c, p))
    for name, c, p in results:
        print(f"{name}: C++ {c * 1000:.2f} ms, Python {p * 1000:.2f} ms, overhead {100 * (p / c - 1):+.2f} %")
    isolation(zamcomp, audio)


def isolation(path, audio):
    blocks = -(-audio.shape[1] // 512)
    block = np.ascontiguousarray(audio[:, :512])
    calls = 2000

    def one_block_each(plugin):
        def run():
            for k in range(calls):
                plugin.process(block, reset=(k == 0))
        return run

    with aerie.load(path) as here, aerie.load(path, isolated=True) as away:
        whole = [float("inf")] * 2
        each = [float("inf")] * 2
        for _ in range(ROUNDS):
            for k, plugin in enumerate((here, away)):
                whole[k] = min(whole[k], python(lambda: plugin.process(audio)))
                each[k] = min(each[k], python(one_block_each(plugin)))
    print(f"isolation, ZamComp 60 s in one call: in-process {whole[0] * 1000:.2f} ms, isolated {whole[1] * 1000:.2f} ms, "
          f"{(whole[1] - whole[0]) / blocks * 1e6:+.2f} µs per block")
    print(f"isolation, ZamComp one 512-frame block per call: in-process {each[0] / calls * 1e6:.1f} µs, "
          f"isolated {each[1] / calls * 1e6:.1f} µs, {(each[1] - each[0]) / calls * 1e6:+.1f} µs per block")


if __name__ == "__main__":
    main()
