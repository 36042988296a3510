"""The code docs/python.md shows, as one script run by test_docs.py: each
block of the page is quoted from a marked region here, and
tests/docs/check_docs.py keeps the two equal. Checks sit between the
regions."""

import os

demo = os.path.join(os.environ["AERIE_TEST_SOURCE"], "examples", "demo.mid")

# [doc:first-render]
import numpy as np
import aerie

rng = np.random.default_rng(1)
audio = rng.uniform(-0.5, 0.5, size=(2, 44100)).astype(np.float32)  # 1 s of stereo noise
with aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    print(comp.name, comp.vendor, comp.num_inputs, comp.num_outputs)
    out = comp.process(audio)
print(out.shape, out.dtype)  # (1, 44100) float32: ZamComp has one output
# [/doc:first-render]
assert out.shape == (1, 44100)

audio = np.zeros((2, 44100), np.float32)
# [doc:effects]
with aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    print(list(comp.parameters))           # ['Attack', 'Release', 'Knee', ...]
    comp.parameters["Ratio"] = 0.6         # by name
    comp.parameters.threshold.value = 0.3  # as an attribute
    print(comp.parameters.threshold.display, comp.parameters.threshold.unit)
    out = comp.process(audio, tail=0.5)    # half a second more at the end
    late = comp.process(audio, compensate_latency=False)
# [/doc:effects]
assert out.shape[1] == 44100 + 22050 and late.shape[1] == 44100

# [doc:instruments]
import mido

with aerie.load("kestravian") as synth:
    song = synth.render(midi=demo)  # a MIDI file: its tempo map, then 1 s of tail
    chord = synth.render(2.0, midi=[(b"\x90\x3c\x64", 0.0), (b"\x90\x40\x64", 0.0), (b"\x80\x3c\x00", 1.5)])
    played = synth.render(2.0, midi=[mido.Message("note_on", note=64, time=0.5),
                                     mido.Message("note_off", note=64, time=1.0)], tempo=96, time_signature=(3, 4))
# [/doc:instruments]
assert chord.shape[1] == played.shape[1] == 88200 and song.shape[1] > 88200

# [doc:automation]
with aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    sweep = np.linspace(0.0, 1.0, audio.shape[1])  # one value per frame
    out = comp.process(audio, automation={"Threshold": sweep, "Ratio": [(0.0, 0.2), (0.5, 0.8)]})
# [/doc:automation]
assert out.shape == (1, 44100)

# [doc:presets]
with aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    comp.parameters.ratio = 0.8
    comp.save_preset("squeeze.fxp")  # the current program
    comp.save_bank("all.fxb")        # every program
    saved = comp.state               # bytes: the plug-in's whole state
    comp.parameters.ratio = 0.1
    comp.state = saved               # back again
    comp.load_preset("squeeze.fxp")
    print(comp.program_names, comp.program)
# [/doc:presets]
assert os.path.exists("squeeze.fxp")

audio = np.random.default_rng(2).uniform(-0.5, 0.5, (2, 8 * 512)).astype(np.float32)
# [doc:streaming]
with aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    whole = comp.process(audio)
    first = comp.process(audio[:, :2048])
    rest = comp.process(audio[:, 2048:], reset=False)  # goes on where the last call stopped
    assert np.array_equal(np.concatenate([first, rest], axis=1), whole)
# [/doc:streaming]
# [doc:chains]
with aerie.load("kestravian") as synth, aerie.load("/usr/lib/vst/ZamComp-vst.so") as comp:
    chain = aerie.Chain([synth, comp])  # channels and MIDI go from each to the next
    out = chain.render(2.0, midi=[(b"\x90\x3c\x64", 0.0)], automation={(1, "Ratio"): [(1.0, 0.9)]})
# [/doc:chains]
assert out.shape == (1, 88200)

audio = np.zeros((2, 44100), np.float32)
# [doc:threads]
from concurrent.futures import ThreadPoolExecutor

comps = [aerie.load("/usr/lib/vst/ZamComp-vst.so") for _ in range(2)]
with ThreadPoolExecutor(max_workers=2) as pool:  # one plug-in per thread
    outs = list(pool.map(lambda comp: comp.process(audio), comps))
for comp in comps:
    comp.close()
# [/doc:threads]
assert len(outs) == 2

# [doc:isolation]
with aerie.load("/usr/lib/vst/ZamComp-vst.so", isolated=True, timeout=10) as comp:  # in a child process
    try:
        out = comp.process(audio)
    except (aerie.PluginCrashed, aerie.PluginHung, aerie.PluginExited) as e:
        print(e)  # "the module crashed while rendering block 12 (from frame 5632) (segmentation fault)"
# [/doc:isolation]
assert out.shape[1] == audio.shape[1]

# [doc:errors]
try:
    aerie.load("/usr/lib/vst/no-such-plugin.so")
except aerie.ModuleNotFound as e:
    print(e)  # the line vst2host prints
except aerie.AerieError as e:  # every error of aerie
    print(type(e).__name__, e)
# [/doc:errors]

# [doc:validate]
report = aerie.validate("/usr/lib/vst/ZamComp-vst.so", strictness=5, only=["loading", "processing"])
print(report.passed, report.counts)  # True {'passed': 12, 'failed': 0, 'skipped': 4}
for test in report.tests:
    if test.status != "passed":
        print(test.name, test.status, test.message, f"{test.time:.3f} s")
report.to_junit("zamcomp.xml")
# [/doc:validate]
assert report.passed and os.path.exists("zamcomp.xml")
