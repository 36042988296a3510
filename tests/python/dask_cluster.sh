#!/bin/sh
# Runs examples/python/dataset.py on a cluster started the way
# docs/python.md shows (a scheduler, a worker program), all on this
# machine; test_docs.py runs it in a folder holding examples/python/,
# phrases/ and the presets, and checks what it wrote.
# Usage: dask_cluster.sh PORT PLUGIN
set -eu
HOST=127.0.0.1
PORT=$1
PLUGIN=$2
cleanup() {  # the workers first: they close at once while the scheduler is there
  if [ -n "${worker:-}" ]; then kill -INT "$worker"; wait "$worker" || true; fi
  if [ -n "${scheduler:-}" ]; then kill -INT "$scheduler"; wait "$scheduler" || true; fi
}
trap cleanup EXIT
# [doc:dask-cluster]
# On the scheduler's machine:
dask scheduler --port "$PORT" >scheduler.log 2>&1 & scheduler=$!
# On every worker's machine: one worker process per core, one thread each.
dask worker "tcp://$HOST:$PORT" --nworkers "$(nproc)" --nthreads 1 >worker.log 2>&1 & worker=$!
# Anywhere: the same script, given the scheduler's address.
/usr/bin/python3 examples/python/dataset.py "$PLUGIN" --midi phrases/*.mid --preset default bright.fxp dark.fxp \
    --param Cutoff=0.2,0.8 --scheduler "tcp://$HOST:$PORT" -o dataset
# [/doc:dask-cluster]
