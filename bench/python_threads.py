#!/usr/bin/python3
"""Two plug-ins on two Python threads against the same two one after the
other: the GIL is released while they run, so on two free cores the
threads should give about twice the throughput.

    PYTHONPATH=build/linux64/python /usr/bin/python3 bench/python_threads.py [MODULE]"""

import sys
import threading
import time

import numpy as np

import aerie

REPEATS = 5


def best(run):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    module = sys.argv[1] if len(sys.argv) > 1 else "/usr/lib/vst/ZamComp-vst.so"
    audio = np.random.default_rng(3).uniform(-0.5, 0.5, (2, 30 * 44100)).astype(np.float32)
    plugins = [aerie.load(module) for _ in range(2)]

    def serial():
        for p in plugins:
            p.process(audio)

    def threaded():
        threads = [threading.Thread(target=p.process, args=(audio,)) for p in plugins]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    one, two = best(serial), best(threaded)
    cpu, wall = time.process_time(), time.perf_counter()
    threaded()
    cores = (time.process_time() - cpu) / (time.perf_counter() - wall)
    print(f"{module}: one after the other {one * 1000:.1f} ms, two threads {two * 1000:.1f} ms, speed-up {one / two:.2f}x "
          f"(the threads had {cores:.2f} cores' worth of CPU time: below 2, the machine was busy)")
    for p in plugins:
        p.close()


if __name__ == "__main__":
    main()
