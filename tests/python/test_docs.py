"""docs/python.md's code runs: it is quoted from docs_examples.py, run here
with the build's synth folder as the plug-in folder (so that "kestravian"
is found by name) in a scratch folder; its cluster commands from
dask_cluster.sh."""

import os
import runpy
import shutil
import socket
import subprocess

import pytest

from conftest import env
from test_dataset import check_grid, make_job


def test_the_examples_run(monkeypatch, tmp_path):
    monkeypatch.setenv("VST_PATH", os.path.dirname(env("AERIE_TEST_KESTRAVIAN")))
    monkeypatch.chdir(tmp_path)
    runpy.run_path(os.path.join(os.path.dirname(__file__), "docs_examples.py"), run_name="docs")


@pytest.mark.skipif(shutil.which("dask") is None, reason="no dask command (python3-distributed)")
def test_the_cluster_commands_run(tmp_path):
    job = make_job(tmp_path)
    with socket.socket() as s:  # a free port for the scheduler
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    run = subprocess.run(["sh", os.path.join(os.path.dirname(__file__), "dask_cluster.sh"), str(port),
                          env("AERIE_TEST_POLYSYNTH")], cwd=job, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr + (job / "worker.log").read_text()
    check_grid(job, "dataset")
