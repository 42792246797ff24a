"""NEXRAD Level II files written from a description, after the RDA/RPG
interface control document (message 31 generic radial data, legacy message
1, message 5 volume coverage pattern) and the Archive II format (24-byte
volume header, LDM records compressed with bzip2): standard library and
numpy only.

A volume is described as a list of cuts; each cut has its radials' times,
azimuths and measured elevations and the moments every radial carries. The
expected values of each moment are returned with it (the stored codes), so
tests check the reader against what was written."""

import bz2
import gzip
import struct

import numpy as np

EPOCH_DAY = 1  # NEXRAD's modified Julian date of 1970-01-01
FRAME = 2432   # every message but 31 fills one frame

# name -> (first gate m, gate spacing m, gates, bits, scale, offset)
MOMENTS = {
    "REF": (2125, 250, 20, 8, 2.0, 66.0),
    "VEL": (2125, 250, 12, 8, 2.0, 129.0),
    "SW ": (2125, 250, 12, 8, 2.0, 129.0),
    "ZDR": (2125, 250, 12, 16, 32.0, 418.0),
    "PHI": (2125, 250, 12, 16, 2.8361, 2.0),
    "RHO": (2125, 250, 12, 8, 300.0, -60.5),
    "CFP": (2125, 250, 12, 8, 1.0, 8.0),
}


def codes(name, ray, gates, bits):
    """The stored codes of a moment's radial: values from 2 up, with code 0
    (below threshold) and 1 (range folded) at fixed gates."""
    top = 250 if bits == 8 else 1000
    c = 2 + (np.arange(gates) * 3 + ray * 7 + len(name) * 11) % (top - 2)
    c[::5] = 0
    if name.strip() in ("VEL", "SW"):
        c[1::6] = 1
    return c.astype(">u1" if bits == 8 else ">u2")


def volume_header(site=b"KTLX", epoch_s=1727785200.0, tag=b"AR2V0006."):
    day, ms = divmod(int(round(epoch_s * 1000)), 86400000)
    return tag + b"001" + struct.pack(">II", day + EPOCH_DAY, ms) + site


def message_header(kind, size_bytes, epoch_s):
    day, ms = divmod(int(round(epoch_s * 1000)), 86400000)
    return struct.pack(">HBBHHIHH", size_bytes // 2, 0, kind, 0, day + EPOCH_DAY, ms, 1, 1)


def fixed_frame(kind, body, epoch_s):
    """A message in its 2432-byte frame (12 bytes before the header)."""
    body = body[:FRAME - 28]
    return b"\0" * 12 + message_header(kind, 16 + len(body), epoch_s) + body.ljust(FRAME - 28, b"\0")


def coded_angle(deg):
    return int(round(deg / (180.0 / 32768.0))) & 0xFFFF


def message5(vcp, targets, epoch_s):
    head = struct.pack(">HHHHBBBB10x", 11 + 23 * len(targets), 2, vcp, len(targets), 0, 0, 2, 2)
    cuts = b"".join(struct.pack(">H44x", coded_angle(t)) for t in targets)
    return fixed_frame(5, head + cuts, epoch_s)


def vol_block(site):
    lat, lon, height, feedhorn = site
    return struct.pack(">c3sHBBffhHfffffHH", b"R", b"VOL", 44, 1, 0, lat, lon, height, feedhorn,
                       -44.6, 700.0, 700.0, 0.2, 30.0, 212, 0)


def elv_block():
    return struct.pack(">c3sHhf", b"R", b"ELV", 12, -12, -44.6)


def rad_block(nyquist, unamb_km):
    return struct.pack(">c3sHHffHHff", b"R", b"RAD", 28, int(unamb_km * 10), -90.5, -91.25,
                       int(round(nyquist * 100)), 0, -44.6, -44.7)


def moment_block(name, data, spec):
    first, step, gates, bits, scale, offset = spec
    return struct.pack(">c3sIHhhHhBBff", b"D", name.encode(), 0, gates, first, step, 50, 16, 0, bits,
                       scale, offset) + data.tobytes()


def message31(r, site=None, icao=b"KTLX"):
    """One radial: r = dict(time, az, el, cut, status, spacing, moments={name: (codes, spec)})."""
    day, ms = divmod(int(round(r["time"] * 1000)), 86400000)
    blocks = ([vol_block(site)] if site else []) + [elv_block(), rad_block(r.get("nyquist", 26.4), 466.0)]
    blocks += [moment_block(n, c, s) for n, (c, s) in r["moments"].items()]
    head_len = 32 + 4 * len(blocks)
    pointers, at = [], head_len
    for b in blocks:
        pointers.append(at)
        at += len(b)
    head = struct.pack(">4sIHHfBBHBBBBfBBH", icao, ms, day + EPOCH_DAY, 0, r["az"], 0, 0, at,
                       r.get("spacing", 1), r["status"], r["cut"], 1, r["el"], 0, 0, len(blocks))
    body = head + struct.pack(">%dI" % len(blocks), *pointers) + b"".join(blocks)
    if len(body) % 2:
        body += b"\0"
    return b"\0" * 12 + message_header(31, 16 + len(body), r["time"]) + body


def message1(r):
    """A legacy radial: REF in 1 km gates from 0 m, VEL and SW in 250 m
    gates from -375 m."""
    day, ms = divmod(int(round(r["time"] * 1000)), 86400000)
    ref, vel, sw = r["moments"]["REF"][0], r["moments"]["VEL"][0], r["moments"]["SW"][0]
    pointers = (100, 100 + len(ref), 100 + len(ref) + len(vel))
    head = struct.pack(">IHHHHHHHhhHHHHHfHHHHH8s6sHHHH32s", ms, day + EPOCH_DAY, 1466,
                       coded_angle(r["az"]), 0, r["status"], coded_angle(r["el"]), r["cut"],
                       0, -375, 1000, 250, len(ref), len(vel), 1, -44.6,
                       *pointers, 2, 21, b"", b"", 2650, 12, 50, 0, b"")
    assert len(head) == 100
    return fixed_frame(1, head + ref.tobytes() + vel.tobytes() + sw.tobytes(), r["time"])


def ldm_record(payload, last=False, declared_delta=0):
    data = bz2.compress(payload)
    size = len(data) + declared_delta
    return struct.pack(">i", -size if last else size) + data


def cut(number, target, measured, rays, t0, names, spacing=1, dt=0.25, moment_specs=None):
    """The radials of one cut and the codes written, per moment: [rays, gates]."""
    specs = dict(MOMENTS, **(moment_specs or {}))
    step = 0.5 if spacing == 1 else 1.0
    radials, written = [], {n.strip(): [] for n in names}
    for i in range(rays):
        status = 0 if i == 0 else 2 if i == rays - 1 else 1
        moments = {}
        for n in names:
            spec = specs[n]
            c = codes(n, i, spec[2], spec[3])
            moments[n] = (c, spec)
            written[n.strip()].append(c)
        radials.append(dict(time=t0 + i * dt, az=(step / 2 + i * step) % 360.0, el=measured + 0.01 * (i % 3),
                            cut=number, status=status, spacing=spacing, moments=moments))
    return dict(number=number, target=target, measured=measured, radials=radials,
                codes={n: np.array(v) for n, v in written.items()}, specs=specs, t0=t0)


T0 = 1727785200.0  # 2024-10-01T12:20:00Z


def standard_cuts(rays=8):
    """A split cut at 0.5 degrees (surveillance with REF and the dual-pol
    moments, Doppler with REF, VEL, SW, CFP), then a batch cut at 1.45 with
    REF longer than VEL."""
    return [
        cut(1, 0.4834, 0.48, rays, T0, ["REF", "ZDR", "PHI", "RHO"]),
        cut(2, 0.4834, 0.52, rays, T0 + 30, ["REF", "VEL", "SW ", "CFP"],
            moment_specs={"REF": (2125, 250, 12, 8, 2.0, 66.0)}),
        cut(3, 1.4502, 1.43, rays, T0 + 60, ["REF", "VEL"]),
    ]


SITE = (35.333, -97.278, 370, 20)


def metadata_record(cuts, vcp=212, extra_types=(2, 3, 13, 15, 18)):
    """The first LDM record: messages the reader skips and the VCP."""
    frames = [fixed_frame(t, b"\x55" * 64, T0) for t in extra_types]
    frames.append(message5(vcp, [c["target"] for c in cuts], T0))
    return b"".join(frames)


def radial_messages(cuts, with_site=True):
    out = []
    for c in cuts:
        for i, r in enumerate(c["radials"]):
            out.append(message31(r, SITE if with_site and i == 0 else None))
    return out


def write_archive(path, cuts, quirk=None):
    """An Archive II file (bzip2 LDM records, one per cut) with `quirk`;
    returns the bytes written."""
    quirk = quirk or {}
    header = volume_header(epoch_s=T0 + quirk.get("header_later_s", 0.0))
    records = []
    if quirk.get("vcp", True):
        records.append(ldm_record(metadata_record(cuts)))
    else:
        records.append(ldm_record(metadata_record(cuts, extra_types=(2,))[:FRAME]))
    per_cut = [b"".join(message31(r, SITE if i == 0 else None) for i, r in enumerate(c["radials"]))
               for c in cuts]
    for i, payload in enumerate(per_cut):
        if quirk.get("unknown_between"):
            payload = fixed_frame(202, b"\x33" * 40, T0) + payload
        records.append(ldm_record(payload, last=i == len(per_cut) - 1))
    data = header + b"".join(records)
    if quirk.get("gzip"):
        data = gzip.compress(data)
    with open(path, "wb") as f:
        f.write(data)
    return data


def legacy_cuts(rays=6):
    """Message 1 cuts: REF 1 km gates from 0 m, VEL and SW 250 m gates from -375 m."""
    cuts = []
    for number, el in ((1, 0.5), (2, 1.5)):
        radials, written = [], {"REF": [], "VEL": [], "SW": []}
        for i in range(rays):
            moments = {n: (codes(n, i, g, 8), None) for n, g in (("REF", 10), ("VEL", 16), ("SW", 16))}
            for n in written:
                written[n].append(moments[n][0])
            radials.append(dict(time=T0 + number * 40 + i * 0.5, az=i * 60.0 + 0.5, el=el, cut=number,
                                status=0 if i == 0 else 2 if i == rays - 1 else 1, moments=moments))
        cuts.append(dict(number=number, target=None, measured=el, radials=radials,
                         codes={n: np.array(v) for n, v in written.items()}))
    return cuts


def write_legacy(path, cuts):
    """An uncompressed Archive II file of message 1 radials, without a site
    position."""
    data = volume_header(tag=b"ARCHIVE2.") + b"".join(message1(r) for c in cuts for r in c["radials"])
    with open(path, "wb") as f:
        f.write(data)
    return data


def write_chunks(cuts):
    """The real-time chunks of a volume: (kind, bytes) for S (volume header
    and metadata record), I (one per cut but the last) and E (the last cut,
    with a negative record size)."""
    chunks = [("S", volume_header() + ldm_record(metadata_record(cuts)))]
    for i, c in enumerate(cuts):
        payload = b"".join(message31(r, SITE if j == 0 else None) for j, r in enumerate(c["radials"]))
        last = i == len(cuts) - 1
        if i > 0 and not last:
            payload = fixed_frame(202, b"\x33" * 40, T0) + payload  # a type the reader does not know
        chunks.append(("E" if last else "I", ldm_record(payload, last=last)))
    return chunks
