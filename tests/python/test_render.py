"""Renders from Python are vst2host's renders: the same samples, bit for
bit; in parts they are one render; MIDI in any of its forms plays the same
events; chains map channels and forward MIDI as vst2host's chains do."""

import mido
import numpy as np
import pytest

import aerie
from conftest import noise, write_wav


def test_kestravian_plays_the_demo_as_vst2host_does(paths, vst2host):
    expected = vst2host(paths["kestravian"], "--midi", paths["demo"])
    with aerie.load(paths["kestravian"]) as synth:
        assert synth.is_instrument
        got = synth.render(midi=paths["demo"])
    assert got.dtype == np.float32
    assert np.array_equal(got, expected)


def test_zamcomp_with_a_preset_and_automation_as_vst2host_renders_it(paths, vst2host, tmp_path):
    audio = noise(10)
    write_wav(tmp_path / "in.wav", audio)
    with aerie.load(paths["zamcomp"]) as comp:
        comp.parameters.threshold = 0.3
        comp.parameters["Ratio"] = 0.7
        comp.save_preset(tmp_path / "hard.fxp")
    points = [(1.0, 0.2), (2.5, 0.9), (6.25, 0.5)]
    (tmp_path / "auto.csv").write_text("time,parameter,value\n" + "".join(f"{t!r},Attack,{v!r}\n" for t, v in points))
    expected = vst2host(paths["zamcomp"], "-i", tmp_path / "in.wav", "--preset", tmp_path / "hard.fxp",
                        "--automation", tmp_path / "auto.csv", "--tail", "0.5")
    with aerie.load(paths["zamcomp"]) as comp:
        comp.load_preset(tmp_path / "hard.fxp")
        got = comp.process(audio, automation={"Attack": points}, tail=0.5)
    assert got.shape == expected.shape
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("module", ["zamcomp", "tremolo"])
def test_parts_continued_give_one_render(paths, module):
    audio = noise(3)
    blocks = np.linspace(0, 1, -(-audio.shape[1] // 512))
    with aerie.load(paths[module]) as plugin:
        key = plugin.parameters.as_list()[0].name
        once = plugin.process(audio, tempo=97.5, automation={key: blocks})
        cut = [0, 512 * 40, 512 * 41, 512 * 200, audio.shape[1]]
        parts = [plugin.process(audio[:, a:b], tempo=97.5, reset=(a == 0),
                                automation={key: blocks[a // 512:-(-b // 512)]})
                 for a, b in zip(cut, cut[1:])]
        assert np.array_equal(np.concatenate(parts, axis=1), once)
        assert np.array_equal(plugin.process(audio, tempo=97.5, automation={key: blocks}), once)


def test_automation_per_frame_per_block_and_as_points_agree(paths):
    audio = noise(1)
    frames = audio.shape[1]
    starts = np.arange(0, frames, 512)
    per_block = (starts / frames).astype(np.float32)
    per_frame = (np.arange(frames) / frames).astype(np.float32)
    points = [(s / 44100, float(v)) for s, v in zip(starts, per_block)]
    with aerie.load(paths["zamcomp"]) as comp:
        renders = [comp.process(audio, automation={"threshold": a}) for a in (per_block, per_frame, points)]
        assert not np.array_equal(renders[0], comp.process(audio))
        longer = comp.process(audio, automation={"threshold": per_frame}, tail=0.1)  # the input's length still fits
        assert np.array_equal(longer[:, :frames], renders[0])
    assert np.array_equal(renders[0], renders[1]) and np.array_equal(renders[0], renders[2])


def test_midi_as_tuples_mido_messages_and_a_file_plays_the_same(paths, vst2host, tmp_path):
    notes = [(b"\x90\x3c\x64", 0.0), (b"\x90\x43\x50", 0.25), (b"\x80\x3c\x00", 0.5), (b"\x80\x43\x00", 1.0)]
    messages = [mido.Message("note_on", note=60, velocity=100, time=0.0),
                mido.Message("note_on", note=67, velocity=80, time=0.25),
                mido.Message("note_off", note=60, velocity=0, time=0.25),
                mido.Message("note_off", note=67, velocity=0, time=0.5)]
    song = mido.MidiFile(ticks_per_beat=480)
    track = mido.MidiTrack()
    song.tracks.append(track)
    for m in messages:  # at 120 beats per minute a quarter note is 0.5 s
        track.append(m.copy(time=round(m.time * 960)))
    song.save(tmp_path / "notes.mid")
    expected = vst2host(paths["kestravian"], "--notes", "60:100@0+0.5,67:80@0.25+0.75", "--tail", "0.5")
    with aerie.load(paths["kestravian"]) as synth:
        for midi in (notes, messages, tmp_path / "notes.mid"):
            assert np.array_equal(synth.render(midi=midi, tail=0.5), expected), midi
        assert synth.render(1.25, midi=notes).shape == (expected.shape[0], 55125)


def test_a_chain_is_vst2host_chain(paths, vst2host, tmp_path):
    audio = noise(2, channels=1)
    write_wav(tmp_path / "in.wav", audio)
    expected = vst2host(paths["tremolo"], paths["zamcomp"], "-i", tmp_path / "in.wav", "--tail", "0")
    with aerie.load(paths["tremolo"]) as trem, aerie.load(paths["zamcomp"]) as comp:
        chain = aerie.Chain([trem, comp])
        assert np.array_equal(chain.process(audio[0]), expected)
        alone = comp.process(audio)  # each plug-in still renders alone
        assert np.array_equal(alone, comp.process(audio))


def test_a_plug_in_streams_in_one_chain_at_a_time(paths):
    audio = noise(1)
    with aerie.load(paths["tremolo"]) as trem, aerie.load(paths["zamcomp"]) as comp:
        chain = aerie.Chain([trem, comp])
        whole = chain.process(audio)
        comp.process(audio)  # takes comp out of the chain's stream
        with pytest.raises(aerie.WrongState, match="another chain"):
            chain.process(audio, reset=False)
        parts = [chain.process(audio[:, :10240]), chain.process(audio[:, 10240:], reset=False)]
        assert np.array_equal(np.concatenate(parts, axis=1), whole)
        del chain  # its stream ends with it
        comp.process(audio)


def test_midi_sent_comes_back_and_goes_down_a_chain(paths, vst2host):
    notes = [(b"\x90\x3c\x64", 0.1), (b"\x90\x3e\x20", 0.3), (b"\x80\x3c\x00", 0.35), (b"\x80\x3e\x00", 0.55)]
    expected = vst2host(paths["midi_out"], paths["impulse"], "--notes", "60:100@0.1,62:32@0.3", "--tail", "0.2")
    with aerie.load(paths["midi_out"]) as echo, aerie.load(paths["impulse"]) as impulse:
        audio, sent = echo.render(0.5, midi=notes, return_midi=True)
        assert [m for m, _ in sent][:2] == [b"\x90\x48\x64", b"\x90\x4a\x20"]  # an octave up
        assert [t for _, t in sent][:2] == pytest.approx([0.1, 0.3], abs=1 / 44100)
        assert np.array_equal(aerie.Chain([echo, impulse]).render(midi=notes, tail=0.2), expected)


def test_latency_is_compensated_unless_asked_not_to(paths):
    audio = noise(0.5, channels=1)
    with aerie.load(paths["latency"]) as late:
        assert late.latency == 100
        assert np.array_equal(late.process(audio), audio)
        raw = late.process(audio, compensate_latency=False)
        assert np.array_equal(raw[:, 100:], audio[:, :-100]) and not raw[:, :100].any()
        assert late.process(audio, tail=0.01).shape == (1, audio.shape[1] + 441)
        assert late.process(audio, tail="auto").shape == audio.shape  # it reports no tail


def test_what_vst2host_notes_comes_as_a_warning(paths):
    with aerie.load(paths["effect"]) as effect:
        with pytest.warns(aerie.AerieWarning, match="mono"):
            effect.process(noise(0.1, channels=1))
        with pytest.warns(aerie.AerieWarning, match="not ask for MIDI"):
            effect.process(noise(0.1), midi=[(b"\x90\x40\x40", 0.0)])


def test_each_result_is_an_array_of_its_own_shaped_by_the_last_plug_in_and_the_length(paths):
    # The output is made before the render when its length is known (a
    # duration, the input and a tail), when the render asks (a length from
    # the MIDI); either way a fresh writable (outputs, frames) float32 array.
    audio = noise(0.2)
    with aerie.load(paths["kestravian"]) as synth, aerie.load(paths["zamcomp"]) as comp:
        shapes = [
            (synth.render(0.25), (synth.num_outputs, 11025)),
            (synth.render(midi=[(b"\x90\x40\x40", 0.1)], tail=0.05), (synth.num_outputs, 4410 + 2205)),
            (comp.process(audio, tail=0.01), (comp.num_outputs, audio.shape[1] + 441)),
            (aerie.Chain([synth, comp]).render(0.1), (comp.num_outputs, 4410)),
        ]
        for out, shape in shapes:
            assert out.shape == shape and out.dtype == np.float32
            assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
        first, second = comp.process(audio), comp.process(audio)
        assert first is not second and np.array_equal(first, second)
        first[:] = 0  # the next call's output is not this one
        assert np.array_equal(comp.process(audio), second)
