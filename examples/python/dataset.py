#!/usr/bin/python3
"""Renders a dataset through a VST 2 plug-in on a Dask cluster.

The grid is every combination of a MIDI phrase, a preset and a value of
each swept parameter; each point is one Dask task that renders the phrase
through the plug-in and answers the audio. The audio files go into
OUTPUT/audio/ (float32 WAV, numbered in grid order) and one row per point
into OUTPUT/metadata.csv. Each worker loads the plug-in once and reuses it
for every task it runs: before each render the plug-in gets back the state
it had when loaded, so a point sounds the same whichever worker renders it
and whatever that worker rendered before.

A task that fails with an aerie error (a preset for another plug-in, a
phrase that cannot be read, with --isolated a plug-in that crashes or
hangs) is a failed row of the table; the other points are rendered.

    /usr/bin/python3 examples/python/dataset.py kestravian \\
        --midi a.mid b.mid --preset default warm.fxp \\
        --param Cutoff=0.2,0.5,0.8 -o dataset

Without --scheduler a cluster of local worker processes is started; with
--scheduler tcp://HOST:8786 the tasks go to that cluster's workers, which
must see the plug-in, the phrases and the presets at the same paths (the
table and audio files are written here, by this program).
"""

import argparse
import csv
import io
import itertools
import os
import struct
import sys
import threading
import time
import uuid

import numpy as np

import aerie
from distributed import Client, LocalCluster, as_completed, get_worker
from distributed.diagnostics.plugin import WorkerPlugin

class PluginCache(WorkerPlugin):
    """The plug-ins a worker has loaded, by their load() arguments, each
    with the state it had when loaded. A task takes one and gives it back;
    a worker with several threads loads one per thread that needs it at
    the same time. They are closed when the run is over (the cache is
    unregistered) or the worker ends."""

    def setup(self, worker):
        self._lock = threading.Lock()
        self._idle = {}

    def take(self, settings):
        with self._lock:
            idle = self._idle.get(settings)
            if idle:
                return idle.pop()
        path, sample_rate, block_size, isolated, timeout = settings
        plugin = aerie.load(path, sample_rate=sample_rate, block_size=block_size, isolated=isolated,
                            timeout=timeout)
        try:
            programs = len(plugin.program_names)
            return plugin, plugin.state, plugin.program if programs else None
        except BaseException:
            plugin.close()
            raise

    def give(self, settings, loaded):
        with self._lock:
            self._idle.setdefault(settings, []).append(loaded)

    def teardown(self, worker):
        with self._lock:
            loaded = [entry for entries in self._idle.values() for entry in entries]
            self._idle.clear()
        for plugin, _, _ in loaded:
            try:
                plugin.close()
            except aerie.AerieError:
                pass


def render_point(cache, settings, point):
    """One task: renders a grid point with the worker's plug-in (from the
    cache of this name) and answers (None, audio), or (the error, None)."""
    cache = get_worker().plugins[cache]
    phrase, preset, values, duration, tail = point
    try:
        loaded = cache.take(settings)
    except aerie.AerieError as e:
        return f"{type(e).__name__}: {e}", None
    plugin, state, program = loaded
    unknown = [name for name, _ in values if name not in plugin.parameters]
    if unknown:
        cache.give(settings, loaded)
        return f"no parameter {unknown[0]!r}; the plug-in has {', '.join(map(repr, plugin.parameters))}", None
    try:
        plugin.state = state  # what it was when loaded, whatever ran before
        if program is not None:
            plugin.program = program
        if preset is not None:
            plugin.load_preset(preset)
        for name, value in values:
            plugin.parameters[name] = value
        audio = plugin.render(duration, midi=phrase, tail=tail)
    except aerie.AerieError as e:
        # Its state is not known any more (after a crash it is gone): the
        # next task loads a fresh one.
        try:
            plugin.close()
        except aerie.AerieError:
            pass
        return f"{type(e).__name__}: {e}", None
    cache.give(settings, loaded)
    return None, audio


def wav_bytes(audio, sample_rate):
    """(channels, frames) float32 audio as a float WAV file."""
    data = np.ascontiguousarray(audio.T, dtype="<f4").tobytes()
    channels = audio.shape[0]
    fmt = struct.pack("<HHIIHH", 3, channels, sample_rate, sample_rate * channels * 4, channels * 4, 32)
    return (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE" +
            b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data)


def sweep(text):
    """NAME=V1,V2,... as (name, [values])."""
    name, sep, values = text.rpartition("=")
    try:
        numbers = [float(v) for v in values.split(",")]
    except ValueError:
        numbers = []
    if not sep or not name or not numbers or not all(0.0 <= v <= 1.0 for v in numbers):
        raise argparse.ArgumentTypeError(f"{text!r}: NAME=V1,V2,... with values from 0 to 1")
    return name, numbers


def seconds(text):
    value = float(text)
    if not (np.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"{text!r}: seconds from 0")
    return value


def arguments(argv):
    parser = argparse.ArgumentParser(
        description="Renders every (MIDI phrase, preset, parameter values) combination through a VST 2 plug-in "
                    "as Dask tasks: float WAV files and a metadata table (CSV).")
    parser.add_argument("plugin", help="the plug-in: a module's path, or a name found as vst2host finds one")
    parser.add_argument("--midi", nargs="+", required=True, metavar="FILE", help="the phrases: Standard MIDI Files")
    parser.add_argument("--preset", nargs="+", default=["default"], metavar="FILE",
                        help='.fxp presets; "default" is the plug-in as loaded (default: only that)')
    parser.add_argument("--param", action="append", type=sweep, default=[], metavar="NAME=V1,V2,...",
                        help="a parameter swept over these values (0..1); repeat for more")
    parser.add_argument("--duration", type=seconds, metavar="SECONDS",
                        help="seconds per render (default: each phrase to its last event, then the tail)")
    parser.add_argument("--tail", type=seconds, default=1.0, metavar="SECONDS",
                        help="seconds after the last event when no --duration is given (default: 1)")
    parser.add_argument("--sample-rate", type=int, default=44100, metavar="HZ", help="Hz (default: 44100)")
    parser.add_argument("--block-size", type=int, default=512, metavar="FRAMES", help="frames (default: 512)")
    parser.add_argument("--isolated", action="store_true",
                        help="run the plug-in in a child process: a crash or hang fails that point only")
    parser.add_argument("--timeout", type=seconds, default=30.0, metavar="SECONDS",
                        help="with --isolated, seconds the plug-in may go without progress before it counts "
                             "as hung (default: 30; 0: no limit)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running Dask scheduler (tcp://HOST:8786); default: a local cluster")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="worker processes of the local cluster (default: one per core)")
    parser.add_argument("-o", "--output", default="dataset", help="the output folder (default: dataset)")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers: at least 1")
    names = [name for name, _ in args.param]
    if len(set(names)) != len(names):
        parser.error("--param: each parameter once")
    return args


def grid(args):
    """The points in table order: phrase, then preset, then the values."""
    names = [name for name, _ in args.param]
    for phrase, preset in itertools.product(args.midi, args.preset):
        for values in itertools.product(*(values for _, values in args.param)):
            yield phrase, preset, list(zip(names, values))


def run(args, client):
    # Paths go to the workers whole (a worker's own folder may be another);
    # the table keeps them as given. A plug-in's name is looked up there.
    plugin = os.path.abspath(args.plugin) if os.path.exists(args.plugin) else args.plugin
    settings = (plugin, args.sample_rate, args.block_size, args.isolated, args.timeout)
    cache = f"aerie-plugins-{uuid.uuid4().hex}"  # this run's: others may share the cluster
    client.register_worker_plugin(PluginCache(), name=cache)
    try:
        return write(args, client, cache, settings)
    finally:
        client.unregister_worker_plugin(cache)


def write(args, client, cache, settings):
    """Renders the grid and writes the audio files and the table; answers
    the number of failed points and of all."""
    points = list(grid(args))
    futures = {}
    for i, (phrase, preset, values) in enumerate(points):
        point = (os.path.abspath(phrase), None if preset == "default" else os.path.abspath(preset), values,
                 args.duration, None if args.duration is not None else args.tail)
        futures[client.submit(render_point, cache, settings, point, pure=False)] = i

    audio_dir = os.path.join(args.output, "audio")
    os.makedirs(audio_dir, exist_ok=True)
    rows = [None] * len(points)
    for done, future in enumerate(as_completed(futures), 1):
        i = futures.pop(future)
        try:
            error, audio = future.result()
        except Exception as e:  # the task itself failed (a worker died with an in-process plug-in)
            error, audio = f"{type(e).__name__}: {e}", None
        future.release()
        file = ""
        if error is None:
            file = f"audio/{i:05d}.wav"
            with open(os.path.join(args.output, file), "wb") as f:
                f.write(wav_bytes(audio, args.sample_rate))
        rows[i] = (file, "failed" if error else "ok", error or "",
                   audio.shape[1] if error is None else "",
                   repr(float(np.max(np.abs(audio), initial=0.0))) if error is None else "")
        print(f"[{done}/{len(points)}] point {i}: {error or file}", file=sys.stderr)

    table = io.StringIO()
    out = csv.writer(table, lineterminator="\n")
    out.writerow(["index", "phrase", "preset"] + [name for name, _ in args.param] +
                 ["status", "error", "file", "frames", "peak"])
    for i, ((phrase, preset, values), (file, status, error, frames, peak)) in enumerate(zip(points, rows)):
        out.writerow([i, phrase, preset] + [repr(v) for _, v in values] + [status, error, file, frames, peak])
    with open(os.path.join(args.output, "metadata.csv"), "w", encoding="utf-8", newline="") as f:
        f.write(table.getvalue())
    return sum(1 for row in rows if row[1] == "failed"), len(points)


def main(argv=None):
    args = arguments(argv)
    start = time.monotonic()
    if args.scheduler:
        with Client(args.scheduler) as client:
            failed, total = run(args, client)
        where = args.scheduler
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None) as cluster, Client(cluster) as client:
            failed, total = run(args, client)
        where = f"{args.workers} local worker{'s' if args.workers != 1 else ''}"
    print(f"{total - failed} of {total} points rendered ({failed} failed) in {time.monotonic() - start:.2f} s "
          f"on {where}: {os.path.join(args.output, 'metadata.csv')}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
