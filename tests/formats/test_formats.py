"""ODIM_H5 and CF/Radial against independent readers and writers: files
written here with h5py and netCDF4 after the published tables are read by
common-dto, and what common-dto writes is read back with h5py, netCDF4 and
xarray."""

import random

import h5py
import netCDF4
import numpy as np
import pytest
import xarray as xr

import common_dto
from common_dto.buffers import decode_buffer

from conftest import GATES, RAYS, START, attrs as _attrs, moment_values, read_volume, write_cfradial1

T0 = 1717243200  # 2024-06-01T12:00:00Z


def write_odim(path, version="2.4", drop=()):
    """A two-scan PVOL as the ODIM_H5 tables describe it: uint8 DBZH with gzip,
    big-endian uint16 VRADH, float TH; scan 2 keeps gain and offset in
    datasetN/what (allowed by the inheritance rule) and the 2.0 'beamwidth'."""
    rays, bins = 36, 20
    with h5py.File(path, "w") as f:
        f.attrs["Conventions"] = np.bytes_("ODIM_H5/V" + version.replace(".", "_"))
        _attrs(f.create_group("what"), object="PVOL", version="H5rad " + version, date="20240601",
               time="120000", source="WMO:06610,RAD:CH51,NOD:chdem,PLC:Demo,WIGOS:0-20000-0-06610")
        _attrs(f.create_group("where"), lon=8.25, lat=47.5, height=540.0)
        _attrs(f.create_group("how"), beamwidth=1.0, wavelength=5.3)
        for n in (1, 2):
            ds = f.create_group("dataset%d" % n)
            _attrs(ds.create_group("what"), product="SCAN", startdate="20240601",
                   starttime="12000%d" % n, enddate="20240601", endtime="12003%d" % n)
            _attrs(ds.create_group("where"), elangle=0.5 * n, nbins=np.int64(bins), rstart=0.0,
                   rscale=250.0, nrays=np.int64(rays), a1gate=np.int64(5 * n))
            az = np.arange(rays) * 10.0
            _attrs(ds.create_group("how"), startazA=az, stopazA=(az + 10.0) % 360,
                   startazT=T0 + n + np.arange(rays) * 0.25,
                   stopazT=T0 + n + np.arange(rays) * 0.25 + 0.25)
            codes = (np.arange(rays * bins).reshape(rays, bins) + n) % 256
            d1 = ds.create_group("data1")
            d1.create_dataset("data", data=codes.astype("u1"), compression="gzip")
            d2 = ds.create_group("data2")
            d2.create_dataset("data", data=(codes * 200).astype(">u2"))
            d3 = ds.create_group("data3")
            d3.create_dataset("data", data=codes.astype("f4") / 4)
            scale = dict(gain=0.5, offset=-32.0, nodata=255.0, undetect=0.0)
            _attrs(d1.create_group("what"), quantity="DBZH", **({} if n == 2 else scale))
            if n == 2:
                _attrs(ds["what"], **scale)
            _attrs(d2.create_group("what"), quantity="VRADH", gain=0.01, offset=-327.68,
                   nodata=65535.0, undetect=0.0)
            _attrs(d3.create_group("what"), quantity="TH", gain=1.0, offset=0.0,
                   nodata=-9999.0, undetect=-8888.0)
        for item in drop:
            group, name = item.rsplit("/", 1)
            del f[group].attrs[name]
    return rays, bins


@pytest.mark.parametrize("version", ["2.0", "2.2", "2.4"])
def test_odim_written_by_h5py_is_read(tmp_path, tool, version):
    rays, bins = write_odim(tmp_path / "in.h5", version)
    tool("convert", tmp_path / "in.h5", tmp_path / "out.pb")
    volume = read_volume(tmp_path / "out.pb")
    assert volume.instrument.wmo_id.station_id == 6610
    assert volume.instrument.wmo_id.wigos_id.local_id == "06610"
    assert volume.instrument.opera_id.node == "chdem"
    assert volume.instrument.opera_id.radar_site == "CH51"
    assert volume.instrument.radar_properties.horz_beam_width_deg == 1.0
    assert volume.instrument.location.lat_lon.latitude_deg == 47.5
    assert len(volume.sweep) == 2
    for n, sweep in enumerate(volume.sweep, start=1):
        assert sweep.first_azimuth_gate_index == 5 * n  # a1gate kept, rows not rotated
        assert sweep.description.fixed_angle_deg == 0.5 * n
        codes = (np.arange(rays * bins).reshape(rays, bins) + n) % 256
        dbzh = decode_buffer(sweep.sweep_moments["DBZH"], (rays, -1))
        np.testing.assert_array_equal(dbzh, codes)
        vradh = sweep.sweep_moments["VRADH"]
        assert vradh.endian == common_dto.DataBuffer.BIG  # stored order kept
        np.testing.assert_array_equal(decode_buffer(vradh, (rays, -1)), codes * 200)
        np.testing.assert_array_equal(decode_buffer(sweep.sweep_moments["TH"], (rays, -1)),
                                      codes.astype("f4") / 4)
        assert sweep.rays[3].az_range_deg.start_deg == 30.0
        assert sweep.rays[35].az_range_deg.span_deg == 10.0  # 350 -> 0 crosses north
        assert sweep.rays[2].aq_start_time.seconds == T0 + n
        assert sweep.rays[2].aq_start_time.nanos == 500_000_000
        assert sweep.input_timespan.start.seconds == T0 + n
        config = volume.volume_config.sweep_config[n - 1]
        assert config.range_scale.range_m[0].start == 125.0  # centre of the first gate
        d = config.data_moments["DBZH"]
        assert d.type == common_dto.DataType.REFLECTIVITY_DBZ
        assert (d.scale.linear_scale.step, d.scale.linear_scale.offset) == (0.5, -32.0)
        assert (d.scale.linear_scale.not_scanned, d.scale.linear_scale.under_threshold) == (255, 0)
        th = config.data_moments["TH"].scale.linear_scale
        assert (th.not_scanned, th.under_threshold) == (-9999, -8888)


@pytest.mark.parametrize("drop, field", [
    (["what/source"], "/what/source"),
    (["dataset2/where/nbins"], "/dataset2/where/nbins"),
    (["dataset1/data2/what/gain"], "/dataset1/data2/what/gain"),
])
def test_odim_missing_mandatory_attribute(tmp_path, tool, drop, field):
    write_odim(tmp_path / "in.h5", drop=drop)
    result = tool("convert", tmp_path / "in.h5", tmp_path / "out.pb", expect=2)
    assert field in result.stderr and "missing attribute (malformed)" in result.stderr
    assert not (tmp_path / "out.pb").exists()


def test_odim_shape_disagreeing_with_nrays_is_refused(tmp_path, tool):
    write_odim(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        f["dataset1/where"].attrs["nbins"] = np.int64(21)
    result = tool("convert", tmp_path / "in.h5", tmp_path / "out.pb", expect=2)
    assert "shape 36 x 20 disagrees with nrays x nbins 36 x 21 (invalid_argument)" in result.stderr


def test_cfradial1_written_by_netcdf4_is_read(tmp_path, tool):
    rays, gates = write_cfradial1(tmp_path / "in.nc")
    result = tool("convert", "--strict", tmp_path / "in.nc", tmp_path / "out.pb", expect=1)
    assert "DBZ: signed 8- or 16-bit samples widened to INT32" in result.stderr
    volume = read_volume(tmp_path / "out.pb")
    expected = np.arange(2 * rays * gates).reshape(2 * rays, gates) - 500
    for s, sweep in enumerate(volume.sweep):
        np.testing.assert_array_equal(decode_buffer(sweep.sweep_moments["DBZ"], (rays, -1)),
                                      expected[s * rays:(s + 1) * rays])
        assert sweep.rays[1].aq_start_time.seconds == T0 + (s * rays + 1) // 2
        assert sweep.rays[0].az_range_deg.start_deg == 5.0
        assert sweep.description.fixed_angle_deg == 0.5 + s
    d = volume.volume_config.sweep_config[0].data_moments["DBZ"]
    assert d.scale.linear_scale.step == 0.01 and d.scale.linear_scale.not_scanned == -32768
    assert d.data_unit == common_dto.DataUnit.DBZ
    assert d.type == common_dto.DataType.REFLECTIVITY_DBZ  # from its CF standard name
    assert volume.volume_config.sweep_config[1].range_scale.range_m[0].step == 250.0


def test_cfradial1_rhi_read_but_refused_as_odim(tmp_path, tool):
    write_cfradial1(tmp_path / "rhi.nc", mode="rhi")
    result = tool("convert", tmp_path / "rhi.nc", tmp_path / "rhi.h5", expect=2)
    assert "RHI sweep; ODIM polar volumes hold PPI sweeps (invalid_argument)" in result.stderr
    assert not (tmp_path / "rhi.h5").exists() and not (tmp_path / "rhi.h5.partial").exists()
    # ray_n_gates beside (time, range) fields says nothing the fields do not.
    write_cfradial1(tmp_path / "ragged.nc", ragged=True)
    tool("convert", tmp_path / "ragged.nc", tmp_path / "out.pb")


def test_our_odim_read_by_h5py(tmp_path, tool, volume_file):
    path, volume = volume_file
    tool("convert", "--compression", "4", path, tmp_path / "out.h5")
    with h5py.File(tmp_path / "out.h5", "r") as f:
        assert f.attrs["Conventions"] == b"ODIM_H5/V2_4"
        assert f["what"].attrs["object"] == b"PVOL"
        assert f["where"].attrs["lat"] == 46.5
        names = {}
        for s in range(2):
            ds = f["dataset%d" % (s + 1)]
            assert ds["where"].attrs["nrays"] == RAYS and ds["where"].attrs["nbins"] == GATES
            assert ds["where"].attrs["rstart"] == 0.0 and ds["where"].attrs["rscale"] == 250.0
            np.testing.assert_allclose(ds["how"].attrs["startazA"], np.arange(RAYS) * 10.0)
            np.testing.assert_allclose(ds["how"].attrs["startazT"],
                                       START + 60 * s + np.arange(RAYS) * 0.1)
            for key in ds:
                if key.startswith("data"):
                    names[ds[key]["what"].attrs["quantity"].decode()] = ds[key]
            for name, (values, endian) in moment_values(s).items():
                if name == "FLAG":
                    continue
                data = names[name]["data"]
                np.testing.assert_array_equal(data[...], values)
                assert data.dtype.byteorder in ("|", "<" if endian == "little" else ">", "=")
            what = names["DBZH"]["what"].attrs
            assert (what["gain"], what["offset"], what["nodata"], what["undetect"]) == \
                (0.5, -32.0, 255.0, 0.0)


@pytest.mark.parametrize("to", ["cfradial1", "cfradial2"])
def test_our_cfradial_read_by_netcdf4_and_xarray(tmp_path, tool, volume_file, to):
    path, volume = volume_file
    out = tmp_path / "out.nc"
    tool("convert", "--to", to, path, out)
    for s in range(2):
        if to == "cfradial2":
            ds = xr.open_dataset(out, group="sweep_%d" % s)
            rows = slice(None)
        else:
            ds = xr.open_dataset(out)
            rows = slice(s * RAYS, (s + 1) * RAYS)
        codes = moment_values(s)["DBZH"][0]
        physical = np.where(codes == 255, np.nan, -32 + 0.5 * codes.astype("f8"))
        # xarray's CF decoding gives what the descriptor's scale gives.
        np.testing.assert_allclose(ds["DBZH"].values[rows], physical)
        np.testing.assert_array_equal(ds["PHIDP"].values[rows], moment_values(s)["PHIDP"][0])
        assert ds["DBZH"].attrs["units"] == "dBZ"
        np.testing.assert_allclose(ds["azimuth"].values[rows], np.arange(RAYS) * 10.0 + 5)
        times = ds["time"].values[rows].astype("datetime64[ms]").astype("i8")
        np.testing.assert_array_equal(times, (START + 60 * s) * 1000 + np.arange(RAYS) * 100)
        np.testing.assert_allclose(ds["range"].values, 125 + 250 * np.arange(GATES))
        ds.close()
    with netCDF4.Dataset(out) as f:
        assert f.version == ("1.4" if to == "cfradial1" else "2.1")
        group = f if to == "cfradial1" else f.groups["sweep_0"]
        vradh = group["VRADH"]
        assert vradh.endian() == "big"
        vradh.set_auto_maskandscale(False)
        np.testing.assert_array_equal(vradh[:RAYS], moment_values(0)["VRADH"][0])


def test_declared_sizes_beyond_what_the_file_holds_are_refused(tmp_path, tool):
    """A dataset of 1.8 GB declared in a file of a few kilobytes (nothing of it
    stored) is refused before anything is allocated for it."""
    write_odim(tmp_path / "in.h5")
    with h5py.File(tmp_path / "in.h5", "a") as f:
        del f["dataset1/data1/data"]
        f["dataset1/data1"].create_dataset("data", shape=(30000, 60000), dtype="u1",
                                           chunks=(100, 600), compression="gzip")
        f["dataset1/where"].attrs["nrays"] = np.int64(30000)
        f["dataset1/where"].attrs["nbins"] = np.int64(60000)
    assert (tmp_path / "in.h5").stat().st_size < 1 << 20
    result = tool("convert", tmp_path / "in.h5", tmp_path / "out.pb", expect=2)
    assert "1800000000 bytes of samples declared, more than a file of" in result.stderr
    assert "(too_large)" in result.stderr


@pytest.mark.parametrize("suffix", [".h5", ".nc"])
def test_damaged_files_end_in_an_error_not_a_crash(tmp_path, tool, volume_file, suffix):
    """Our own file with 4 bytes of its first 4 KiB (the metadata) overwritten,
    60 times (fixed seed): the tool converts or refuses each one, naming the
    file, and never dies of it. (Before the tool refused HDF5 files of no
    radar format at once and read in a process of its own, about one such
    netCDF-4 file in seven crashed it inside libhdf5.)"""
    path, _ = volume_file
    intact = tmp_path / ("intact" + suffix)
    tool("convert", path, intact)
    data = intact.read_bytes()
    rnd = random.Random(20261206)
    damaged = tmp_path / ("damaged" + suffix)
    for i in range(60):
        b = bytearray(data)
        for _ in range(4):
            b[rnd.randrange(4096)] = rnd.randrange(256)
        damaged.write_bytes(bytes(b))
        result = tool("convert", damaged, tmp_path / "out.pb", expect=None)
        assert result.returncode in (0, 1, 2), (i, result.returncode, result.stderr)
        if result.returncode == 2:
            assert "common-dto: %s: " % damaged in result.stderr, (i, result.stderr)
