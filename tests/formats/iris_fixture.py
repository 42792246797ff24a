"""Writes IRIS/Sigmet RAW product files from a description, as Vaisala's
IRIS programmer's manual lays them out: 6144-byte records, the product_hdr,
the ingest_header (ingest and task configuration), then per sweep the
ingest_data_headers and the run-length compressed rays, each record
starting with a raw_prod_bhdr. Little-endian throughout. Standard library
and numpy only.

A ray gives, per data type, its stored codes (1- or 2-byte); a ray of None
is a missing ray (every type written as an empty ray).
"""

import dataclasses
import datetime as dt
import struct

import numpy as np

RECORD = 6144
BLOCK_HEADER = 12

# IRIS data type numbers and their bytes per bin.
TYPES = {
    "DB_XHDR": (0, 2), "DB_DBT": (1, 1), "DB_DBZ": (2, 1), "DB_VEL": (3, 1), "DB_WIDTH": (4, 1),
    "DB_ZDR": (5, 1), "DB_DBZC": (7, 1), "DB_DBT2": (8, 2), "DB_DBZ2": (9, 2), "DB_VEL2": (10, 2),
    "DB_WIDTH2": (11, 2), "DB_ZDR2": (12, 2), "DB_KDP": (14, 1), "DB_KDP2": (15, 2),
    "DB_PHIDP": (16, 1), "DB_SQI": (18, 1), "DB_RHOHV": (19, 1), "DB_RHOHV2": (20, 2),
    "DB_SQI2": (23, 2), "DB_PHIDP2": (24, 2), "DB_HCLASS": (55, 1), "DB_ZDRC2": (58, 2),
}


@dataclasses.dataclass
class Ray:
    az0: float
    el0: float
    az1: float
    el1: float
    seconds: int                 # from the sweep start, in the ray header
    codes: dict                  # type name -> array of stored codes
    ms: int = None               # extended header time (ms), when written


@dataclasses.dataclass
class SweepSpec:
    number: int
    start: dt.datetime
    fixed_angle: float
    rays: list                   # Ray or None (a missing ray)
    rays_declared: int = None    # written in the ingest_data_header; default len(rays)
    rays_per_sweep: int = 360


@dataclasses.dataclass
class VolumeSpec:
    types: list                  # data type names (written in the order of their numbers)
    sweeps: list
    site: str = "TESTSITE"
    lat: float = 60.25
    lon: float = -24.5
    ground_m: int = 100
    radar_m: int = 20
    prf_hz: int = 1000
    wavelength_cm: float = 5.3
    multi_prf: int = 0           # 0: 1:1, 1: 2:3, 2: 3:4, 3: 4:5
    pulse_width_us: float = 0.8
    first_bin_cm: int = 30000
    step_cm: int = 25000
    output_bins: int = 8
    scan_mode: int = 4           # PPI full
    task: str = "PPI_TEST"
    volume_start: dt.datetime = dt.datetime(2024, 5, 17, 12, 0, 0)
    utc: bool = True
    beam_h: float = 1.0
    beam_v: float = 1.0


def bin2(deg):
    return int(round((deg % 360.0) * 65536 / 360.0)) & 0xFFFF


def bin4(deg):
    return int(round((deg % 360.0) * 4294967296 / 360.0)) & 0xFFFFFFFF


def ymds(t, utc=True):
    seconds = t.hour * 3600 + t.minute * 60 + t.second
    ms = t.microsecond // 1000 | (0x800 if utc else 0)
    return struct.pack("<iHhhh", seconds, ms, t.year, t.month, t.day)


def structure_header(ident, version, size):
    return struct.pack("<hhihh", ident, version, size, 0, 0)


def put(buf, at, data):
    buf[at:at + len(data)] = data


def text(value, size):
    return value.encode("ascii")[:size].ljust(size, b"\0")


def product_record(spec):
    rec = bytearray(RECORD)
    put(rec, 0, structure_header(27, 8, 640))
    put(rec, 12, structure_header(26, 6, 320))
    put(rec, 24, struct.pack("<H", 15))  # RAW
    put(rec, 12 + 74, text(spec.task, 12))
    put(rec, 332, text(spec.site, 16))
    return rec


def mask_words(spec):
    words = [0] * 5
    for name in spec.types:
        code = TYPES[name][0]
        words[code // 32] |= 1 << (code % 32)
    return words


def ingest_record(spec):
    rec = bytearray(RECORD)
    put(rec, 0, structure_header(23, 4, 4884))
    ic = 12
    put(rec, ic + 82, struct.pack("<h", len(spec.sweeps)))
    put(rec, ic + 88, ymds(spec.volume_start, spec.utc))
    put(rec, ic + 124, text("8.13", 8))
    put(rec, ic + 150, text(spec.site, 16))
    put(rec, ic + 168, struct.pack("<II", bin4(spec.lat), bin4(spec.lon)))
    put(rec, ic + 176, struct.pack("<hh", spec.ground_m, spec.radar_m))
    tc = ic + 480
    put(rec, tc, structure_header(22, 5, 2612))
    dsp = tc + 132
    w = mask_words(spec)
    put(rec, dsp + 4, struct.pack("<6I", w[0], 0, w[1], w[2], w[3], w[4]))
    put(rec, dsp + 136, struct.pack("<iiH", spec.prf_hz, int(round(spec.pulse_width_us * 100)),
                                    spec.multi_prf))
    rng = tc + 772
    last = spec.first_bin_cm + (spec.output_bins - 1) * spec.step_cm
    put(rec, rng, struct.pack("<iihhii", spec.first_bin_cm, last, spec.output_bins, spec.output_bins,
                              spec.step_cm, spec.step_cm))
    scan = tc + 932
    put(rec, scan, struct.pack("<Hhhh", spec.scan_mode, 1000, 0, len(spec.sweeps)))
    misc = tc + 1252
    put(rec, misc, struct.pack("<i", int(round(spec.wavelength_cm * 100))))
    put(rec, misc + 64, struct.pack("<II", bin4(spec.beam_h), bin4(spec.beam_v)))
    put(rec, tc + 1572 + 4, text(spec.task, 12))
    return rec


def compress(words):
    """The IRIS run-length code of a ray's 16-bit words: runs of two or more
    zero words as their count, other words as 0x8000 | count followed by
    them, 1 at the end."""
    out = []
    i, n = 0, len(words)
    while i < n:
        j = i
        while j < n and words[j] == 0:
            j += 1
        if j - i >= 2:
            count = min(j - i, 0x7FFF)
            out.append(count)
            i += count
            continue
        j = i
        while j < n and j - i < 0x7FFF and not (words[j] == 0 and j + 1 < n and words[j + 1] == 0):
            j += 1
        j = max(j, i + 1)
        out.append(0x8000 | (j - i))
        out.extend(int(x) for x in words[i:j])
        i = j
    out.append(1)
    return out


def ray_words(ray, name):
    """The uncompressed words of one type's ray: ray header, then the bins."""
    code, width = TYPES[name]
    if name == "DB_XHDR":
        body = np.zeros(10, dtype="<u2")
        ms = ray.ms if ray.ms is not None else ray.seconds * 1000
        body[0], body[1] = ms & 0xFFFF, (ms >> 16) & 0xFFFF
        bins = 20
    else:
        codes = np.asarray(ray.codes[name], dtype="<u1" if width == 1 else "<u2")
        bins = len(codes)
        raw = codes.tobytes()
        if len(raw) % 2:
            raw += b"\0"
        body = np.frombuffer(raw, dtype="<u2")
    header = [bin2(ray.az0), bin2(ray.el0), bin2(ray.az1), bin2(ray.el1), bins & 0xFFFF,
              ray.seconds & 0xFFFF]
    return header + [int(x) for x in body]


def ordered(types):
    return sorted(types, key=lambda name: TYPES[name][0])


def sweep_stream(spec, sweep):
    """The bytes of a sweep's data: its ingest_data_headers, then its rays,
    the data types in the order of their numbers (the mask's)."""
    data = bytearray()
    declared = len(sweep.rays) if sweep.rays_declared is None else sweep.rays_declared
    for name in ordered(spec.types):
        code, width = TYPES[name]
        head = bytearray(76)
        put(head, 0, structure_header(24, 3, 76))
        put(head, 12, ymds(sweep.start, spec.utc))
        put(head, 24, struct.pack("<hhhhhHhH", sweep.number, sweep.rays_per_sweep, 0, declared,
                                  declared, bin2(sweep.fixed_angle), 8 * width, code))
        data += head
    for ray in sweep.rays:
        for name in ordered(spec.types):
            words = [1] if ray is None else compress(ray_words(ray, name))
            data += struct.pack("<%dH" % len(words), *words)
    return bytes(data)


def sweep_records(sweep_number, stream, first_record):
    out = bytearray()
    room = RECORD - BLOCK_HEADER
    for k, at in enumerate(range(0, max(len(stream), 1), room)):
        rec = bytearray(RECORD)
        put(rec, 0, struct.pack("<hhhhH", first_record + k, sweep_number, 0, 0, 0))
        put(rec, BLOCK_HEADER, stream[at:at + room])
        out += rec
    return out


def write(spec):
    """The bytes of the RAW product file `spec` describes."""
    out = bytearray(product_record(spec) + ingest_record(spec))
    for sweep in spec.sweeps:
        out += sweep_records(sweep.number, sweep_stream(spec, sweep), len(out) // RECORD)
    return bytes(out)


# ---- Physical values, as the manual defines the codes ------------------------

def nyquist(spec):
    return spec.wavelength_cm / 100.0 * spec.prf_hz / 4.0 * (spec.multi_prf + 1)


def decode(name, codes, spec):
    """The values of stored codes; NaN for code 0 (no data) and for 255 of
    RhoHV and SQI (area not scanned)."""
    n = np.asarray(codes, dtype=np.float64)
    if name in ("DB_DBT", "DB_DBZ", "DB_DBZC"):
        v = (n - 64) / 2
    elif name == "DB_VEL":
        v = nyquist(spec) * (n - 128) / 127
    elif name == "DB_WIDTH":
        v = nyquist(spec) * n / 256
    elif name == "DB_ZDR":
        v = (n - 128) / 16
    elif name == "DB_WIDTH2":
        v = n / 100
    elif name in ("DB_RHOHV2", "DB_SQI2"):
        v = (n - 1) / 65533
    elif name == "DB_PHIDP":
        v = 180 * (n - 1) / 254
    elif name == "DB_PHIDP2":
        v = 360 * (n - 1) / 65534
    elif name in ("DB_RHOHV", "DB_SQI"):
        v = np.sqrt(np.clip(n - 1, 0, None) / 253)
        v[n == 255] = np.nan
    elif name == "DB_KDP":
        v = np.where(n > 128, 0.25 * 600 ** ((n - 129) / 126), -0.25 * 600 ** ((127 - n) / 126))
        v = v / spec.wavelength_cm
        v[n == 128] = 0
        v[n == 255] = np.nan
    else:  # 2-byte dB-like types
        v = (n - 32768) / 100
    v = np.where(n == 0, np.nan, v)
    return v
