"""ODIM_H5 as real producers write it: attributes at other levels, parts
left out, quality groups, float data without codes. Each quirk of the table
is written with h5py, converted with `common-dto convert` to CF/Radial 1.4,
2.1 and ODIM_H5, and the outputs read with netCDF4, xarray and h5py."""

import h5py
import netCDF4
import numpy as np
import pytest
import xarray as xr

from conftest import attrs as _attrs, read_volume, write_cfradial1, write_volume

T0 = 1717243200  # 2024-06-01T12:00:00Z
RAYS, BINS = 36, 10
SPAN = 15  # seconds of each sweep; sweep n starts at T0 + 20 (n - 1)


def _clock(t):
    return "%02d%02d%02d" % ((t // 3600) % 24, (t // 60) % 60, t % 60)


def codes(n, modulo=250):
    return ((np.arange(RAYS * BINS).reshape(RAYS, BINS) + 7 * n) % modulo).astype("u1")


def write_plain(path):
    """What most producers write: two scans, dataset start and end only (no
    per-ray times, no startazA), uint8 DBZH and uint16 VRADH, nothing in how."""
    with h5py.File(path, "w") as f:
        f.attrs["Conventions"] = np.bytes_("ODIM_H5/V2_2")
        _attrs(f.create_group("what"), object="PVOL", version="H5rad 2.2", date="20240601",
               time="120000", source="WMO:06610,NOD:chdem")
        _attrs(f.create_group("where"), lon=8.25, lat=47.5, height=540.0)
        for n in (1, 2):
            t = 20 * (n - 1)
            ds = f.create_group("dataset%d" % n)
            _attrs(ds.create_group("what"), product="SCAN", startdate="20240601",
                   starttime="12%04d" % t, enddate="20240601", endtime="12%04d" % (t + SPAN))
            _attrs(ds.create_group("where"), elangle=0.5 * n, nbins=np.int64(BINS), rstart=0.0,
                   rscale=500.0, nrays=np.int64(RAYS), a1gate=np.int64(0))
            d1 = ds.create_group("data1")
            d1.create_dataset("data", data=codes(n))
            _attrs(d1.create_group("what"), quantity="DBZH", gain=0.5, offset=-32.0,
                   nodata=255.0, undetect=0.0)
            d2 = ds.create_group("data2")
            d2.create_dataset("data", data=codes(n).astype("u2") * 200)
            _attrs(d2.create_group("what"), quantity="VRADH", gain=0.01, offset=-327.68,
                   nodata=65535.0, undetect=0.0)


def root_how(f):
    _attrs(f.require_group("how"), NI=58.6, highprf=1200.0, lowprf=800.0, pulsewidth=0.8,
           rpm=3.0, wavelength=5.33, beamwidth=0.9)


def no_conventions(f):
    del f.attrs["Conventions"]


def a1gate(f):
    for n in (1, 2):
        f["dataset%d/where" % n].attrs["a1gate"] = np.int64(7)


def astart(f):
    for n in (1, 2):
        _attrs(f["dataset%d" % n].create_group("how"), astart=0.5)


def quality(f):
    """BALTRAD style: a dataset-level quality field without quantity and a
    beam-blockage field of DBZH."""
    for n in (1, 2):
        q = f["dataset%d" % n].create_group("quality1")
        q.create_dataset("data", data=codes(n, 200))
        _attrs(q.create_group("what"), gain=1 / 255.0, offset=0.0)
        _attrs(q.create_group("how"), task="pl.imgw.quality.qi_total")
        q = f["dataset%d/data1" % n].create_group("quality1")
        q.create_dataset("data", data=codes(n + 1, 100))
        _attrs(q.create_group("what"), quantity="QIND", gain=0.01, offset=0.0)
        _attrs(q.create_group("how"), task="se.smhi.detector.beamblockage")


def float_nan(f):
    """Float TH with NaN for missing and no gain, offset or codes."""
    for n in (1, 2):
        d3 = f["dataset%d" % n].create_group("data3")
        d3.create_dataset("data", data=TH_VALUES)
        _attrs(d3.create_group("what"), quantity="TH")


def float_huge_nodata(f):
    for n in (1, 2):
        d3 = f["dataset%d" % n].create_group("data3")
        d3.create_dataset("data", data=np.where(np.isnan(TH_VALUES), np.float32(-9.99e33),
                                                TH_VALUES))
        _attrs(d3.create_group("what"), quantity="TH", gain=1.0, offset=0.0, nodata=-9.99e33,
               undetect=-9.99e33)


def odim20(f):
    """ODIM 2.0 placement: the scale in datasetN/what, NI only in the VRADH
    group's how, one beam width (beamwH) at the root."""
    f.attrs["Conventions"] = np.bytes_("ODIM_H5/V2_0")
    f["what"].attrs["version"] = np.bytes_("H5rad 2.0")
    _attrs(f.require_group("how"), beamwH=1.0)
    for n in (1, 2):
        ds = f["dataset%d" % n]
        for key in ("gain", "offset", "nodata", "undetect"):
            ds["what"].attrs[key] = ds["data1/what"].attrs[key]
            del ds["data1/what"].attrs[key]
        _attrs(ds["data2"].require_group("how"), NI=27.0)


def no_dataset_start(f):
    for key in ("startdate", "starttime"):
        del f["dataset1/what"].attrs[key]


QUALITY_EXPECT = {
    "quality": {"dataset1/quality1": ("dataset1/quality1", "pl.imgw.quality.qi_total"),
                "dataset1/data1/quality1": ("dataset1/data1/quality1",
                                            "se.smhi.detector.beamblockage")}}

TH_VALUES = np.where(np.arange(RAYS * BINS).reshape(RAYS, BINS) % 7 == 0, np.nan,
                     np.arange(RAYS * BINS).reshape(RAYS, BINS) / 4.0 - 20).astype("f4")

# id, mutation, notes the conversion prints, expected values:
#   "how": attributes of the written ODIM's /how and dataset1/how (None: absent),
#   "nyquist": CF nyquist_velocity (None: not checked), "azimuth0": CF azimuth
#   of row 0, "quality": {written ODIM group: (source group, how/task)}.
QUIRKS = [q if hasattr(q, "marks") else pytest.param(*q, id=q[0]) for q in [
    ("root_how", root_how, [],
     {"how": {"how/beamwH": 0.9, "how/beamwV": 0.9, "how/wavelength": 5.33,
              "dataset1/how/NI": 58.6, "dataset1/how/highprf": 1200.0,
              "dataset1/how/lowprf": 800.0, "dataset1/how/pulsewidth": 0.8,
              "dataset1/how/rpm": 3.0},
      "nyquist": 58.6}),
    ("nothing_in_how", None, ["ray times derived from the sweeps' start and end"],
     {"how": {"how/beamwH": None, "how/beamwV": None, "how/wavelength": None,
              "dataset1/how/NI": None, "dataset1/how/highprf": None,
              "dataset1/how/pulsewidth": None, "dataset1/how/rpm": None,
              "dataset1/how/scan_index": None}}),
    ("no_conventions", no_conventions, ["no Conventions attribute; read as ODIM_H5"], {}),
    ("a1gate", a1gate, ["ray times derived"], {"first_acquired": 7}),
    ("astart", astart, [], {"azimuth0": 5.5, "how": {"dataset1/how/startazA": 0.5}}),
    ("quality", quality, ["no nodata or undetect code; every sample taken as measured"],
     QUALITY_EXPECT),
    ("float_nan", float_nan, ["moment TH: no gain or offset; float samples taken as they are"],
     {"th": True}),
    ("float_huge_nodata", float_huge_nodata, ["moment TH: samples equal to the code"],
     {"th": True}),
    ("odim20", odim20, [],
     {"how": {"how/beamwH": 1.0, "how/beamwV": None, "dataset1/how/NI": 27.0}, "nyquist": 27.0}),
    ("moment_ni_differs", lambda f: (root_how(f), odim20(f)),
     ["how/NI of a moment differs from its sweep's; the sweep's kept (/dataset1/data2/how)"],
     {"how": {"dataset1/how/NI": 58.6}, "nyquist": 58.6}),
    ("no_dataset_start", no_dataset_start,
     ["datasets without startdate, starttime: /what/date, time taken as their start"], {}),
]]


def _check_cf_times(ds, rows, n, expect):
    """xarray's decoded times of sweep n lie within its start and end."""
    t = ds["time"].values[rows].astype("datetime64[ms]").astype("i8") / 1000.0
    start = T0 + 20 * (n - 1)
    assert t.min() >= start and t.max() <= start + SPAN, (t.min(), t.max())
    if "first_acquired" in expect:
        assert t[expect["first_acquired"]] == start
        assert t.argmin() == expect["first_acquired"]


def _check_cf(path, version, expect):
    for n in (1, 2):
        if version == "cfradial2":
            ds = xr.open_dataset(path, group="sweep_%d" % (n - 1))
            rows = slice(None)
        else:
            ds = xr.open_dataset(path)
            rows = slice((n - 1) * RAYS, n * RAYS)
        _check_cf_times(ds, rows, n, expect)
        physical = np.where(codes(n) == 255, np.nan, -32 + 0.5 * codes(n).astype("f8"))
        np.testing.assert_allclose(ds["DBZH"].values[rows], physical)
        azimuth = ds["azimuth"].values[rows]
        np.testing.assert_allclose(azimuth, expect.get("azimuth0", 5.0) + 10.0 * np.arange(RAYS),
                                   atol=1e-4)
        if expect.get("nyquist") is not None:
            np.testing.assert_allclose(ds["nyquist_velocity"].values[rows], expect["nyquist"])
        if expect.get("th"):
            np.testing.assert_array_equal(ds["TH"].values[rows], TH_VALUES)
        if "quality" in expect:
            assert "QUALITY1" in ds and "QIND_DBZH" in ds
        ds.close()
    with netCDF4.Dataset(path) as f:
        for var in ("time_coverage_start", "time_coverage_end"):
            assert netCDF4.chartostring(f[var][:]).item().startswith("2024-06-01T12:00")


def _by_quantity(dataset):
    return {g["what"].attrs["quantity"].decode(): g for k, g in dataset.items()
            if k.startswith("data")}


def _check_odim(path, source, expect):
    with h5py.File(path, "r") as f, h5py.File(source, "r") as s:
        assert (f["what"].attrs["date"], f["what"].attrs["time"]) == (b"20240601", b"120000")
        for n in (1, 2):
            what = f["dataset%d/what" % n].attrs
            start = T0 + 20 * (n - 1)
            assert what["starttime"] == _clock(start).encode()
            assert what["endtime"] == _clock(start + SPAN).encode()
            how = f["dataset%d/how" % n].attrs
            assert how["startazT"].min() == start and how["stopazT"].max() == start + SPAN
            assert (how["startazT"] < how["stopazT"]).all()
            groups = _by_quantity(f["dataset%d" % n])
            for quantity, nodata in (("DBZH", 255.0), ("VRADH", 65535.0)):
                w = groups[quantity]["what"].attrs
                assert (w["undetect"], w["nodata"]) == (0.0, nodata)
        for key, value in expect.get("how", {}).items():
            group, name = key.rsplit("/", 1)
            if value is None:
                assert name not in f[group].attrs, key
            else:
                np.testing.assert_allclose(np.atleast_1d(f[group].attrs[name])[0], value,
                                           rtol=1e-6, err_msg=key)
        if "quality" in expect:
            assert set(f["dataset2"]) == {"what", "where", "how", "data1", "data2", "quality1"}
            assert f["dataset2/quality1/what"].attrs["quantity"] == b"QUALITY1"
            assert f["dataset2/data1/quality1/what"].attrs["quantity"] == b"QIND"
            assert "quality1" not in f["dataset2/data2"]  # VRADH has none
        for written, (original, task) in expect.get("quality", {}).items():
            np.testing.assert_array_equal(f[written + "/data"][...], s[original + "/data"][...])
            assert f[written + "/how"].attrs["task"] == task.encode()
            assert f[written + "/what"].attrs["gain"] == s[original + "/what"].attrs["gain"]
        if expect.get("th"):
            th = _by_quantity(f["dataset1"])["TH"]
            np.testing.assert_array_equal(th["data"][...], TH_VALUES)
            assert np.isnan(th["what"].attrs["nodata"])


@pytest.mark.parametrize("name, mutate, notes, expect", QUIRKS)
def test_producer_quirk_converts_faithfully(tmp_path, tool, name, mutate, notes, expect):
    source = tmp_path / "in.h5"
    write_plain(source)
    if mutate is not None:
        with h5py.File(source, "a") as f:
            mutate(f)
    for to in ("cfradial1", "cfradial2"):
        out = tmp_path / (to + ".nc")
        result = tool("convert", "--to", to, source, out)
        for note in notes:
            assert note in result.stderr, (note, result.stderr)
        _check_cf(out, to, expect)
    tool("convert", "--to", "odim", source, tmp_path / "out.h5")
    _check_odim(tmp_path / "out.h5", source, expect)


@pytest.mark.parametrize("obj, to, error, code", [
    ("RHI", "cfradial1", "/what/object: RHI: products are not converted yet", "(unsupported)"),
    ("XSEC", "cfradial1", "/what/object: XSEC: products are not converted yet", "(unsupported)"),
    ("VP", "cfradial1", "/what/object: VP: products are not converted yet", "(unsupported)"),
    # Read as a product: a polar dataset's where has no projdef.
    ("COMP", "geotiff", "/where/projdef: missing", "(malformed)"),
    ("IMAGE", "geotiff", "/where/projdef: missing", "(malformed)"),
])
def test_odim_objects_not_converted_are_refused_naming_why(tmp_path, tool, obj, to, error, code):
    write_plain(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        f["what"].attrs["object"] = np.bytes_(obj)
        del f.attrs["Conventions"]  # products of older chains have none either
    out = tmp_path / ("out.tif" if to == "geotiff" else "out.nc")
    result = tool("convert", "--to", to, tmp_path / "in.h5", out, expect=2)
    assert error in result.stderr and code in result.stderr
    assert not out.exists()


def test_cfradial_to_odim_times(tmp_path, tool):
    """A sweep whose 36 rays span 15 s, with no time_coverage_start beyond
    the rays' own times."""
    write_cfradial1(tmp_path / "in.nc", sweeps=1, step_ms=SPAN * 1000 / RAYS)
    tool("convert", "--to", "odim", tmp_path / "in.nc", tmp_path / "out.h5")
    step = SPAN / RAYS
    with h5py.File(tmp_path / "out.h5", "r") as f:
        assert (f["what"].attrs["date"], f["what"].attrs["time"]) == (b"20240601", b"120000")
        what = f["dataset1/what"].attrs
        assert (what["startdate"], what["starttime"]) == (b"20240601", b"120000")
        # The last ray starts at 14.58 s; it ends when the sweep does, as far
        # as the file tells: its own start.
        assert (what["enddate"], what["endtime"]) == (b"20240601", b"120014")
        how = f["dataset1/how"].attrs
        np.testing.assert_allclose(how["startazT"], T0 + np.arange(RAYS) * step, atol=1e-6)
        np.testing.assert_allclose(how["stopazT"][:-1], T0 + np.arange(1, RAYS) * step, atol=1e-6)
        assert how["stopazT"][-1] == how["startazT"][-1]
        assert "beamwH" not in f["how"].attrs and "NI" not in how


def test_moment_without_below_threshold_code_gets_undetect_nodata(tmp_path, tool, volume_file):
    """under_threshold == not_scanned (what CF/Radial gives): undetect is
    written as nodata, not as 0 (which DBZH code 0, -32 dBZ, would mean)."""
    path, volume = volume_file
    for config in volume.volume_config.sweep_config:
        lin = config.data_moments["DBZH"].scale.linear_scale
        lin.under_threshold = lin.not_scanned = 255
    write_volume(path, volume)
    tool("convert", path, tmp_path / "out.h5")
    with h5py.File(tmp_path / "out.h5", "r") as f:
        dbzh = _by_quantity(f["dataset1"])["DBZH"]["what"].attrs
        assert (dbzh["nodata"], dbzh["undetect"]) == (255.0, 255.0)


@pytest.mark.parametrize("mutate, error", [
    (lambda f: f["dataset1/quality1"].__delitem__("data") or f["dataset1/quality1"].create_dataset(
        "data", data=np.zeros((RAYS, BINS - 1), "u1")),
     "/dataset1/quality1/data: shape 36 x 9 disagrees with nrays x nbins 36 x 10 (invalid_argument)"),
    (lambda f: f["how"].attrs.__setitem__("NI", np.bytes_("58.6")),
     "/how/NI: wrong type: expected a number (invalid_argument)"),
    (lambda f: f["dataset2/data2/how"].attrs.__setitem__("highprf", np.array([1.0, 2.0])),
     "/dataset2/data2/how/highprf: holds 2 values, expected 1 (invalid_argument)"),
    (lambda f: f["dataset1"].require_group("how").attrs.__setitem__("startazA",
                                                                    np.arange(RAYS - 1.0)),
     "/dataset1/how/startazA: holds 35 values, expected 36 (invalid_argument)"),
    # A quality group inherits nothing (data2 would take datasetN/what's).
    (lambda f: f["dataset1/quality1/what"].attrs.__delitem__("offset"),
     "/dataset1/quality1/what/offset: missing attribute (malformed)"),
    (lambda f: f["dataset2/what"].attrs.__setitem__("endtime", np.bytes_("12:00:35")),
     "/dataset2/what/enddate: not a date and time (invalid_argument)"),
])
def test_damaged_producer_files_are_refused_naming_the_attribute(tmp_path, tool, mutate, error):
    write_plain(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        quality(f)
        root_how(f)
        odim20(f)
        mutate(f)
    result = tool("convert", tmp_path / "in.h5", tmp_path / "out.pb", expect=2)
    assert error in result.stderr
    assert not (tmp_path / "out.pb").exists()


def test_volume_without_any_time_gets_no_date(tmp_path, tool, volume_file):
    """No task start, span or ray time: ODIM gets no date and time rather
    than 1970, and reading it back leaves the times unset."""
    from conftest import write_without_times
    path, volume = volume_file
    write_without_times(path, volume, "task_start", "input_timespan")
    result = tool("convert", path, tmp_path / "out.h5")
    assert "the volume holds no time: /what/date and time left out" in result.stderr
    assert "sweep 0: no start time known; dataset1/what/startdate, starttime left out" in result.stderr
    with h5py.File(tmp_path / "out.h5", "r") as f:
        assert "date" not in f["what"].attrs and "time" not in f["what"].attrs
        assert "starttime" not in f["dataset1/what"].attrs
        assert "startazT" not in f["dataset1/how"].attrs
        assert "startepochs" not in f["dataset1/how"].attrs
    result = tool("convert", tmp_path / "out.h5", tmp_path / "back.pb")
    assert "/what/date, time absent: the volume's nominal time not carried" in result.stderr
    for sweep in read_volume(tmp_path / "back.pb").sweep:
        assert not sweep.HasField("task_start") and not sweep.HasField("input_timespan")
        assert not sweep.rays[0].HasField("aq_start_time")


def test_dataset_without_end_keeps_it_missing(tmp_path, tool):
    """No enddate/endtime: no end is made up (nor ray times from it)."""
    write_plain(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        for key in ("enddate", "endtime"):
            del f["dataset1/what"].attrs[key]
    result = tool("convert", "--to", "odim", tmp_path / "in.h5", tmp_path / "out.h5")
    assert "datasets without enddate, endtime: sweep end not carried" in result.stderr
    assert "sweep 0: no end time known; dataset1/what/enddate, endtime left out" in result.stderr
    with h5py.File(tmp_path / "out.h5", "r") as f:
        assert f["dataset1/what"].attrs["starttime"] == b"120000"
        assert "endtime" not in f["dataset1/what"].attrs
        assert "startazT" not in f["dataset1/how"].attrs
        assert f["dataset2/what"].attrs["endtime"] == b"120035"
        assert f["dataset2/how"].attrs["stopazT"].max() == T0 + 20 + SPAN


@pytest.mark.parametrize("to", ["cfradial1", "cfradial2"])
def test_radar_settings_go_through_cfradial_instrument_parameters(tmp_path, tool, to):
    """NI, PRFs, pulse width and rpm become CF/Radial's nyquist_velocity, prt,
    prt_ratio, pulse_width and scan_rate, and come back to ODIM unchanged."""
    write_plain(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        root_how(f)
    tool("convert", "--to", to, tmp_path / "in.h5", tmp_path / "out.nc")
    with netCDF4.Dataset(tmp_path / "out.nc") as f:
        g = f["sweep_1"] if to == "cfradial2" else f
        expected = {"nyquist_velocity": 58.6, "prt": 1 / 1200.0, "prt_ratio": 800.0 / 1200.0,
                    "pulse_width": 0.8e-6, "scan_rate": 18.0}
        for name, value in expected.items():
            np.testing.assert_allclose(g[name][:], value, rtol=1e-12, err_msg=name)
            assert g[name].meta_group == "instrument_parameters"
    tool("convert", tmp_path / "out.nc", tmp_path / "back.h5")
    with h5py.File(tmp_path / "back.h5") as f:
        how = f["dataset2/how"].attrs
        for key, value in {"NI": 58.6, "highprf": 1200.0, "lowprf": 800.0, "pulsewidth": 0.8,
                           "rpm": 3.0}.items():
            assert how[key] == pytest.approx(value, rel=1e-12), key


# DBZH of dataset1 and dataset2 as (gain, offset, nodata, undetect, dtype);
# CF/Radial 1.4 holds one variable per field: packed when they agree, else
# physical values. (id, dataset1, dataset2, type written, _Undetect or None)
U1 = (0.5, -32.0, 255.0, 0.0, "u1")
PACKING = [
    ("identical", U1, U1, "u1", 0),
    ("gains_differ", U1, (0.25, -32.0, 255.0, 0.0, "u1"), "f4", -32.0),
    ("offsets_differ", U1, (0.5, -31.0, 255.0, 0.0, "u1"), "f4", None),
    ("nodata_differs", U1, (0.5, -32.0, 254.0, 0.0, "u1"), "f4", -32.0),
    ("undetect_differs", U1, (0.5, -32.0, 255.0, 1.0, "u1"), "f4", None),
    ("storage_differs", U1, (0.5, -32.0, 65535.0, 0.0, "u2"), "f4", -32.0),
    ("doubles_in_one", U1, (1.0, 0.0, -9999.0, -32.0, "f8"), "f8", -32.0),
    # dataset2 has no undetect of its own; its code 2 measures -32 dBZ
    ("undetect_value_measured", U1, (0.5, -33.0, 255.0, 255.0, "u1"), "f4", None),
    ("undetect_not_whole", (0.5, -31.5, 255.0, 0.0, "u1"), (0.25, -31.5, 255.0, 0.0, "u1"), "f4",
     -31.5),
]


def packing_codes(nodata, undetect, dtype):
    """Codes 2..201, nodata where (ray + bin) % 7 == 0, undetect where it is 1."""
    r, b = np.mgrid[0:RAYS, 0:BINS]
    c = (2 + (r * BINS + b) % 200).astype("f8")
    c[(r + b) % 7 == 0] = nodata
    c[(r + b) % 7 == 1] = undetect
    return c.astype(dtype)


@pytest.mark.parametrize("name, first, second, dtype, undetect", PACKING,
                         ids=[p[0] for p in PACKING])
def test_cfradial1_packing_by_sweep(tmp_path, tool, name, first, second, dtype, undetect):
    """Values as ODIM decodes them (offset + gain * code, undetect too,
    nodata missing) through netCDF4, xarray and this library's reader."""
    from common_dto import buffers, formats
    write_plain(tmp_path / "in.h5")
    expect, nodata, below, stored = [], [], [], []
    with h5py.File(tmp_path / "in.h5", "a") as f:
        for n, (gain, offset, no, un, kind) in ((1, first), (2, second)):
            d = f["dataset%d/data1" % n]
            del d["data"]
            codes = packing_codes(no, un, kind)
            d.create_dataset("data", data=codes)
            _attrs(d["what"], gain=gain, offset=offset, nodata=no, undetect=un)
            stored.append(codes)
            nodata.append(codes == no)
            below.append((codes == un) & (codes != no))
            expect.append(np.where(codes == no, np.nan, offset + gain * codes.astype("f8")))
    out = tmp_path / "out.nc"
    notes = tool("convert", "--to", "cfradial1", tmp_path / "in.h5", out).stderr
    assert ("moment DBZH: written unpacked" in notes) == (dtype != "u1"), notes
    assert "linear_scale" not in notes and "sweep_moments[*].type" not in notes, notes
    with netCDF4.Dataset(out) as f:
        v = f["DBZH"]
        assert v.dtype == np.dtype(dtype) and ("scale_factor" in v.ncattrs()) == (dtype == "u1")
        assert getattr(v, "_Undetect", None) == undetect
        got = v[:]
        if dtype == "u1":  # packed as before: the codes and attributes as ODIM has them
            v.set_auto_maskandscale(False)
            np.testing.assert_array_equal(v[:], np.concatenate(stored))
            assert [v.scale_factor, v.add_offset, v._FillValue] == [0.5, -32.0, 255]
    with xr.open_dataset(out) as ds:
        decoded = ds["DBZH"].values
    back = formats.read_file(out)
    for s in range(2):
        rows = slice(s * RAYS, (s + 1) * RAYS)
        np.testing.assert_array_equal(np.ma.getmaskarray(got[rows]), nodata[s])
        np.testing.assert_allclose(got[rows].filled(np.nan), expect[s], rtol=1e-6)
        np.testing.assert_allclose(decoded[rows], expect[s], rtol=1e-6)
        sweep = back.sweep[s]
        d = back.volume_config.sweep_config[s].data_moments["DBZH"]
        ours = buffers.physical_values(sweep.sweep_moments["DBZH"], d, shape=(RAYS, BINS))
        gone = np.ma.getmaskarray(ours) | np.isnan(ours.filled(0))
        np.testing.assert_array_equal(gone, nodata[s] | (below[s] & (undetect is not None)))
        np.testing.assert_allclose(ours.filled(np.nan)[~gone], expect[s][~gone], rtol=1e-6)
