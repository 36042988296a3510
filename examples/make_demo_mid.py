#!/usr/bin/env python3
"""Writes examples/demo.mid: a short phrase for the demo render.

Format 1 with two tracks: the first holds the tempo map (100 beats per
minute, speeding up to 140 for the run in the middle, slowing to 72 for the
last notes), the second the notes on channel 1. Run it again after changing
the phrase; the file is committed so the demo needs no Python.
"""
import pathlib
import struct

PPQ = 480


def var_len(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def track(events):
    """events: (absolute tick, bytes), in any order; returns an MTrk chunk."""
    body = b""
    now = 0
    for tick, data in sorted(events, key=lambda e: e[0]):
        body += var_len(tick - now) + data
        now = tick
    body += var_len(0) + b"\xFF\x2F\x00"
    return b"MTrk" + struct.pack(">I", len(body)) + body


def tempo(tick, bpm):
    micros = round(60_000_000 / bpm)
    return tick, b"\xFF\x51\x03" + micros.to_bytes(3, "big")


def name(text):
    return 0, b"\xFF\x03" + var_len(len(text)) + text.encode()


# (note, velocity, start in beats, length in beats)
PHRASE = [
    (60, 110, 0.0, 0.5), (64, 80, 0.5, 0.5), (67, 90, 1.0, 0.5), (72, 120, 1.5, 1.0),
    (71, 70, 2.5, 0.5), (67, 80, 3.0, 0.5), (64, 90, 3.5, 0.5),
    # the run, faster
    (62, 100, 4.0, 0.25), (65, 70, 4.25, 0.25), (69, 80, 4.5, 0.25), (72, 90, 4.75, 0.25),
    (76, 100, 5.0, 0.25), (79, 110, 5.25, 0.25), (84, 127, 5.5, 0.5),
    (83, 60, 6.0, 0.25), (79, 60, 6.25, 0.25), (76, 60, 6.5, 0.25), (72, 60, 6.75, 0.25),
    # slowing down to the end
    (67, 90, 7.0, 0.5), (64, 80, 7.5, 0.5), (48, 120, 8.0, 1.0), (36, 127, 9.0, 1.0),
]


def main():
    tempo_track = track([name("Kestravian demo"), tempo(0, 100), tempo(4 * PPQ, 140), tempo(7 * PPQ, 72)])
    events = []
    for note, velocity, start, length in PHRASE:
        on = round(start * PPQ)
        off = round((start + length) * PPQ)
        events.append((off, bytes([0x80, note, 0])))
        events.append((on, bytes([0x90, note, velocity])))
    # Releases sort before notes that start on the same tick.
    events.sort(key=lambda e: (e[0], e[1][0] == 0x90))
    notes_track = track(events)
    header = b"MThd" + struct.pack(">IHHH", 6, 1, 2, PPQ)
    out = pathlib.Path(__file__).with_name("demo.mid")
    out.write_bytes(header + tempo_track + notes_track)
    print(out)


if __name__ == "__main__":
    main()
