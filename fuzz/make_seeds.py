#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/: a handful of small inputs per
target that reach the interesting paths at once, so a bounded run spends its
time on variations rather than on discovering the input format.

The plug-in targets read their bytes front to back (fuzz/harness.h): one
byte picks the step, the following bytes are its arguments. Run it again
after changing an input format; the seeds are committed.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def frame(n):
    """A frame offset or count in -16..4079, as Bytes::frame reads it."""
    v = n + 16
    assert 0 <= v < 4096
    return bytes([0, v & 0xFF, v >> 8])


def i32(v):
    return struct.pack("<i", v)


def f32(v):
    return struct.pack("<f", v)


# ---- fuzz_events: steps are picked by the first byte modulo 12 --------------

def note_on(at, note, velocity, channel=0):
    return bytes([0]) + frame(at) + bytes([0, channel, note, velocity])


def midi(at, status, data1, data2):
    return bytes([1]) + frame(at) + bytes([255, status, data1, data2])


def other_event(type_, at):
    return bytes([3]) + i32(type_) + frame(at) + bytes([0x90, 60, 127] + [0] * 13)


NULL_ENTRY = bytes([4])
DELIVER = bytes([5, 0])
DELIVER_NEGATIVE = bytes([5, 250]) + i32(5)
DELIVER_ZERO = bytes([5, 230])


def render(frames, output=0, base=0):
    """output: 0 replacing, 1 accumulating, 2 no outputs, 3 null first output."""
    return bytes([6]) + frame(frames) + bytes([output, base])


def render_edge(which, output=0):
    """which indexes {INT32_MIN, INT32_MIN + 1, -1, 0, 1, INT32_MAX - 1, INT32_MAX}."""
    return bytes([6, 245 + which, output, 0])


def rate(table_index):
    """44100, 48000, 22050, 96000, 8000, 1, 384000, 44123.45, 0, -44100, 1e30, ..."""
    return bytes([8, table_index])


def rate_bits(bits):
    """Any float, given as its bit pattern."""
    return bytes([8, 255]) + struct.pack("<I", bits)


def mains(on):
    return bytes([10, 1 if on else 0])


EVENTS = {
    "one_click": note_on(10, 60, 127) + DELIVER + render(512),
    "ring_across_blocks": note_on(0, 0, 127) + DELIVER + render(300) + render(300, 1, 2) + render(4000),
    "loudest_wins": note_on(5, 60, 90) + note_on(5, 64, 100) + note_on(5, 40, 100) + note_on(-3, 30, 80)
    + note_on(0, 31, 80) + DELIVER + render(64),
    "rates_between_blocks": rate(1) + note_on(0, 20, 127) + DELIVER + render(100) + mains(False) + rate(8)
    + mains(True) + render(100) + rate(5) + note_on(0, 127, 1) + DELIVER + render(64) + rate(10)
    + note_on(0, 0, 1) + DELIVER + render(64),
    "odd_lists": other_event(6, 3) + NULL_ENTRY + midi(2, 0x80, 60, 0) + midi(4, 0x9F, 0xC5, 0xFF)
    + DELIVER + render(16) + note_on(1, 1, 1) + DELIVER_NEGATIVE + render(16) + note_on(1, 1, 1)
    + DELIVER_ZERO + render(16),
    "empty_and_edge_blocks": note_on(0, 40, 100) + DELIVER + render_edge(0) + render_edge(2, 1)
    + render_edge(3) + note_on(2, 40, 100) + DELIVER + render(8, 2) + render(8, 3) + render(64, 1, 3),
    "last_frame_and_after": note_on(63, 12, 127) + note_on(64, 90, 127) + DELIVER + render(64) + render(64),
    # Found by fuzzing: a signalling NaN rate trapped in the rate check.
    "regression_signalling_nan_rate": rate_bits(0x7FA00000) + rate_bits(0xFFC00001) + note_on(0, 60, 127)
    + DELIVER + render(64),
}


# ---- fuzz_dispatch: steps are picked by the first byte modulo 8 -------------

def request(opcode, index=0, value=0, opt=0.0, text=None):
    code = bytes([(opcode + 2) % 64]) if -2 <= opcode < 62 else bytes([230]) + i32(opcode)
    head = bytes([0]) + code + i32(index) + i32(value) + f32(opt)
    if text is None:
        return head + bytes([1])
    assert len(text) < 256
    return head + bytes([0, len(text)]) + text


def events_request(notes):
    out = request(25)
    out += bytes([len(notes)])
    for at, note, velocity in notes:
        out += frame(at) + bytes([0x90, note, velocity])
    return out


def dispatch_render(frames, output=0):
    return bytes([6]) + frame(frames) + bytes([output])


def parameter(index, value, read):
    return bytes([7]) + i32(index) + f32(value) + i32(read)


DISPATCH = {
    "host_session": request(0) + request(10, opt=48000.0) + request(11, value=512) + request(12, value=1)
    + events_request([(10, 60, 127), (300, 20, 90)]) + dispatch_render(512) + request(12, value=0),
    "queries": request(45) + request(47) + request(48) + request(49) + request(35) + request(58)
    + request(34, index=0) + request(34, index=-1) + request(34, index=1) + request(33)
    + request(51, text=b"receiveVstEvents\0") + request(51, text=b"receiveVstMidiEvent\0")
    + request(51, text=b"sendVstMidiEvent\0"),
    "programs_and_texts": request(2, value=-1) + request(3) + request(4, text=b"x\0") + request(5)
    + request(6) + request(7) + request(8) + request(29, index=-1, value=2) + request(30, index=-1)
    + request(27, text=b"0.5\0") + request(56) + request(57) + parameter(0, 0.5, 0),
    "odd_arguments": request(10, opt=float("nan")) + request(10, opt=0.0) + request(10, opt=-1.0)
    + request(43, value=-1, opt=22050.0) + request(11, value=-2147483648) + request(9) + request(22)
    + request(23, index=7) + request(24, value=100) + request(42) + request(50, index=-1, value=-1)
    + request(59) + request(-1) + request(1000) + request(-1000) + dispatch_render(64),
    "rates_and_clicks": request(10, opt=1.0) + events_request([(0, 127, 127)]) + dispatch_render(32)
    + request(10, opt=3.4028234663852886e38) + events_request([(0, 0, 1)]) + dispatch_render(32)
    + request(10, opt=44100.0) + events_request([(0, 12, 100)]) + dispatch_render(1024),
}


# ---- fuzz_midifile ----------------------------------------------------------

def var_len(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def chunk(kind, body):
    return kind + struct.pack(">I", len(body)) + body


def midi_file(fmt, division, tracks, extra=b""):
    header = chunk(b"MThd", struct.pack(">HHH", fmt, len(tracks), division & 0xFFFF))
    return header + extra + b"".join(chunk(b"MTrk", t) for t in tracks)


END = var_len(0) + b"\xFF\x2F\x00"


def tempo(delta, microseconds):
    return var_len(delta) + b"\xFF\x51\x03" + microseconds.to_bytes(3, "big")


MIDIFILE = {
    "format0_running_status": midi_file(0, 96, [
        var_len(0) + b"\x90\x3C\x64" + var_len(10) + b"\x3E\x5A" + var_len(0) + b"\xC1\x05"
        + var_len(0) + b"\xE1\x00\x40" + var_len(5) + b"\x81\x3C\x00" + END]),
    "format1_tempo_map": midi_file(1, 96, [
        tempo(0, 500000) + tempo(192, 250000) + tempo(96, 1000000) + END,
        var_len(0) + b"\x90\x3C\x64" + var_len(96) + b"\x90\x3D\x64" + var_len(144) + b"\x80\x3D\x00" + END]),
    "smpte_division": midi_file(0, 0xE728, [var_len(40) + b"\x99\x24\x7F" + END]),
    "meta_sysex_and_unknown_chunk": midi_file(0, 480, [
        var_len(0) + b"\xFF\x03\x04name" + var_len(0) + b"\xF0\x03\x7E\x7F\xF7"
        + var_len(0x0FFFFFFF) + b"\x92\x10\x20" + END + b"\x00\x90\x01\x01"],
        extra=chunk(b"XFIH", b"\x01\x02\x03")),
}


# ---- fuzz_wavfile ------------------------------------------------------------

def riff_chunk(kind, body):
    return kind + struct.pack("<I", len(body)) + body + (b"\0" if len(body) & 1 else b"")


def wav_file(tag, bits, channels, rate, data, before=b"", extensible=False):
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", 0xFFFE if extensible else tag, channels, rate, rate * align, align, bits)
    if extensible:
        guid = struct.pack("<H", tag) + bytes.fromhex("000000001000800000AA00389B71")
        fmt += struct.pack("<HHI", 22, bits, 3) + guid
    body = b"WAVE" + riff_chunk(b"fmt ", fmt) + before + riff_chunk(b"data", data)
    return b"RIFF" + struct.pack("<I", len(body)) + body


WAVFILE = {
    "pcm8_mono": wav_file(1, 8, 1, 8000, bytes([0, 64, 128, 192, 255])),
    "pcm16_stereo_list": wav_file(1, 16, 2, 44100, struct.pack("<8h", -32768, 32767, 0, 1, -1, 100, 200, -300),
                                  before=riff_chunk(b"LIST", b"INFOISFT\x05\0\0\0sox!\0")),
    "pcm24_extensible_3ch": wav_file(1, 24, 3, 48000, bytes(range(18)), extensible=True,
                                     before=riff_chunk(b"bext", bytes(7))),
    "pcm32": wav_file(1, 32, 1, 96000, struct.pack("<3i", -2**31, 2**31 - 1, 12345)),
    "float32_fact": wav_file(3, 32, 2, 44100, struct.pack("<4f", 0.5, -0.25, 1e30, -1e-30),
                             before=riff_chunk(b"fact", struct.pack("<I", 2))),
    "float64_extensible": wav_file(3, 64, 1, 22050, struct.pack("<3d", 1e300, -0.125, 0.0), extensible=True),
}


# ---- fuzz_preset -------------------------------------------------------------

def preset(kind, count, body, version=1, ident=b"Fakw", plugin_version=7):
    rest = kind + struct.pack(">i", version) + ident + struct.pack(">ii", plugin_version, count) + body
    return b"CcnK" + struct.pack(">I", len(rest)) + rest


def name28(text):
    return text.encode() + bytes(28 - len(text))


def program(name, values):
    return preset(b"FxCk", len(values), name28(name) + b"".join(struct.pack(">f", v) for v in values))


PRESET = {
    "program_parameters": program("Warm", [0.0, 0.5, 1.0]),
    "program_chunk": preset(b"FPCh", 4, name28("Chunky") + struct.pack(">i", 5) + b"\x01\x02\x03\x04\x05"),
    "bank_parameters": preset(b"FxBk", 2, struct.pack(">i", 1) + bytes(124)
                              + program("One", [0.25]) + program("Two", [0.75]), version=2),
    "bank_chunk": preset(b"FBCh", 8, bytes(128) + struct.pack(">i", 3) + b"abc"),
}


# ---- fuzz_chunk: a first byte (bit 0: program chunk; bits 1-2: the program
# current before), then the chunk as the layer writes it (host/state.h) -------

def layer_chunk(kind, programs, current=0, data_version=2, own=struct.pack("<If", 1, 0.5)):
    out = b"KsSt" + struct.pack("<IIIIII", 1, kind, int.from_bytes(b"FuzC", "big"), data_version,
                                len(programs), current)
    for name, values in programs:
        out += name.encode().ljust(24, b"\0")[:24]
        out += struct.pack("<I", len(values))
        for pid, v in values:
            out += struct.pack("<If", pid, v)
    return out + struct.pack("<I", len(own)) + own


SOUND = [(1, 0.75), (2, 0.5), (3, 0.5), (7, 0.2)]
CHUNK = {
    "bank": bytes([0]) + layer_chunk(0, [("Soft", SOUND), ("Bright", SOUND[:2]), ("Third", [])], current=1),
    "program": bytes([3]) + layer_chunk(1, [("One", SOUND)]),
    "unknown_ids_and_older_data": bytes([2]) + layer_chunk(
        0, [("A", [(99, 0.1), (1, 0.0)]), ("B", [(2, 1.0)]), ("C", [(5, 0.3)])], data_version=0, own=b""),
    "older_layout": bytes([1]) + struct.pack("<4f", 0.1, 0.2, 0.3, 0.4),
    "damaged": bytes([0]) + layer_chunk(0, [("Soft", [(1, float("nan"))]), ("B", []), ("C", [])]),
}


# ---- fuzz_automation: CSV text ---------------------------------------------

AUTOMATION = {
    "seconds_and_beats": b"time,parameter,value\n0,1,0\n0.5,Gain,0.25\n4.5b,1,1\n",
    "chain_comments_blanks": b"# a chain of two\n\n time , parameter , value \n1.25, 2:Cutoff ,.5\n# done\n3b,1:3,1.\n",
    "crlf_and_tabs": b"time,parameter,value\r\n\t0.125\t,\tMix\t,\t0.75\r\n",
    "commas_in_the_name": b"time,parameter,value\n2,Low, mid,0.5\n",
    "refused": b"time,parameter,value\n-1,1,0.5\n1e3,1,0.5\n1,,0.5\n1,1,1.5\n",
}


# ---- fuzz_lv2: a state (first byte even) or a run's event sequence (odd) ----
# The URIDs are the fuzz host's, numbered in the order the adapter maps them.
URID_OBJECT, URID_FLOAT, URID_MIDI, URID_POSITION, URID_BPM, URID_SPEED = 3, 8, 10, 11, 16, 17


def polysynth_chunk(values, name=b"Seed"):
    """The layer's bank chunk of the polysynth ('KtPs'): one program."""
    body = b"KsSt" + struct.pack("<IIII", 1, 0, 0x4B745073, 0) + struct.pack("<II", 1, 0)
    body += name.ljust(24, b"\0") + struct.pack("<I", len(values))
    for pid, value in values:
        body += struct.pack("<If", pid, value)
    return body + struct.pack("<I", 0)


def atom_event(frames, type_, body):
    event = struct.pack("<qII", frames, len(body), type_) + body
    return event + b"\0" * (-len(event) % 8)


def position(bpm, speed):
    props = struct.pack("<IIII", URID_BPM, 0, 4, URID_FLOAT) + f32(bpm) + b"\0" * 4
    props += struct.pack("<IIII", URID_SPEED, 0, 4, URID_FLOAT) + f32(speed) + b"\0" * 4
    return struct.pack("<II", 0, URID_POSITION) + props


LV2 = {
    "state": b"\0" + polysynth_chunk([(1, 0.5), (7, 0.9)]),
    "state_truncated": b"\0" + polysynth_chunk([(1, 0.5)])[:30],
    "notes": b"\1" + struct.pack("<II", 0, 0) + atom_event(0, URID_MIDI, bytes([0x90, 60, 100]))
    + atom_event(100, URID_MIDI, bytes([0x80, 60, 0])),
    "position": b"\1" + struct.pack("<II", 0, 0) + atom_event(0, URID_OBJECT, position(140.0, 1.0)),
}


def write(target, seeds):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    for name, data in seeds.items():
        (folder / name).write_bytes(data)


def main():
    write("events", EVENTS)
    write("dispatch", DISPATCH)
    demo = (HERE.parent / "examples" / "demo.mid").read_bytes()
    write("midifile", {**MIDIFILE, "demo": demo})
    write("wavfile", WAVFILE)
    write("preset", PRESET)
    write("chunk", CHUNK)
    write("automation", AUTOMATION)
    write("lv2", LV2)


if __name__ == "__main__":
    main()
