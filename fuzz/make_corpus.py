#!/usr/bin/python3
"""Writes the seed corpora under fuzz/corpus/<target>/ from the tool tests'
data (tests/tools/data) and a few hand-made streams. Deterministic: running
it again gives the same files. Needs protoc and python3-protobuf.

  /usr/bin/python3 fuzz/make_corpus.py   # rewrite fuzz/corpus
"""
import hashlib
import importlib
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMA = os.path.join(ROOT, "specs", "common-dto")
DATA = os.path.join(ROOT, "tests", "tools", "data")
OUT = os.path.join(ROOT, "fuzz", "corpus")


def load_modules():
    tmp = tempfile.mkdtemp(prefix="common-dto-corpus-")
    protos = sorted(f for f in os.listdir(SCHEMA) if f.endswith(".proto"))
    subprocess.run(["protoc", "-I", SCHEMA, "--python_out", tmp] + protos, check=True)
    sys.path.insert(0, tmp)
    mods = {p[:-6]: importlib.import_module(p[:-6] + "_pb2") for p in protos}
    return tmp, mods


def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        out.append(b | (0x80 if n else 0))
        if not n:
            return bytes(out)


def frame(messages):
    return b"".join(varint(len(m)) + m for m in messages)


def write(target, content):
    d = os.path.join(OUT, target)
    os.makedirs(d, exist_ok=True)
    name = hashlib.sha1(content).hexdigest()[:16]
    with open(os.path.join(d, name), "wb") as f:
        f.write(content)


def ser(m):
    return m.SerializeToString(deterministic=True)


def tiny_stream(m, lz4_payloads):
    """A two-ray, one-sweep stream, with one LZ4 frame and one LZ4 block
    buffer (precomputed bytes) besides plain ones."""
    RSM = m["ray_stream_message"].RayStreamMessage
    DB = m["data_buffer"].DataBuffer
    msgs = []
    v = RSM()
    v.volume_header.volume_uuid.least_significant_bits = 1
    v.volume_header.instrument.name = "seed radar"
    sc = v.volume_header.volume_config.sweep_config.add()
    sc.data_moments["DBZ"].type = 10
    sc.data_moments["DBZ"].scale.type = 1
    sc.data_moments["DBZ"].scale.linear_scale.not_scanned = 1
    v.volume_header.start.seconds = 1767225600
    msgs.append(v)
    s = RSM()
    s.sweep_header.sweep_uuid.least_significant_bits = 2
    s.sweep_header.volume_uuid.least_significant_bits = 1
    s.sweep_header.description.config.sweep_config_index = 0
    s.sweep_header.start.seconds = 1767225600
    msgs.append(s)
    for r in range(2):
        h = RSM()
        h.ray_header.sweep_uuid.least_significant_bits = 2
        h.ray_header.ray_index = r
        h.ray_header.ray.index = r
        h.ray_header.ray.aq_end_time.seconds = 1767225600 + r
        msgs.append(h)
        p = RSM()
        p.parameter_data.sweep_uuid.least_significant_bits = 2
        p.parameter_data.ray_index = r
        p.parameter_data.data_type.type = 10
        p.parameter_data.data_type.short_name = "DBZ"
        p.parameter_data.data.endian = DB.LITTLE
        p.parameter_data.data.type = DB.UINT16
        data, compression, size = lz4_payloads[r]
        p.parameter_data.data.compression = compression
        p.parameter_data.data.uncompressed_size = size
        p.parameter_data.data.data = data
        msgs.append(p)
        e = RSM()
        e.ray_end.sweep_uuid.least_significant_bits = 2
        e.ray_end.ray_index = r
        msgs.append(e)
    se = RSM()
    se.sweep_end.sweep_uuid.least_significant_bits = 2
    se.sweep_end.end.seconds = 1767225630
    msgs.append(se)
    ve = RSM()
    ve.volume_end.volume_uuid.least_significant_bits = 1
    msgs.append(ve)
    return msgs


def iris_seeds():
    """IRIS RAW sweeps as iris_fuzzer lays an input out: 28 bytes patched
    into the task's headers (data mask words 0 and 1, first bin, bin step,
    PRF, wavelength, multi-PRF mode, scan mode), then the data records, their
    zero padding cut off. Written by the tests' fixture writer."""
    import datetime
    import struct
    sys.path.insert(0, os.path.join(ROOT, "tests", "formats"))
    import numpy as np
    import iris_fixture as fx
    start = datetime.datetime(2024, 5, 17, 12, 0, 5)
    cases = ((["DB_DBZ2", "DB_VEL"], 30000, 0), (["DB_XHDR", "DB_DBZ", "DB_KDP", "DB_RHOHV2"], 0, 1))
    for types, first_bin, multi_prf in cases:
        rays = []
        for r in range(4):
            codes = {t: np.array([1 + r, 0, 0, 200, 7, 9 - r][:6 - r % 2], dtype="u2" if
                                 fx.TYPES[t][1] == 2 else "u1") for t in types if t != "DB_XHDR"}
            rays.append(fx.Ray(az0=90.0 * r, el0=0.5, az1=90.0 * r + 89, el1=0.6, seconds=r,
                               codes=codes, ms=1000 * r + 20))
        rays[2] = None
        spec = fx.VolumeSpec(types=types, sweeps=[fx.SweepSpec(1, start, 0.5, rays)],
                             first_bin_cm=first_bin, multi_prf=multi_prf)
        w = fx.mask_words(spec)
        patch = struct.pack("<IIiiiiHH", w[0], w[1], spec.first_bin_cm, spec.step_cm,
                            spec.prf_hz, int(round(spec.wavelength_cm * 100)), spec.multi_prf,
                            spec.scan_mode)
        data = fx.write(spec)[2 * fx.RECORD:].rstrip(b"\0")
        write("iris_fuzzer", patch + data)
        write("iris_fuzzer", patch + data[:len(data) // 2])


def rainbow_seeds():
    """Small Rainbow 5 volumes from the tests' fixture writer: whole, with
    the older radarinfo, without timestamps, cut short."""
    sys.path.insert(0, os.path.join(ROOT, "tests", "formats"))
    import numpy as np
    import rainbow_fixture as rb
    seeds = []
    for variant in range(3):
        desc = rb.test_volume()
        for s in desc["slices"]:
            s["start"] = np.asarray(s["start"])[:6]
            s["stop"] = np.asarray(s["stop"])[:6]
            s["ms"] = None if variant == 2 or s["ms"] is None else np.asarray(s["ms"])[:6]
            for mom in s["moments"]:
                mom["codes"] = np.asarray(mom["codes"])[:6, :4]
        if variant == 1:
            desc["sensor"]["element"] = "radarinfo"
            desc["type"] = "ele"
        seeds.append(rb.build(desc))
    seeds.append(seeds[0][:-40])
    return seeds


def main():
    tmp, m = load_modules()
    try:
        from google.protobuf import json_format, text_format

        if os.path.isdir(OUT):
            shutil.rmtree(OUT)
        ID = m["instrument_data"].InstrumentData
        RSM = m["ray_stream_message"].RayStreamMessage

        instrument = []
        for f in sorted(os.listdir(DATA)):
            if f.endswith(".json"):
                with open(os.path.join(DATA, f)) as fh:
                    instrument.append(json_format.Parse(fh.read(), ID()))
        stream_lines = []
        with open(os.path.join(DATA, "broken-stream.jsonl")) as fh:
            for line in fh:
                line = line.strip()
                if not line:
                    continue
                try:
                    stream_lines.append(json_format.Parse(line, RSM()))
                except json_format.ParseError:
                    pass

        raw = bytes(range(8))  # four UINT16 samples
        lz4 = None
        try:
            import lz4.frame
            import lz4.block
            lz4 = [(lz4.frame.compress(raw, store_size=True), 2, len(raw)),
                   (lz4.block.compress(raw, store_size=False), 2, len(raw))]
        except ImportError:
            pass
        payloads = lz4 or [(raw, 1, len(raw)), (raw, 1, len(raw))]
        stream = tiny_stream(m, payloads) + stream_lines

        for msg in instrument:
            write("instrument_data_fuzzer", ser(msg))
            write("cli_json_fuzzer", b"\x00" + json_format.MessageToJson(
                msg, preserving_proto_field_name=True).encode())
            write("cli_text_fuzzer", b"\x00" + text_format.MessageToString(msg).encode())
            write("cli_wire_fuzzer", b"\x00" + ser(msg))
            write("cli_wire_fuzzer", b"\x00" + ser(msg)[:-3])
        for msg in stream:
            write("ray_stream_message_fuzzer", ser(msg))
            write("cli_json_fuzzer", b"\x01" + json_format.MessageToJson(
                msg, preserving_proto_field_name=True, indent=None).encode())
            write("cli_text_fuzzer", b"\x01" + text_format.MessageToString(
                msg, as_one_line=True).encode())
        framed = frame([ser(x) for x in stream])
        for msg in instrument:
            if msg.HasField("volume"):
                write("split_fuzzer", b"\x00" + ser(msg))
                write("split_fuzzer", b"\x01" + ser(msg))
            write("check_fuzzer", b"\x02" + ser(msg))
        # First byte: 0 auto, 1 stream, 2 single message; bit 2 --strict.
        write("check_fuzzer", b"\x00" + framed)
        write("check_fuzzer", b"\x05" + framed[:-3] + b"\x80")
        # Mode byte: bits 0-1 source, 2-3 size limit, 4 type, 5-7 block size.
        for mode in (0x0C, 0x0D, 0x2D, 0x0E, 0x0F, 0x08, 0x1C):
            write("stream_reader_fuzzer", bytes([mode]) + framed)
        write("stream_reader_fuzzer", bytes([0x0F]) + framed[:-5])
        write("stream_reader_fuzzer", bytes([0x1F]) + frame([ser(instrument[0])]))
        write("stream_reader_fuzzer", bytes([0x0F]) + b"\xff\xff\xff\xff\x0f")
        write("cli_wire_fuzzer", b"\x01" + framed[1:200])
        # Nested unknown groups, deeper than parsers allow.
        write("ray_stream_message_fuzzer", b"\x0b" * 120 + b"\x0c" * 120)
        write("cli_wire_fuzzer", b"\x01" + b"\x43" * 150 + b"\x44" * 150)
        # The assembler reads its input as a sequence of small choices;
        # random bytes of a few lengths start it off.
        rng = random.Random(12)
        for n in (64, 256, 1024, 4096):
            for _ in range(3):
                write("assembler_fuzzer", bytes(rng.randrange(256) for _ in range(n)))
        iris_seeds()
        for seed in rainbow_seeds():
            write("rainbow_fuzzer", seed)
        total = sum(os.path.getsize(os.path.join(dp, f))
                    for dp, _, fs in os.walk(OUT) for f in fs)
        print("wrote", OUT, total, "bytes")
    finally:
        shutil.rmtree(tmp)


if __name__ == "__main__":
    main()
