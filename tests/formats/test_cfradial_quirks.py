"""CF/Radial files as real producers write them (Radx, xradar, Py-ART, vendor
software), reproduced with netCDF4-python: one table of quirks, each file
converted CF -> CF 1.4, CF -> CF 2.1 and CF -> ODIM -> CF by `common-dto
convert`, and every output read by netCDF4, xarray and h5py. A missing gate
must stay missing and a measured one measured, times must stay the file's,
and what the file lacks must stay absent."""

import datetime

import h5py
import netCDF4
import numpy as np
import pytest
import xarray as xr

GATES = 8
T0 = datetime.datetime(2020, 3, 12, 10, 0, 0)
EPOCH = datetime.datetime(1970, 1, 1)

# name -> how the producer's file differs from the plain one
QUIRKS = {
    "fill_9.999e20": dict(fill=np.float32(9.999e20)),
    "fill_-9999": dict(fill=np.float32(-9999.0)),
    "fill_nan": dict(fill=np.float32(np.nan)),
    "missing_value_only": dict(missing=np.float32(-32768.0)),
    "fill_and_missing_value": dict(fill=np.float32(9.999e20), missing=np.float32(-9999.0)),
    "packed_int16_fill_and_missing": dict(dtype="i2", fill=np.int16(-32768), missing=np.int16(-9999)),
    "date_only_units": dict(units=("seconds since 2020-03-12", 36000.0)),
    "date_midnight_units": dict(units=("seconds since 2020-03-12 00:00:00", 36000.0)),
    "fractional_z_units": dict(units=("seconds since 2020-03-12T10:00:00.5Z", -0.5)),
    "unpadded_utc_units": dict(units=("seconds since 2020-3-12 0:0:0 UTC", 36000.0)),
    "minutes_units": dict(units=("minutes since 2020-03-12 09:00", 3600.0), unit_s=60.0),
    "ragged_rays": dict(ragged=True),
    "sweep_mode_calibration": dict(mode="calibration", odim=False),
    "sweep_mode_sunscan": dict(mode="sunscan", odim=False),
    "sweep_mode_sector": dict(mode="sector"),
    "sweep_mode_ppi": dict(mode="ppi"),
    "sweep_mode_manual_rhi": dict(mode="manual_rhi", odim=False),
    "one_ray_sweeps": dict(rays=1, sweeps=3),
    "beam_width_h_only": dict(beam=("h",)),
    "no_nyquist_velocity": dict(nyquist=False),
    "producer_standard_name": dict(name="REF", standard_name="equivalent_reflectivity_factor"),
    "metadata_in_radar_parameters": dict(params_group=True),
    # 2.1 as some exporters write it: text as char arrays, the sweep's
    # angle as sweep_fixed_angle in its group
    "char_text_and_sweep_fixed_angle": dict(char_text=True),
}


def missing_mask(rays, gates, quirk):
    """Where the producer's file has no data: a fixed pattern of gates, and
    the gates beyond each ragged ray's end."""
    r, g = np.mgrid[0:rays, 0:gates]
    mask = (r + g) % 5 == 0
    if "missing" in quirk and "fill" in quirk:
        mask |= (r + g) % 7 == 1
    if quirk.get("ragged"):
        mask |= g >= ray_gates(rays)[:, None]
    return mask


def ray_gates(rays):
    return GATES - np.arange(rays) % 3


def field_values(rays, gates):
    return (np.arange(rays)[:, None] * 0.5 + np.arange(gates)).astype("f4")


def ray_times(rays):
    """Seconds after T0 of each ray of the volume."""
    return np.arange(rays) * 0.5


def write_producer(path, version, quirk):
    """A CF/Radial `version` ("1.4" or "2.1") file with `quirk`; returns the
    expected per-sweep masks and values."""
    sweeps, rays = quirk.get("sweeps", 2), quirk.get("rays", 6)
    total = sweeps * rays
    dtype = quirk.get("dtype", "f4")
    fill, missing = quirk.get("fill"), quirk.get("missing")
    if fill is None and missing is None:
        fill = np.float32(-9999.0)  # what Radx writes
    mask = missing_mask(total, GATES, dict(quirk, fill=fill))
    values = field_values(total, GATES)
    stored = np.round(values / 0.5).astype(dtype) if dtype == "i2" else values.copy()
    first = (np.arange(total)[:, None] + np.arange(GATES)) % 5 == 0
    stored[first] = fill if fill is not None else missing
    stored[mask & ~first] = missing if missing is not None else fill
    units, shift = quirk.get("units", ("seconds since 2020-03-12T10:00:00Z", 0.0))
    times = (ray_times(total) + shift) / quirk.get("unit_s", 1.0)
    mode = quirk.get("mode", "azimuth_surveillance")
    with netCDF4.Dataset(path, "w", format="NETCDF4") as f:
        f.Conventions = "CF/Radial instrument_parameters" if version == "1.4" else "Cf/Radial-2.1"
        f.version = version
        f.instrument_name = "Producer"
        f.time_coverage_start = "2020-03-12T10:00:00Z"
        for name, value in (("latitude", 47.5), ("longitude", 8.25), ("altitude", 540.0)):
            f.createVariable(name, "f8")[...] = value
        params = f.createGroup("radar_parameters") if quirk.get("params_group") else f
        for side in quirk.get("beam", ("h", "v")):
            params.createVariable("radar_beam_width_" + side, "f4")[...] = 0.9 if side == "h" else 1.1
        f.createDimension("sweep", sweeps)

        def sweep_vars(g, rows, n_rays, index):
            g.createDimension("time", n_rays)
            g.createDimension("range", GATES)
            t = g.createVariable("time", "f8", ("time",))
            t.units = units
            t[:] = times[rows]
            g.createVariable("range", "f4", ("range",))[:] = 125.0 + 250.0 * np.arange(GATES)
            g.createVariable("azimuth", "f4", ("time",))[:] = (np.arange(total) * 60.0 + 30.0)[rows] % 360
            g.createVariable("elevation", "f4", ("time",))[:] = 0.5
            if quirk.get("nyquist", True):
                nyq = g.createVariable("nyquist_velocity", "f4", ("time",))
                nyq.units = "m/s"
                nyq[:] = 16.5

        def field(g, dims, data):
            kwargs = dict(fill_value=fill) if fill is not None else dict(fill_value=False)
            kwargs["zlib"] = "n_points" in quirk  # a declared size with no storage behind it
            v = g.createVariable(quirk.get("name", "DBZH"), dtype, dims, **kwargs)
            v.set_auto_maskandscale(False)
            if missing is not None:
                v.missing_value = missing
            if dtype == "i2":
                v.scale_factor, v.add_offset = np.float32(0.5), np.float32(0.0)
            v.units = "dBZ"
            v.standard_name = quirk.get("standard_name", "radar_equivalent_reflectivity_factor_h")
            v[:len(data)] = data

        if version == "1.4":
            f.createDimension("string_length", 32)
            sweep_vars(f, slice(0, total), total, None)
            f.createVariable("fixed_angle", "f4", ("sweep",))[:] = 0.5
            f.createVariable("sweep_number", "i4", ("sweep",))[:] = np.arange(sweeps)
            f.createVariable("sweep_start_ray_index", "i4", ("sweep",))[:] = np.arange(sweeps) * rays
            f.createVariable("sweep_end_ray_index", "i4", ("sweep",))[:] = np.arange(sweeps) * rays + rays - 1
            m = f.createVariable("sweep_mode", "S1", ("sweep", "string_length"))
            m[:] = netCDF4.stringtochar(np.array([mode] * sweeps, "S32"))
            if quirk.get("ragged"):
                n = ray_gates(total)
                f.createDimension("n_points", quirk.get("n_points", int(n.sum())))
                f.createVariable("ray_n_gates", "i4", ("time",))[:] = n
                f.createVariable("ray_start_index", "i4", ("time",))[:] = np.concatenate([[0], np.cumsum(n)[:-1]])
                points = np.concatenate([stored[r, :n[r]] for r in range(total)])
                field(f, ("n_points",), points)
            else:
                field(f, ("time", "range"), stored)
        else:
            char = quirk.get("char_text", False)
            if char:
                f.createDimension("string_length", 32)
                names = f.createVariable("sweep_group_name", "S1", ("sweep", "string_length"))
                names[:] = netCDF4.stringtochar(np.array(["sweep_%d" % s for s in range(sweeps)], "S32"))
            else:
                names = f.createVariable("sweep_group_name", str, ("sweep",))
                f.createVariable("sweep_fixed_angle", "f4", ("sweep",))[:] = 0.5
            for s in range(sweeps):
                if not char:
                    names[s] = "sweep_%d" % s
                g = f.createGroup("sweep_%d" % s)
                rows = slice(s * rays, (s + 1) * rays)
                sweep_vars(g, rows, rays, s)
                g.createVariable("sweep_fixed_angle" if char else "fixed_angle", "f4")[...] = 0.5
                g.createVariable("sweep_number", "i4")[...] = s
                if char:
                    g.createVariable("sweep_mode", "S1", ("string_length",))[:] = netCDF4.stringtochar(
                        np.array(mode, "S32"))
                else:
                    g.createVariable("sweep_mode", str)[...] = np.array(mode, dtype=object)
                field(g, ("time", "range"), stored[rows])
    return [(mask[s * rays:(s + 1) * rays], values[s * rays:(s + 1) * rays]) for s in range(sweeps)]


def cf_sweeps(path, name):
    """Per sweep: the field and the times as xarray decodes them."""
    with netCDF4.Dataset(path) as f:
        groups = [str(n) for n in f["sweep_group_name"][:]] if "sweep_group_name" in f.variables else None
        rows = None if groups else list(zip(f["sweep_start_ray_index"][:], f["sweep_end_ray_index"][:]))
    out = []
    for group in groups or [None]:
        with xr.open_dataset(path, group=group) as ds:
            field, time = ds[name].values, ds["time"].values
        for a, b in rows or [(0, len(time) - 1)]:
            out.append((field[int(a):int(b) + 1], time[int(a):int(b) + 1]))
    return out


def all_groups(f):
    yield f
    for g in f.groups.values():
        yield from all_groups(g)


def check_cf_output(path, expected, quirk, source):
    name = quirk.get("name", "DBZH")
    rays = quirk.get("rays", 6)
    sweeps = cf_sweeps(path, name)
    assert len(sweeps) == len(expected)
    for s, ((data, time), (mask, values)) in enumerate(zip(sweeps, expected)):
        np.testing.assert_array_equal(np.isnan(data), mask, err_msg="sweep %d" % s)
        np.testing.assert_array_equal(data[~mask], values[~mask])
        # Times as the producer meant them, to the microsecond, never 1970.
        got = (time - np.datetime64(T0)) / np.timedelta64(1, "us")
        np.testing.assert_allclose(got, ray_times(len(expected) * rays)[s * rays:(s + 1) * rays] * 1e6, atol=1)
    with netCDF4.Dataset(path) as f:
        assert "".join(c.decode() for c in f["time_coverage_start"][:].compressed()) == "2020-03-12T10:00:00Z"
        groups = list(all_groups(f))
        has = lambda var: any(var in g.variables for g in groups)
        assert has("radar_beam_width_h")
        assert has("radar_beam_width_v") == ("v" in quirk.get("beam", ("h", "v")))
        assert has("nyquist_velocity") == quirk.get("nyquist", True)
        if source == "cf":  # ODIM_H5 has no place for these
            field_group = groups[0] if name in groups[0].variables else f["sweep_0"]
            assert field_group[name].standard_name == quirk.get("standard_name",
                                                                "radar_equivalent_reflectivity_factor_h")
            modes = ([str(m) for m in netCDF4.chartostring(f["sweep_mode"][:])] if "sweep_mode" in f.variables
                     else [str(f["sweep_%d" % s]["sweep_mode"][...]) for s in range(len(expected))])
            assert modes == [quirk.get("mode", "azimuth_surveillance")] * len(expected)


def check_odim_output(path, expected, quirk):
    name = quirk.get("name", "DBZH")
    with h5py.File(path) as f:
        for s, (mask, values) in enumerate(expected):
            ds = f["dataset%d" % (s + 1)]
            data = next(ds[k] for k in ds if k.startswith("data") and ds[k]["what"].attrs["quantity"].decode() == name)
            what = dict(data["what"].attrs)
            raw = data["data"][:].astype("f8")
            gone = np.isnan(raw) | (raw == what["nodata"]) | (raw == what["undetect"])
            np.testing.assert_array_equal(gone, mask, err_msg="dataset%d" % (s + 1))
            np.testing.assert_array_equal((raw * what["gain"] + what["offset"])[~mask], values[~mask])
            assert ds["what"].attrs["startdate"] == b"20200312"


@pytest.mark.parametrize("version", ["1.4", "2.1"])
@pytest.mark.parametrize("quirk", QUIRKS.values(), ids=QUIRKS.keys())
def test_producer_file_through_every_path(tmp_path, tool, quirk, version):
    if quirk.get("ragged") and version == "2.1":
        pytest.skip("CF/Radial 2.1 has no ragged rays")
    src = tmp_path / "producer.nc"
    expected = write_producer(src, version, quirk)
    for to in ("cfradial1", "cfradial2"):
        out = tmp_path / ("out-" + to + ".nc")
        tool("convert", "--to", to, src, out)
        check_cf_output(out, expected, quirk, "cf")
        # and once more through ourselves
        again = tmp_path / ("again-" + to + ".nc")
        tool("convert", "--to", to, out, again)
        check_cf_output(again, expected, quirk, "cf")
    if not quirk.get("odim", True):
        return
    tool("convert", src, tmp_path / "out.h5")
    check_odim_output(tmp_path / "out.h5", expected, quirk)
    tool("convert", "--to", "cfradial2", tmp_path / "out.h5", tmp_path / "back.nc")
    check_cf_output(tmp_path / "back.nc", expected, quirk, "odim")


def test_notes_name_what_was_masked_and_padded(tmp_path, tool):
    quirk = dict(QUIRKS["fill_and_missing_value"], ragged=True)
    write_producer(tmp_path / "in.nc", "1.4", quirk)
    notes = tool("convert", tmp_path / "in.nc", tmp_path / "out.pb").stderr
    assert "moment DBZH: samples equal to the fill value 9.999e+20 read as missing (NaN)" in notes
    assert "rays with fewer gates than their sweep's longest padded with the fill value" in notes


def test_ragged_rays_outside_n_points_are_refused(tmp_path, tool):
    write_producer(tmp_path / "in.nc", "1.4", dict(ragged=True))
    with netCDF4.Dataset(tmp_path / "in.nc", "a") as f:
        f["ray_start_index"][3] = 10_000
    result = tool("convert", tmp_path / "in.nc", tmp_path / "out.pb", expect=2)
    assert "ray_n_gates: ray 3 lies outside n_points or range (invalid_argument)" in result.stderr
    # n_points declared far beyond what the file holds, a ray at its end
    write_producer(tmp_path / "big.nc", "1.4", dict(ragged=True, n_points=2**31))
    with netCDF4.Dataset(tmp_path / "big.nc", "a") as f:
        f["ray_start_index"][3] = 2**31 - 16
    result = tool("convert", tmp_path / "big.nc", tmp_path / "out.pb", expect=2)
    assert ("sweep[0] moment DBZH: n_points: the rays span more points than the file can hold (too_large)"
            in result.stderr)


@pytest.mark.parametrize("sweep_times", [True, False])
def test_volume_without_ray_times(tmp_path, tool, volume_file, sweep_times):
    """Ray times come from the sweep's start and end; without those the
    times are missing, never 1970."""
    from conftest import write_without_times
    path, volume = volume_file
    start = volume.sweep[0].input_timespan.start.seconds
    write_without_times(path, volume, *([] if sweep_times else ["input_timespan"]))
    notes = tool("convert", "--to", "cfradial2", path, tmp_path / "out.nc").stderr
    with xr.open_dataset(tmp_path / "out.nc", group="sweep_0") as ds:
        time = ds["time"].values
    with netCDF4.Dataset(tmp_path / "out.nc") as f:
        assert ("time_coverage_start" in f.variables) == sweep_times
    if sweep_times:
        assert "ray times derived from their sweep's start and end times" in notes
        assert (time[0] - np.datetime64(EPOCH)) / np.timedelta64(1, "s") == start
        assert not np.isnat(time).any()
    else:
        assert "rays without a time written with time missing (NaN)" in notes
        assert np.isnat(time).all()


@pytest.mark.parametrize("units", ["seconds since 2020-13-01", "seconds since 2020-03-12 25:00",
                                   "seconds since 2020-03-12 10:00 +15:00", "fortnights since 2020-03-12",
                                   "seconds since yesterday", "seconds"])
def test_time_units_naming_no_time_are_refused(tmp_path, tool, units):
    write_producer(tmp_path / "in.nc", "1.4", {})
    with netCDF4.Dataset(tmp_path / "in.nc", "a") as f:
        f["time"].units = units
    result = tool("convert", tmp_path / "in.nc", tmp_path / "out.pb", expect=2)
    assert 'time: units are not "<unit> since <time>": %s (invalid_argument)' % units in result.stderr


def test_rays_without_time_stay_without(tmp_path, tool):
    write_producer(tmp_path / "in.nc", "1.4", {})
    with netCDF4.Dataset(tmp_path / "in.nc", "a") as f:
        f["time"][2] = np.nan
    tool("convert", "--to", "cfradial2", tmp_path / "in.nc", tmp_path / "out.nc")
    with xr.open_dataset(tmp_path / "out.nc", group="sweep_0") as ds:
        time = ds["time"].values
    assert np.isnat(time).tolist() == [False, False, True, False, False, False]
    assert time[3] == np.datetime64(T0) + np.timedelta64(1500, "ms")


def test_odim_codes_in_cf(tmp_path, tool):
    """ODIM nodata is CF's _FillValue; undetect, which CF has no code for,
    goes to _Undetect and comes back to ODIM; no other code is written."""
    from test_formats import write_odim
    rays, bins = write_odim(tmp_path / "in.h5")
    notes = tool("convert", "--to", "cfradial2", tmp_path / "in.h5", tmp_path / "out.nc").stderr
    assert "below-threshold" not in notes
    with netCDF4.Dataset(tmp_path / "out.nc") as f:
        g = f["sweep_0"]
        assert g["DBZH"]._FillValue == 255 and g["VRADH"]._FillValue == 65535
        assert g["DBZH"]._Undetect == 0 and g["DBZH"]._Undetect.dtype == np.uint8
        assert g["TH"]._FillValue == -9999.0 and "scale_factor" not in g["TH"].ncattrs()
        assert "missing_value" not in g["DBZH"].ncattrs()
    with h5py.File(tmp_path / "in.h5") as f:
        codes = f["dataset1/data1/data"][:]
    with xr.open_dataset(tmp_path / "out.nc", group="sweep_0") as ds:
        np.testing.assert_array_equal(np.isnan(ds["DBZH"].values), codes == 255)
        np.testing.assert_array_equal(ds["DBZH"].values[codes != 255], codes[codes != 255] * 0.5 - 32.0)
    tool("convert", tmp_path / "out.nc", tmp_path / "back.h5")
    with h5py.File(tmp_path / "in.h5") as a, h5py.File(tmp_path / "back.h5") as b:
        for key in ("nodata", "undetect"):
            assert b["dataset1/data1/what"].attrs[key] == a["dataset1/data1/what"].attrs[key], key
