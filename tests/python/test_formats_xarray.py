"""Radar files through the binding, and xarray.open_dataset(engine="common_dto")
on every kind of file the package reads, against independent readers
(h5py for ODIM_H5, netCDF4 for CF/Radial) and against buffer decoding."""

import h5py
import netCDF4
import numpy as np
import pytest
import xarray as xr

from common_dto import InstrumentData
from common_dto import buffers, formats
from common_dto.assembly import write_split_volume
from common_dto.dataset import sweep_to_dataset
from common_dto.model import Error, moment_descriptor

from conftest import GATES, RAYS

# The moments of the test volume that radar formats carry as they are.
FORMAT_MOMENTS = ("DBZH", "RHOHV", "VRADH")
SWEEP = 1


def radar_volume(volume):
    for sweep in volume.sweep:
        for name in list(sweep.sweep_moments):
            if name not in FORMAT_MOMENTS:
                del sweep.sweep_moments[name]
    return volume


def write(kind, volume, path):
    if kind == "stream":
        write_split_volume(volume, path)
    elif kind == "volume":
        path.write_bytes(InstrumentData(volume=volume).SerializeToString())
    else:
        formats.write_file(volume, path, kind)
    return path


def expected_values(volume, sweep_index, name):
    """Physical values by common_dto.buffers, NaN where masked."""
    sweep = volume.sweep[sweep_index]
    descriptor = moment_descriptor(volume.volume_config, sweep.description, sweep.rays[0], name)
    values = buffers.physical_values(sweep.sweep_moments[name], descriptor,
                                     shape=(len(sweep.rays), -1))
    return np.ma.filled(values.astype(np.float64), np.nan)


@pytest.mark.parametrize("kind", ["stream", "volume", "odim", "cfradial1", "cfradial2"])
def test_backend_opens_every_kind_of_file(kind, tmp_path, test_volume):
    volume = radar_volume(test_volume)
    path = write(kind, volume, tmp_path / ("file." + kind))
    # What the file holds, as the package reads it (streams and InstrumentData
    # hold the volume itself).
    read = volume if kind in ("stream", "volume") else formats.read_file(path)
    ds = xr.open_dataset(path, engine="common_dto", sweep=SWEEP)
    assert dict(ds.sizes) == {"azimuth": RAYS, "range": GATES}
    assert float(ds["sweep_fixed_angle"]) == 1.5
    for name in FORMAT_MOMENTS:
        np.testing.assert_array_equal(ds[name].values, expected_values(read, SWEEP, name),
                                      err_msg=name)
        # The samples come back as written.
        np.testing.assert_allclose(ds[name].values, expected_values(volume, SWEEP, name),
                                   rtol=1e-6, err_msg=name)


def test_moments_are_decoded_when_first_used(tmp_path, test_volume, monkeypatch):
    path = write("stream", test_volume, tmp_path / "lazy.rays")
    eager = sweep_to_dataset(test_volume, 0)
    decoded = []
    decode = buffers.decode_buffer
    monkeypatch.setattr(buffers, "decode_buffer",
                        lambda b, *a, **k: decoded.append(b.data) or decode(b, *a, **k))
    ds = xr.open_dataset(path, engine="common_dto", sweep=0)
    assert {n: v.dtype for n, v in ds.data_vars.items()} == \
        {n: v.dtype for n, v in eager.data_vars.items()}
    assert decoded == []
    np.testing.assert_array_equal(ds["DBZH"][3, :2].values, expected_values(test_volume, 0, "DBZH")[3, :2])
    assert set(decoded) == {test_volume.sweep[0].sweep_moments["DBZH"].data}
    np.testing.assert_array_equal(ds["CLASS"].values, decode(
        test_volume.sweep[0].sweep_moments["CLASS"], shape=(RAYS, -1)))


def odim_variable(path, quantity, sweep):
    """Physical values of one quantity of an ODIM file, by h5py: gain and
    offset applied, nodata and undetect as NaN. (ODIM has no units.)"""
    with h5py.File(path, "r") as f:
        group = f["dataset%d" % (sweep + 1)]
        for key in (k for k in group if k.startswith("data")):
            a = group[key]["what"].attrs
            if a["quantity"].decode() == quantity:
                raw = group[key]["data"][...]
                values = a.get("offset", 0.0) + a.get("gain", 1.0) * raw.astype(np.float64)
                for code in ("nodata", "undetect"):
                    if code in a:
                        values[raw == a[code]] = np.nan
                return values, None, None
    raise KeyError(quantity)


def cf_values(var):
    """Physical values of a CF variable read raw by netCDF4: scale_factor and
    add_offset applied, _FillValue and the writer's _Undetect code as NaN."""
    var.set_auto_maskandscale(False)
    raw = var[...]
    values = raw * getattr(var, "scale_factor", 1.0) + getattr(var, "add_offset", 0.0)
    for code in ("_FillValue", "_Undetect"):
        if hasattr(var, code):
            values[raw == getattr(var, code)] = np.nan
    return values


def cf1_variable(path, name, sweep):
    with netCDF4.Dataset(path) as nc:
        start, end = nc["sweep_start_ray_index"][sweep], nc["sweep_end_ray_index"][sweep]
        mode = nc["sweep_mode"][sweep].tobytes().decode().strip("\0 ")
        return cf_values(nc[name])[start:end + 1], nc[name].units, mode


def cf2_variable(path, name, sweep):
    with netCDF4.Dataset(path) as nc:
        group = nc[str(nc["sweep_group_name"][sweep])]
        return cf_values(group[name]), group[name].units, str(group["sweep_mode"][...])


@pytest.mark.parametrize("kind,reader", [("odim", odim_variable), ("cfradial1", cf1_variable),
                                         ("cfradial2", cf2_variable)])
def test_values_units_and_modes_equal_what_h5py_and_netcdf4_read(kind, reader, tmp_path,
                                                                 test_volume):
    path = write(kind, radar_volume(test_volume), tmp_path / "file")
    ds = xr.open_dataset(path, engine="common_dto", sweep=SWEEP)
    # The Python dataset of the volume itself names units and sweep mode as
    # the C++ writer does: both come from the one vocabulary.
    own = sweep_to_dataset(test_volume, SWEEP)
    for name in FORMAT_MOMENTS:
        values, units, mode = reader(path, name, SWEEP)
        np.testing.assert_allclose(ds[name].values, values, rtol=1e-6, err_msg=name)
        if units is not None:
            assert own[name].attrs["units"] == units == ds[name].attrs["units"], name
            assert str(own["sweep_mode"].values) == mode == str(ds["sweep_mode"].values)


def test_read_and_write_errors_and_notes(tmp_path, test_volume):
    text = tmp_path / "text.txt"
    text.write_text("not a radar file")
    cases = [(tmp_path / "absent.h5", None, "io"), (text, None, "unsupported"),
             (text, "odim", "malformed")]
    for path, kind, code in cases:
        with pytest.raises(Error) as caught:
            formats.read_file(path, kind)
        assert caught.value.code == code, (path, kind, str(caught.value))
    with pytest.raises(ValueError, match="unknown format 'grib'"):
        formats.read_file(text, "grib")
    assert {"odim", "cfradial1", "cfradial2"} <= set(formats.format_names())
    # What a format cannot carry comes back as records.
    with pytest.raises(Error) as caught:  # BOOLEAN samples have no place in ODIM_H5.
        formats.write_file(test_volume, tmp_path / "all.h5", "odim")
    assert (caught.value.code, caught.value.moment) == ("unsupported", "FLAG")
    del test_volume.sweep[0].sweep_moments["FLAG"], test_volume.sweep[1].sweep_moments["FLAG"]
    notes = formats.write_file(test_volume, tmp_path / "all.h5", "odim")
    assert notes and all(isinstance(n, formats.Note) and n.kind for n in notes)
    assert any(n.moment == "COUNT" for n in notes), notes
    read_notes = []
    formats.read_file(tmp_path / "all.h5", notes=read_notes)
    assert all(isinstance(n, formats.Note) for n in read_notes)
