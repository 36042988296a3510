"""docs/python.md's code runs: it is quoted from docs_examples.py, run here
with the build's synth folder as the plug-in folder (so that "kestravian"
is found by name) in a scratch folder."""

import os
import runpy

from conftest import env


def test_the_examples_run(monkeypatch, tmp_path):
    monkeypatch.setenv("VST_PATH", os.path.dirname(env("AERIE_TEST_KESTRAVIAN")))
    monkeypatch.chdir(tmp_path)
    runpy.run_path(os.path.join(os.path.dirname(__file__), "docs_examples.py"), run_name="docs")
