"""validate() runs vst2host validate's tests and reports as it does: the
same results per test, JUnit XML; the audio thread watch, which cannot see
a plug-in's calls inside the interpreter, says so instead of passing."""

import json
import os
import subprocess
import xml.etree.ElementTree as ET

import pytest

import aerie
from conftest import env


def faulty(name):
    return os.path.join(env("AERIE_TEST_FAULTY"), f"faulty_{name}.so")


@pytest.mark.parametrize("fault", ["none", "nan", "crash", "exit"])
def test_the_results_are_vst2host_validates(paths, fault):
    only = ["loading", "processing"]
    report = aerie.validate(faulty(fault), only=only, timeout=2)
    run = subprocess.run([paths["vst2host"], "validate", faulty(fault), "--json", "--timeout", "2",
                          *[a for o in only for a in ("--only", o)]], capture_output=True, text=True)
    expected = json.loads(run.stdout)["modules"][0]["tests"]
    assert [(t.name, t.status, t.failures) for t in report.tests] == \
        [(t["name"], t["result"], t["failures"]) for t in expected]
    assert report.passed == (fault == "none") == (run.returncode == 0)
    assert all(t.message for t in report.tests if t.status == "failed")


def test_the_audio_thread_watch_says_it_cannot_see(tmp_path):
    report = aerie.validate(faulty("allocate"), only="realtime")
    (safety,) = report.tests
    assert (safety.name, safety.status, report.passed) == ("realtime.safety", "skipped", True)
    assert "Python" in safety.message
    report.to_junit(tmp_path / "report.xml")
    case = ET.parse(tmp_path / "report.xml").find(".//testcase")
    assert case.get("name") == "realtime.safety" and case.find("skipped") is not None


@pytest.mark.parametrize("arguments", [{"strictness": 0}, {"strictness": 11}, {"only": ["no-such-group"]},
                                       {"timeout": 0}])
def test_bad_arguments(arguments):
    with pytest.raises(aerie.BadArgument):
        aerie.validate(faulty("none"), **arguments)
