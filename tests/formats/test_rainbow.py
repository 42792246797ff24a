"""Rainbow 5 volumes as the radar processor writes them (rainbow_fixture),
converted with `common-dto convert` to CF/Radial and ODIM_H5 and read back
with xarray and h5py: values, angles and times as the file holds them, the
quirks of real files as a table, damaged files with their exact outcome."""

import h5py
import numpy as np
import pytest
import xarray as xr

import rainbow_fixture as rb

T_SLICE = [np.datetime64("2024-06-01T12:01:00.250"), np.datetime64("2024-06-01T12:00:30"),
           np.datetime64("2024-06-01T12:00:00")]


def _sweep(path, n):
    return xr.open_dataset(path, group="sweep_%d" % n)


def _check_values(ds, desc, n):
    s = desc["slices"][n]
    rays, bins = np.asarray(s["moments"][0]["codes"]).shape
    assert ds.sizes["azimuth" if "azimuth" in ds.sizes else "time"] == rays
    for m in s["moments"]:
        name = {"dBZ": "DBZH", "V": "VRADH"}.get(m["type"], m["type"])
        values = ds[name].values[:, :np.asarray(m["codes"]).shape[1]]
        np.testing.assert_allclose(values, rb.decoded(m), rtol=1e-5, atol=1e-5, err_msg=name)


def _ms(t):
    """Milliseconds since 1970, as floats (times go through doubles)."""
    return np.asarray(t).astype("datetime64[us]").astype("i8") / 1000.0


def test_volume_converts_with_its_values_angles_and_times(tmp_path, tool):
    desc = rb.test_volume()
    rb.write(tmp_path / "in.vol", desc)
    result = tool("convert", "--to", "cfradial2", tmp_path / "in.vol", tmp_path / "out.nc")
    assert "moment VRADH" not in result.stderr  # every moment is an ODIM quantity
    assert "not carried: slice/pw_index" in result.stderr
    for n, s in enumerate(desc["slices"]):
        with _sweep(tmp_path / "out.nc", n) as ds:
            _check_values(ds, desc, n)
            assert float(ds["fixed_angle"]) == s["settings"]["posangle"]
            start = np.asarray(s["start"]) * 360.0 / 65536
            # The azimuth written is the ray's centre: a stop 182 codes on.
            np.testing.assert_allclose(ds["azimuth"].values, (start + 91 * 360.0 / 65536) % 360, atol=1e-4)
            t = _ms(ds["time"].values)
            if s["ms"] is not None:
                np.testing.assert_allclose(t, _ms(T_SLICE[n]) + s["ms"], rtol=0, atol=0.002)
            else:  # spread evenly over the 360 rays' 182 codes at 12 deg/s
                step = 182 * 360.0 / 65536 / 12.0 * 1000
                np.testing.assert_allclose(t - _ms(T_SLICE[n]), np.arange(360) * step, atol=1.0)
            gates = np.asarray(s["moments"][0]["codes"]).shape[1]
            step_m = 250.0 if n == 2 else 500.0  # slice 2's own range step, else the first slice's
            np.testing.assert_allclose(ds["range"].values[:gates], step_m / 2 + step_m * np.arange(gates))
    with xr.open_dataset(tmp_path / "out.nc") as root:
        assert float(root["latitude"]) == 47.5 and float(root["altitude"]) == 540.0


def test_361_rays_and_the_downward_order_stay_as_stored(tmp_path, tool):
    desc = rb.test_volume()
    del desc["slices"][2]["settings"]["rangestep"]  # CF/Radial 1.4 has one range step
    rb.write(tmp_path / "in.vol", desc)
    tool("convert", "--from", "rainbow", "--to", "cfradial1", tmp_path / "in.vol", tmp_path / "out.nc")
    with xr.open_dataset(tmp_path / "out.nc") as ds:
        np.testing.assert_array_equal(ds["sweep_start_ray_index"].values, [0, 361, 721])
        np.testing.assert_array_equal(ds["fixed_angle"].values, [0.5, 1.5, 3.0])
        t = ds["time"].values
        np.testing.assert_allclose(_ms(t[[0, 361, 721]]), _ms(T_SLICE) + [5, 5, 0], rtol=0, atol=0.002)
        # The first and last rays of the full circle overlap; both are kept.
        az = ds["azimuth"].values
        assert abs(az[360] - az[0]) < 1e-3


def test_odim_output_keeps_the_codes_and_scale(tmp_path, tool):
    desc = rb.test_volume()
    rb.write(tmp_path / "in.vol", desc)
    tool("convert", "--to", "odim", tmp_path / "in.vol", tmp_path / "out.h5")
    with h5py.File(tmp_path / "out.h5", "r") as f:
        for n, s in enumerate(desc["slices"]):
            groups = {g["what"].attrs["quantity"].decode(): g for k, g in f["dataset%d" % (n + 1)].items()
                      if k.startswith("data")}
            for m in s["moments"]:
                g = groups[{"dBZ": "DBZH", "V": "VRADH"}[m["type"]]]
                np.testing.assert_array_equal(g["data"][...], m["codes"])
                w = g["what"].attrs
                step = (m["max"] - m["min"]) / (2 ** m["depth"] - 2)
                np.testing.assert_allclose([w["gain"], w["offset"]], [step, m["min"] - step])
                assert w["nodata"] == 0 and w["undetect"] == 0
        assert f["where"].attrs["lat"] == 47.5
        np.testing.assert_allclose(f["how"].attrs["wavelength"], 5.31)
        assert f["dataset3/what"].attrs["starttime"] == b"120000"
        assert f["dataset1/what"].attrs["starttime"] == b"120100"


def test_summary_reads_it(tmp_path, tool):
    rb.write(tmp_path / "in.vol", rb.test_volume())
    assert "DBZH" in tool("summary", tmp_path / "in.vol").stdout


# ---- Quirks of real files ----------------------------------------------------

def radarinfo(d):
    d["sensor"]["element"] = "radarinfo"


def no_timestamps(d):
    for s in d["slices"]:
        s["ms"] = None


def unknown_moment(d):
    d["slices"][0]["moments"][1]["type"] = "Vu"


def fewer_gates(d):
    m = d["slices"][0]["moments"][1]
    m["codes"] = np.asarray(m["codes"])[:, :7]


def size_too_large(d):
    d["size_lie"] = {k: 40 for k in range(40)}


def size_too_small(d):
    d["size_lie"] = {k: -9 for k in range(40)}


def no_startrange(d):
    del d["slices"][0]["settings"]["startrange"]


def no_stopangle(d):
    for s in d["slices"]:
        s["stop"] = None


def counterclockwise(d):
    for s in d["slices"]:
        s["stop"] = (np.asarray(s["start"]) - 182) % 65536


def rhi(d):
    d["type"] = "ele"
    for s in d["slices"]:
        s["start"] = (np.arange(len(s["start"])) * 30) % 65536
        s["stop"] = s["start"] + 182


def xml_declaration(d):
    d["header_patch"] = lambda h: ('<?xml version="1.0" encoding="UTF-8"?>\n<!-- by hand -->\n'
                                   + h.replace("<posangle>0.5<", "<posangle><![CDATA[0.5]]><"))


def unclosed(d):
    """The outer elements left open: the sensor lands inside the scan."""
    d["header_patch"] = lambda h: h.replace("</scan>", "").replace("</volume>", "")


QUIRKS = [
    # name, mutation, notes expected, check of the CF/Radial 2.1 output
    ("plain", None, [], None),
    ("radarinfo", radarinfo, [], lambda ds, root: float(root["longitude"]) == 8.25),
    ("no_timestamps", no_timestamps,
     ["slices without timestamps: sweep end from the antenna speed, ray times spread evenly"],
     lambda ds, root: abs(_ms(ds["time"].values[0]) - _ms(T_SLICE[0])) < 0.002),
    ("unknown_moment", unknown_moment, ["moment Vu: no ODIM quantity; kept under its name"],
     lambda ds, root: "Vu" in ds and "VRADH" not in ds),
    ("fewer_gates", fewer_gates, ["moment VRADH: padded from 7 to 12 gates with the no-data code 0"],
     lambda ds, root: np.isnan(ds["VRADH"].values[:, 7:]).all()),
    ("size_too_large", size_too_large, ["declared size"], None),
    ("size_too_small", size_too_small, ["declared size"], None),
    ("no_startrange", no_startrange, ["no startrange: ranges taken to start at 0 km"],
     lambda ds, root: float(ds["range"][0]) == 250.0),
    ("no_stopangle", no_stopangle, [],
     lambda ds, root: np.allclose(ds["azimuth"].values, (np.asarray(rb.test_volume()["slices"][0]["start"])
                                                          * 360.0 / 65536 + 0.5) % 360, atol=1e-4)),
    ("counterclockwise", counterclockwise, [],
     lambda ds, root: np.allclose(ds["azimuth"].values, (np.asarray(rb.test_volume()["slices"][0]["start"])
                                                          - 91) % 65536 * 360.0 / 65536, atol=1e-4)),
    ("xml_declaration", xml_declaration, [], None),
    ("unclosed", unclosed, [], lambda ds, root: float(root["latitude"]) == 47.5),
    ("rhi", rhi, [], lambda ds, root: str(ds["sweep_mode"].values) == "rhi"
     and np.allclose(ds["elevation"].values[:3], np.array([0, 30, 60]) * 360.0 / 65536 + 91 * 360.0 / 65536)),
]


@pytest.mark.parametrize("name, mutate, notes, check", QUIRKS)
def test_producer_quirk_reads_as_the_file_says(tmp_path, tool, name, mutate, notes, check):
    desc = rb.test_volume()
    if mutate is not None:
        mutate(desc)
    rb.write(tmp_path / "in.vol", desc)
    result = tool("convert", "--to", "cfradial2", tmp_path / "in.vol", tmp_path / "out.nc")
    for note in notes:
        assert note in result.stderr, (note, result.stderr)
    with _sweep(tmp_path / "out.nc", 0) as ds, xr.open_dataset(tmp_path / "out.nc") as root:
        if name not in ("unknown_moment", "fewer_gates"):
            _check_values(ds, desc, 0)
        if check is not None:
            assert check(ds, root), name


# ---- Damaged files -------------------------------------------------------------

def _blob_offset(data, blobid):
    return data.index(b'<BLOB blobid="%d"' % blobid)


def cut_in_last_blob(data):
    return data[:-30]


def cut_in_header(data):
    return data[:data.index(b"<slice refid=\"1\"") + 40]


def cut_before_blob(data):
    return data[:_blob_offset(data, 4)]


def huge_declared(desc):
    desc["blob_patch"] = {2: lambda d: b"\xff\xff\xff\xf0" + d[4:]}


def small_declared(desc):
    desc["blob_patch"] = {2: lambda d: (len(d) // 2).to_bytes(4, "big") + d[4:]}


def not_zlib(desc):
    desc["blob_patch"] = {2: lambda d: d[:4] + b"\x00" * (len(d) - 4)}


def rays_lie(desc):
    desc["slices"][0]["moments"][0]["rays"] = 360


def pointing(desc):
    desc["type"] = "poi"


def product(desc):
    desc["header_patch"] = lambda h: h.replace("<volume ", "<product ").replace("</volume>", "</product>")


DAMAGE = [
    # name, description mutation, bytes mutation, error text, error code
    ("cut_in_last_blob", None, cut_in_last_blob, "compressed data cut short", "truncated"),
    ("cut_before_blob", None, cut_before_blob, "BLOB 4 is not in the file (cut short?)", "truncated"),
    ("cut_in_header", None, cut_in_header, "BLOB 3 is not in the file (cut short?)", "truncated"),
    ("huge_declared", huge_declared, None, "4294967280 bytes declared, more than the", "too_large"),
    ("small_declared", small_declared, None, "decompresses to more than the", "malformed"),
    ("not_zlib", not_zlib, None, "not a zlib stream", "malformed"),
    ("rays_lie", rays_lie, None, "slice[0]/slicedata/rawdata[0]: BLOB 3 holds 4332 bytes, its rays and depth need 4320",
     "invalid_argument"),
    ("pointing", pointing, None, "\"poi\" scans are not converted", "unsupported"),
    ("product", product, None, "a Rainbow product, not a volume: not converted", "unsupported"),
]


@pytest.mark.parametrize("name, mutate, cut, message, code", DAMAGE)
def test_damaged_file_is_refused_with_its_reason(tmp_path, tool, name, mutate, cut, message, code):
    desc = rb.test_volume()
    if mutate is not None:
        mutate(desc)
    data = rb.build(desc)
    if cut is not None:
        data = cut(data)
    (tmp_path / "in.vol").write_bytes(data)
    # Found from the content, as told.
    tool("convert", "--to", "cfradial1", tmp_path / "in.vol", tmp_path / "out.nc", expect=2)
    result = tool("convert", "--from", "rainbow", "--to", "cfradial1", tmp_path / "in.vol",
                  tmp_path / "out.nc", expect=2)
    assert message in result.stderr, result.stderr
    assert "(%s)" % code in result.stderr, result.stderr
    assert not (tmp_path / "out.nc").exists()
