#!/usr/bin/python3
"""Two plug-ins on two Python threads against the same two one after the
other: the GIL is released while they run, so on two free cores the
threads should give about twice the throughput.

The same two plug-ins in two processes, each with an interpreter and a GIL
of its own, give the ceiling the machine sets: what two threads fall short
of it is what the GIL costs; what the processes fall short of 2x is the
machine's (two cores sharing caches, memory, a host).

    PYTHONPATH=build/linux64/python /usr/bin/python3 bench/python_threads.py [MODULE]"""

import multiprocessing
import sys
import threading
import time

import numpy as np

import aerie

REPEATS = 5


def noise():
    return np.random.default_rng(3).uniform(-0.5, 0.5, (2, 30 * 44100)).astype(np.float32)


def best(run):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return min(times)


def in_process(module, barrier, results):
    """One of the two processes: its plug-in processed REPEATS times, each
    run started with the other process's; answers its fastest run."""
    audio = noise()
    with aerie.load(module) as plugin:
        plugin.process(audio)
        times = []
        for _ in range(REPEATS):
            barrier.wait()
            t0 = time.perf_counter()
            plugin.process(audio)
            times.append(time.perf_counter() - t0)
    results.put(min(times))


def two_processes(module):
    """The slower process's fastest run, the two started together."""
    spawn = multiprocessing.get_context("spawn")  # a fresh interpreter, no copy of this one's threads
    barrier, results = spawn.Barrier(2), spawn.Queue()
    processes = [spawn.Process(target=in_process, args=(module, barrier, results)) for _ in range(2)]
    for p in processes:
        p.start()
    times = [results.get() for _ in processes]
    for p in processes:
        p.join()
    return max(times)


def main():
    module = sys.argv[1] if len(sys.argv) > 1 else "/usr/lib/vst/ZamComp-vst.so"
    audio = noise()
    plugins = [aerie.load(module) for _ in range(2)]

    def serial():
        for p in plugins:
            p.process(audio)

    # Two threads kept for every run, each run started together as the
    # processes' are, so that starting a thread is not timed.
    start, end = threading.Barrier(3), threading.Barrier(3)
    runs = REPEATS + 1

    def worker(plugin):
        for _ in range(runs):
            start.wait()
            plugin.process(audio)
            end.wait()

    def threaded():
        start.wait()
        end.wait()

    threads = [threading.Thread(target=worker, args=(p,)) for p in plugins]
    for t in threads:
        t.start()
    one, two = best(serial), best(threaded)
    cpu, wall = time.process_time(), time.perf_counter()
    threaded()
    cores = (time.process_time() - cpu) / (time.perf_counter() - wall)
    for t in threads:
        t.join()
    for p in plugins:
        p.close()
    apart = two_processes(module)
    print(f"{module}: one after the other {one * 1000:.1f} ms, two threads {two * 1000:.1f} ms, speed-up {one / two:.2f}x "
          f"(the threads had {cores:.2f} cores' worth of CPU time: below 2, the machine was busy); "
          f"two processes {apart * 1000:.1f} ms, speed-up {one / apart:.2f}x")


if __name__ == "__main__":
    main()
