"""Rainbow 5 volume files written from a description, as the radar
processor lays them out: an XML header (<volume>, <scan> with <pargroup>,
<sensorinfo>, one <slice> per sweep, each with <slicedata> naming its
BLOBs), then the BLOBs, each "qt"-compressed (4-byte big-endian size, then
a zlib stream). Only the standard library and numpy.

A description is a dict:
  type        volume type ("vol", "azi", "ele", "poi"); None leaves it out
  version     Rainbow version attribute
  datetime    volume datetime attribute
  scan        (date, time) of the scan
  sensor      dict of sensorinfo values (lat, lon, alt, wavelen, beamwidth,
              name) and "element": "sensorinfo" or "radarinfo"
  pargroup    dict of default settings
  slices      list of slice dicts:
                settings   dict of elements written in the slice
                date, time, datetimehighaccuracy   slicedata attributes
                start, stop     startangle / stopangle codes (None: left out)
                angle_depth     bits of the angle codes
                ms              timestamps in milliseconds (None: left out)
                moments         list of dicts: type, depth, min, max, codes
                                (rays x bins array), rays (attribute, when
                                it should lie)
  blob_patch  {blobid: function(bytes) -> bytes} applied to a BLOB's data
  size_lie    {blobid: bytes added to the size attribute}
  header_patch  function(str) -> str applied to the XML header
"""

import copy
import struct
import zlib

import numpy as np


def qt(data):
    return struct.pack(">I", len(data)) + zlib.compress(data)


def _element(name, text):
    return "<%s>%s</%s>" % (name, text, name)


def _attributes(values):
    return "".join(' %s="%s"' % (k, v) for k, v in values.items() if v is not None)


class _Blobs:
    def __init__(self):
        self.data = []

    def add(self, raw):
        self.data.append(raw)
        return len(self.data) - 1


def _slice_xml(index, s, blobs):
    out = ['<slice refid="%d">' % index]
    out += [_element(k, v) for k, v in s.get("settings", {}).items()]
    attrs = {"date": s.get("date"), "time": s.get("time"),
             "datetimehighaccuracy": s.get("datetimehighaccuracy")}
    out.append("<slicedata%s>" % _attributes(attrs))
    depth = s.get("angle_depth", 16)
    dtype = {8: ">u1", 16: ">u2", 32: ">u4"}[depth]
    for refid in ("start", "stop"):
        codes = s.get(refid)
        if codes is None:
            continue
        blob = blobs.add(np.asarray(codes, dtype=dtype).tobytes())
        out.append('<rayinfo refid="%sangle" blobid="%d" rays="%d" depth="%d"/>'
                   % (refid, blob, len(codes), depth))
    if s.get("ms") is not None:
        blob = blobs.add(np.asarray(s["ms"], dtype=">u4").tobytes())
        out.append('<rayinfo refid="timestamp" blobid="%d" rays="%d" depth="32"/>'
                   % (blob, len(s["ms"])))
    for m in s.get("moments", []):
        codes = np.asarray(m["codes"], dtype=">u1" if m["depth"] == 8 else ">u2")
        blob = blobs.add(codes.tobytes())
        out.append('<rawdata blobid="%d" rays="%d" type="%s" bins="%d" min="%s" max="%s" depth="%d"/>'
                   % (blob, m.get("rays", codes.shape[0]), m["type"], codes.shape[1], m["min"], m["max"],
                      m["depth"]))
    out.append("</slicedata></slice>")
    return "".join(out)


def _sensor_xml(sensor):
    sensor = dict(sensor)
    element = sensor.pop("element", "sensorinfo")
    name = sensor.pop("name", None)
    if element == "radarinfo":  # older files: position as attributes
        attrs = {k: sensor.pop(k) for k in ("lat", "lon", "alt") if k in sensor}
        body = (_element("name", name) if name else "") + "".join(_element(k, v) for k, v in sensor.items())
        return "<radarinfo%s>%s</radarinfo>" % (_attributes(attrs), body)
    body = "".join(_element(k, v) for k, v in sensor.items())
    return '<sensorinfo type="gdrx" id="TST"%s>%s</sensorinfo>' % (_attributes({"name": name}), body)


def build(desc):
    """The file's bytes."""
    blobs = _Blobs()
    slices = "".join(_slice_xml(i, s, blobs) for i, s in enumerate(desc["slices"]))
    pargroup = "".join(_element(k, v) for k, v in desc.get("pargroup", {}).items())
    date, time = desc.get("scan", (None, None))
    volume_attrs = {"version": desc.get("version", "5.49.8"), "datetime": desc.get("datetime"),
                    "type": desc.get("type", "vol"), "owner": ""}
    header = ('<volume%s>\n<scan name="test.vol"%s>\n<pargroup refid="sdfbase">%s</pargroup>\n%s\n'
              '</scan>\n%s\n</volume>\n<!-- END XML -->\n'
              % (_attributes(volume_attrs), _attributes({"date": date, "time": time}), pargroup,
                 slices, _sensor_xml(desc.get("sensor", {}))))
    header = desc.get("header_patch", lambda h: h)(header)
    out = [header.encode()]
    for blobid, raw in enumerate(blobs.data):
        data = qt(raw)
        data = desc.get("blob_patch", {}).get(blobid, lambda d: d)(data)
        size = len(data) + desc.get("size_lie", {}).get(blobid, 0)
        out.append(b'<BLOB blobid="%d" size="%d" compression="qt">\n' % (blobid, size))
        out.append(data + b"\n</BLOB>\n")
    return b"".join(out)


def write(path, desc):
    data = build(desc)
    path.write_bytes(data)
    return data


# ---- The test volume ---------------------------------------------------------

def angle_codes(first_deg, rays, step_deg=1.0):
    """16-bit codes of rays starting at first_deg, step_deg apart."""
    deg = (first_deg + step_deg * np.arange(rays)) % 360.0
    return np.round(deg * 65536 / 360.0).astype(np.int64) % 65536


def moment_codes(rays, bins, seed, depth):
    """Codes 0 (no data) to the top code, all of them present."""
    top = 2 ** depth - 1
    return ((np.arange(rays * bins).reshape(rays, bins) * 7 + seed) % (top + 1)).astype(np.int64)


DATE = "2024-06-01"


def test_volume():
    """Three slices listed at rising elevation and scanned downwards
    (slice 2 first at 12:00:00, slice 0 last at 12:01:00.250); slice 0 a
    full circle of 361 rays with the settings the others inherit, per-slice
    gate counts, 8-bit dBZ and 16-bit V, timestamps in slices 0 and 1."""
    slices = []
    layout = [  # posangle, rays, bins, clock, first azimuth, timestamps
        (0.5, 361, 12, "12:01:00", 270.0, True),
        (1.5, 360, 10, "12:00:30", 90.0, True),
        (3.0, 360, 8, "12:00:00", 0.0, False),
    ]
    for n, (el, rays, bins, clock, az0, stamped) in enumerate(layout):
        start = angle_codes(az0, rays)
        s = {
            "settings": {"posangle": el},
            "date": DATE, "time": clock,
            "start": start, "stop": (start + 182) % 65536,
            "ms": (np.arange(rays) * 83 + 5) if stamped else None,
            "moments": [
                {"type": "dBZ", "depth": 8, "min": -31.5, "max": 95.5,
                 "codes": moment_codes(rays, bins, n, 8)},
                {"type": "V", "depth": 16, "min": -48.0, "max": 48.0,
                 "codes": moment_codes(rays, bins, 1000 * n + 3, 16)},
            ],
        }
        slices.append(s)
    slices[0]["datetimehighaccuracy"] = DATE + "T12:01:00.250"
    slices[0]["settings"].update({"rangestep": 0.5, "startrange": 0.0, "stoprange": 6.0,
                                  "anglestep": 1.0, "antspeed": 12.0, "highprf": 1000.0,
                                  "pw_index": 1})
    slices[2]["settings"]["rangestep"] = 0.25  # its own, not the first slice's
    return {
        "type": "vol", "version": "5.49.8", "datetime": DATE + "T12:00:00",
        "scan": (DATE, "12:00:00"),
        "sensor": {"lat": 47.5, "lon": 8.25, "alt": 540.0, "wavelen": 0.0531, "beamwidth": 1.0,
                   "name": "Testsite"},
        "pargroup": {"antspeed": 18.0, "anglestep": 1.0},
        "slices": slices,
    }


def decoded(m):
    """Physical values of a moment (NaN where the code is 0)."""
    codes = np.asarray(m["codes"], dtype=float)
    step = (m["max"] - m["min"]) / (2 ** m["depth"] - 2)
    return np.where(codes == 0, np.nan, m["min"] + (codes - 1) * step)


def copy_of(desc):
    return copy.deepcopy(desc)
